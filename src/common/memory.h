// Running out of memory: the buffers the run names end it with their own
// messages; every other allocation that fails ends it with exit code 6 and
// "not enough memory", never with an uncaught exception.
#pragma once

#include <new>

// From now on an allocation that fails writes "\nnot enough memory\n" to the
// error stream and ends the run with exit code 6.
void install_memory_failure_handler();

// Runs `allocate` with the handler above set aside; false when it ran out of
// memory, so that the caller can end the run with its own message.
template <typename Allocate>
bool allocation_succeeds(Allocate&& allocate) {
  const std::new_handler handler = std::set_new_handler(nullptr);
  bool ok = true;
  try {
    allocate();
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  std::set_new_handler(handler);
  return ok;
}
