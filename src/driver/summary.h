// The closing summary of a run: on the error stream, and as the run log's
// closing block.
#pragma once

#include <cstdint>
#include <ctime>

#include "runlog/run_log.h"

struct ElapsedParts {
  int64_t hours, minutes, seconds;
};
// Splits a signed number of seconds into hours, minutes and seconds, each
// truncated toward zero.
ElapsedParts split_elapsed(int64_t seconds);

// Writes the summary of `files` files processed since `start`, and the run
// log's closing block.
void print_run_summary(long files, time_t start, RunLog* run_log);
