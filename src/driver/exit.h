// Exit codes and the exit routine.
#pragma once

#include <cstdint>

enum ExitCode : int32_t {
  NORMAL_EXIT = 0,
  USER_ABORTED = 1,
  INPUT_FILE = 2,
  OUTPUT_FILE = 3,
  PARAMATER_FILE = 4,
  ILLEGAL_OPTION = 5,  // "ILLEGAL or INCOMPLETE OPTION"
  INSUFFICIENT_MEMORY = 6,
  OTHER_EXIT = 7,
  WRITE_ERROR = 8,
  CORRUPTED_PROGRAM_FILE = 9,
  READ_ERROR = 10,
  NON_SPECIFIC_ERROR = 12,
};

// Closes the report output and ends the process with `code` (writing the
// run summary first when the code is 0).
[[noreturn]] void exit_program(int32_t code);

// Called by exit_program before the process ends, when set.  Tests and
// fuzzing harnesses use it to see a run end without ending themselves.
extern void (*g_before_exit)(int32_t code);

// The interrupt (Ctrl+C) handler: closes the report output, puts the
// terminal back and ends the process with code 2.  Async-signal-safe.
void on_interrupt(int signal_number);
