// The driver: the program's entry and the order of one run.  It reads the
// options into a value, hands its parts to the run log, the report's
// writer, the decoder and the walk, picks the volume source (a mounted
// tree, or an evidence image), and is the only part that ends the process.
// It may include every other folder.
#pragma once

#include "common/module_stamp.h"

class FileSystem;

// The program's own stamp (its run sequence's source), for the help screen.
extern const ModuleStamp kProgramModule;

// Runs binsift with the process's arguments; returns the exit code of a run
// that completes (every other ending leaves through end_run).
int binsift_main(int argc, char** argv);
// The same, reading the bin through `fs`.
int run_binsift(int argc, char** argv, FileSystem* fs);
