// What every part of a run may need to know of the run itself.
#pragma once

#include <cstdint>

extern int g_argc;
extern char** g_argv;
extern int64_t g_start_time;  // seconds since 1970
