#include "common/memory.h"

#include <cstdio>

#include "common/exit.h"

namespace {

void on_memory_exhausted() {
  // Whatever the exit itself asks for must not come back here.
  std::set_new_handler(nullptr);
  fputs("\nnot enough memory\n", stderr);
  exit_program(INSUFFICIENT_MEMORY);
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
