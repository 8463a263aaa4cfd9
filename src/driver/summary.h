// The closing summary of a run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>


struct ElapsedParts {
  int64_t hours, minutes, seconds;
};
// Splits a signed number of seconds into hours, minutes and seconds, each
// truncated toward zero.
ElapsedParts split_elapsed(int64_t seconds);

void finish_run();
void print_run_summary();
