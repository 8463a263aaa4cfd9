#include "common/exit.h"

#include <cstdlib>

namespace {

ExitCleanup g_cleanup = nullptr;

}  // namespace

void set_exit_cleanup(ExitCleanup cleanup) { g_cleanup = cleanup; }

void exit_program(int32_t code) {
  if (g_cleanup) g_cleanup(code);
  exit(code);
}
