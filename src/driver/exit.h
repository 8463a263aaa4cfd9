// What the run does on its way out.
#pragma once

#include <cstdint>

#include "common/exit.h"

// Closes the report output, puts the terminal back and, for a run that
// completed (code 0), writes the summary.  Set as exit_program's cleanup.
void finish_exit(int32_t code);

// The interrupt (Ctrl+C) handler: closes the report output, puts the
// terminal back and ends the process with code 2.  Async-signal-safe.
void on_interrupt(int signal_number);
