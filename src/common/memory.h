// Buffers the run names: each that cannot be had ends the run with its own
// message (every other allocation that fails ends it with exit code 6 and
// "not enough memory", through the driver's handler).
#pragma once

#include <new>

// Runs `allocate` with the failure handler set aside; false when it ran out
// of memory, so that the caller can end the run with its own message.
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
