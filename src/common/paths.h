// Names of files as the options give them.
#pragma once

#include <string>

// `value` made absolute from the current directory (as written when that
// cannot be read).
std::string resolved_path(const char* value);
// Whether anything of that name exists.
bool path_exists(const std::string& path);
