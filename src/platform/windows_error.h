// The system's own words for a Windows error code (the Windows build only).
#pragma once

#include <string>

// The message FormatMessage gives for `error`, without its line end, or
// "error N" when there is none.
std::string windows_error_text(unsigned long error);
