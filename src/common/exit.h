// Ending the run from wherever it has to end.
#pragma once

#include <cstdint>

#include "common/exit_codes.h"

// Does what the run needs before the process ends with `code` (closing the
// report output, the summary of a run that completed), then ends it.
[[noreturn]] void exit_program(int32_t code);

// What exit_program does before the process ends; the run sequence sets it.
using ExitCleanup = void (*)(int32_t code);
void set_exit_cleanup(ExitCleanup cleanup);
