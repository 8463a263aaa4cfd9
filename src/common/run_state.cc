#include "common/run_state.h"

int g_argc = 0;
char** g_argv = nullptr;
int64_t g_start_time = 0;
