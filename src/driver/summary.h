// The closing summary of a run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

extern int32_t g_hit_count;    // printed beside the file count; always 0
extern int64_t g_finish_time;  // seconds since 1970
extern std::string g_memo_text;  // nothing in this program supplies one

struct ElapsedParts {
  int64_t hours, minutes, seconds;
};
// Splits a signed number of seconds into hours, minutes and seconds, each
// truncated toward zero.
ElapsedParts split_elapsed(int64_t seconds);

void finish_run();
void print_run_summary();
