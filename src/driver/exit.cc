#include "driver/exit.h"

#include "driver/summary.h"
#include "platform/platform.h"
#include "report/report_output.h"

void finish_exit(int32_t code) {
  console_end_key_watch();
  close_report_output();
  if (code == NORMAL_EXIT) print_run_summary();
}

void on_interrupt(int signal_number) {
  console_restore_async_safe();
  close_handle_async_safe(g_output_handle);
  exit_process_now(signal_number == 2 ? INPUT_FILE : signal_number);
}
