#include "driver/summary.h"

#include <ctime>

#include "driver/run.h"
#include "options/options.h"
#include "platform/platform.h"
#include "decode/decoder.h"
#include "report/report_output.h"
#include "runlog/run_log.h"

namespace {

int32_t g_hit_count = 0;    // printed beside the file count; always 0
int64_t g_finish_time = 0;  // seconds since 1970
std::string g_memo_text;    // nothing in this program supplies one

}  // namespace

ElapsedParts split_elapsed(int64_t seconds) {
  return {seconds / 3600, seconds % 3600 / 60, seconds % 3600 % 60};
}

void finish_run() {
  close_report_output();
  print_run_summary();
  // The memo file is closed here rather than at the process exit, so that a
  // failure to close it is seen.
  close_memo_stream(g_memo_file);
  g_memo_file = nullptr;
}

void print_run_summary() {
  fputs("\n", stderr);
  fprintf(stderr, "\nProcessed %ld file(s) ", static_cast<long>(g_file_count));
  g_finish_time = static_cast<int64_t>(time(nullptr));
  const ElapsedParts e = split_elapsed(g_finish_time - g_start_time);
  fputs("\nElapsed time:  ", stderr);
  fprintf(stderr, " %d hrs. %d mins. %d secs.\n\n", static_cast<int>(e.hours),
          static_cast<int>(e.minutes), static_cast<int>(e.seconds));
  if (g_acct_file) {
    fprintf(g_acct_file, "\n Processed %ld files:  %ld Hits\n\n", static_cast<long>(g_file_count),
            static_cast<long>(g_hit_count));
    const time_t finish = static_cast<time_t>(g_finish_time);
    const char* text = ctime(&finish);
    fprintf(g_acct_file, " Finished: %.24s\n", text ? text : "");
    fputs(" Elapsed: ", g_acct_file);
    fprintf(g_acct_file, " %d hrs. %d mins. %d secs.\n", static_cast<int>(e.hours),
            static_cast<int>(e.minutes), static_cast<int>(e.seconds));
    fputs("*****************************************************\n", g_acct_file);
    close_run_log();
  }
  if (g_options.memo_active && g_memo_file && !g_memo_text.empty()) {
    fprintf(g_memo_file, "\nMEMO\n%s", g_memo_text.c_str());
    close_memo_stream(g_memo_file);
    g_memo_file = nullptr;
  }
}
