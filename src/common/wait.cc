#include "common/wait.h"

#include <chrono>

#include "platform/platform.h"

void wait_seconds(int32_t seconds) {
  if (seconds <= 0) return;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (auto now = std::chrono::steady_clock::now(); now < end; now = std::chrono::steady_clock::now())
    sleep_milliseconds(std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count() + 1);
}
