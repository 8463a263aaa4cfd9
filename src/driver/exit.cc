#include "driver/exit.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "common/exit_codes.h"

FileHandle g_output_handle = kInvalidHandle;

void close_report_output() {
  if (g_output_handle == kInvalidHandle) return;
  close_file(g_output_handle);
  g_output_handle = kInvalidHandle;
}

void end_run(int code) {
  console_end_key_watch();
  close_report_output();
  exit(code);
}

void on_interrupt(int signal_number) {
  console_restore_async_safe();
  close_handle_async_safe(g_output_handle);
  exit_process_now(signal_number == 2 ? INPUT_FILE : signal_number);
}

namespace {

void on_memory_exhausted() {
  // Whatever the exit itself asks for must not come back here.
  std::set_new_handler(nullptr);
  fputs("\nnot enough memory\n", stderr);
  end_run(INSUFFICIENT_MEMORY);
}

}  // namespace

void install_memory_failure_handler() { std::set_new_handler(on_memory_exhausted); }

namespace {

// Buffers that objects of static storage reserve before the run starts are
// covered too: the handler is set before any other static object is built.
struct SetBeforeStaticObjects {
  SetBeforeStaticObjects() { install_memory_failure_handler(); }
};
#if defined(__GNUC__)
__attribute__((init_priority(101)))
#endif
SetBeforeStaticObjects g_set_before_static_objects;

}  // namespace
