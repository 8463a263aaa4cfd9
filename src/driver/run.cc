#include "driver/run.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/memory.h"
#include "driver/exit.h"
#include "driver/summary.h"
#include "options/help.h"
#include "options/options.h"
#include "platform/platform.h"
#include "recycle/decoder.h"
#include "recycle/report_output.h"
#include "runlog/banner.h"
#include "runlog/run_log.h"
#include "runlog/volume.h"
#include "walk/path_list.h"
#include "walk/walk.h"

int g_argc = 0;
char** g_argv = nullptr;
int64_t g_start_time = 0;

void allocate_run_buffers() {
  if (!allocation_succeeds([] { g_pattern_list.reserve(32); })) {
    printf("\nLine %d, couldn't get memory\n", 496);
    exit_program(INSUFFICIENT_MEMORY);
  }
  if (!allocation_succeeds([] { g_path_list.reserve(32); })) {
    printf("\nLine %d, couldn't get memory\n", 508);
    exit_program(INSUFFICIENT_MEMORY);
  }
  reserve_walk_buffers();
}

namespace {

// The decoder's buffers that the run names, each ended with its own message
// when it cannot be had.
void allocate_named_decoder_buffers() {
  const std::string module = std::string(".") + kPathSeparator + "binsift";
  if (!allocation_succeeds([] { g_input_buffer = new unsigned char[kInputBufferSize]; })) {
    fprintf(stderr, "\n%d %s\nCouldn't create input buffer\n", 553, module.c_str());
    exit_program(INSUFFICIENT_MEMORY);
  }
  if (!allocation_succeeds([] { g_output_name.reserve(1040); })) {
    fprintf(stderr, "\n%d %s\nError obtaining memory\n", 572, module.c_str());
    exit_program(USER_ABORTED);
  }
  if (!allocation_succeeds([] { pg_complete_path.reserve(1040); }) ||
      !allocation_succeeds([] { g_index_path.reserve(1040); })) {
    fputs("Couldn't create pg_complete_path buffer\n", stderr);
    exit_program(INSUFFICIENT_MEMORY);
  }
}

}  // namespace

void read_reset_environment() {
  if (getenv("RESET")) {
    g_options.reset_times = 1;
  } else if (getenv("NORESET")) {
    g_options.reset_times = 0;
  }
}

void set_defaults() {
  allocate_named_decoder_buffers();
  allocate_decoder_buffers();
  g_options.recurse = 1;
  read_reset_environment();
}

void echo_command_line() {
  for (int i = 0; i < g_argc; ++i) {
    const char* arg = g_argv[i];
    if (arg[0] == '|' && arg[1] == '\0') {
      fputs(" \"|\"", g_acct_file);
    } else {
      fprintf(g_acct_file, " %s", arg);
    }
  }
}

int binsift_main(int argc, char** argv) {
  // Before anything is opened: a closed standard stream gets the null
  // device, so no file of the run can take its number.
  const int closed_streams = ensure_standard_streams();
  install_memory_failure_handler();
  g_argc = argc;
  g_argv = argv;
  if (argc == 1) show_help();
  if (closed_streams & kStdoutWasClosed) {
    fputs("Can't write the report: standard output is closed\n", stderr);
    exit_program(WRITE_ERROR);
  }

  setvbuf(stdout, nullptr, _IONBF, 0);
  install_interrupt_handler(on_interrupt);
  install_termination_handlers();
  allocate_run_buffers();

  if (argc > 1 && argv[1][0] != '-' && argv[1][0] != '+') {
    for (int i = 1; i < argc && argv[i][0] != '-' && argv[i][0] != '+'; ++i)
      add_bare_argument(argv[i]);
  }

  g_start_time = static_cast<int64_t>(time(nullptr));
  set_defaults();
  parse_options(argc, argv);

  print_banner(1);

  if (g_acct_file) {
    g_start_time = static_cast<int64_t>(time(nullptr));
    const time_t start = static_cast<time_t>(g_start_time);
    const char* text = ctime(&start);
    fprintf(g_acct_file, "\n\n  Started: %.24s\n", text ? text : "");
    echo_command_line();
    fputs("\n", g_acct_file);
    flush_run_log();
  }

  if (g_path_list.empty()) add_default_path();

  open_report_output();

  g_volume_type = identify_volume(g_path_list.front().c_str());

  console_begin_key_watch();
  for (std::string& entry : g_path_list) {
    if (entry.empty() || entry.back() != kPathSeparator) entry.push_back(kPathSeparator);
    first_letter_to_upper(&entry);
    walk_directory(entry.c_str());
  }
  console_end_key_watch();

  finish_run();
  // A run log that could not be written was named when it failed; the
  // report is whole, but the run did not succeed.
  return run_log_write_failed() ? WRITE_ERROR : NORMAL_EXIT;
}

#include "driver/run_stamp.h"
const ModuleStamp kProgramModule = {__FILE__, __DATE__, __TIME__};
