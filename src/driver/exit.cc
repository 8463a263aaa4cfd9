#include "driver/exit.h"

#include <cstdlib>

#include "driver/summary.h"
#include "platform/platform.h"
#include "recycle/report_output.h"

void (*g_before_exit)(int32_t code) = nullptr;

void exit_program(int32_t code) {
  if (g_before_exit) g_before_exit(code);
  console_end_key_watch();
  if (g_output_handle != kInvalidHandle) {
    close_file(g_output_handle);
    g_output_handle = kInvalidHandle;
    g_report_copy_handle = kInvalidHandle;
  }
  if (code == NORMAL_EXIT) print_run_summary();
  exit(code);
}

void on_interrupt(int signal_number) {
  console_restore_async_safe();
  close_handle_async_safe(g_output_handle);
  exit_process_now(signal_number == 2 ? INPUT_FILE : signal_number);
}
