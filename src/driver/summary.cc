#include "driver/summary.h"

#include <cstdio>

namespace {

constexpr long kHits = 0;  // printed beside the file count; always 0

}  // namespace

ElapsedParts split_elapsed(int64_t seconds) {
  return {seconds / 3600, seconds % 3600 / 60, seconds % 3600 % 60};
}

void print_run_summary(long files, time_t start, RunLog* run_log) {
  fputs("\n", stderr);
  fprintf(stderr, "\nProcessed %ld file(s) ", files);
  const time_t finish = time(nullptr);
  const int64_t elapsed = static_cast<int64_t>(finish) - static_cast<int64_t>(start);
  const ElapsedParts e = split_elapsed(elapsed);
  fputs("\nElapsed time:  ", stderr);
  fprintf(stderr, " %d hrs. %d mins. %d secs.\n\n", static_cast<int>(e.hours),
          static_cast<int>(e.minutes), static_cast<int>(e.seconds));
  run_log->write_closing_block(files, kHits, finish, elapsed);
}
