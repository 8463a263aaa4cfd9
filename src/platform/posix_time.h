// Times as POSIX systems keep them, in the FileTime the rest of the program
// uses.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Seconds and nanoseconds since 1970 to a FileTime; a time that does not fit
// gets its top bit set, so that converting it fails as on Windows.
FileTime posix_file_time(int64_t seconds, int64_t nanoseconds);
