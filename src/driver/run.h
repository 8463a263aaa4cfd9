// The run sequence: the program's entry and the order of one run.
#pragma once

#include <cstdint>

#include "common/run_state.h"

// Runs binsift with the process's arguments; returns the exit code of a run
// that completes (every other ending leaves through exit_program).
int binsift_main(int argc, char** argv);
// The same, reading the bin through `fs`.
class FileSystem;
int run_binsift(int argc, char** argv, FileSystem* fs);

void allocate_run_buffers();
void set_defaults();
void read_reset_environment();
// Writes the command-line echo of the run log's "Started" block.
void echo_command_line();
