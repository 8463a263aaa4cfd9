// Ending the run.  The process ends only here (and, for signals, in the
// handlers the platform layer installs): every part below the driver
// returns a status, and the driver ends the run with its code.
#pragma once

#include "platform/platform.h"

// The report's target (the console device or the output file), held for
// the run; closed on the way out, and by the interrupt handler.
extern FileHandle g_output_handle;

// Puts the terminal back, closes the report's target and ends the process
// with `code`.
[[noreturn]] void end_run(int code);

// Closes the report's target, if it is open.
void close_report_output();

// The interrupt (Ctrl+C) handler: closes the report's target, puts the
// terminal back and ends the process with code 2.  Async-signal-safe.
void on_interrupt(int signal_number);

// From now on an allocation that fails writes "\nnot enough memory\n" to
// the error stream and ends the run with exit code 6.  (Set already before
// any object of static storage is built.)
void install_memory_failure_handler();
