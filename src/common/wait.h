// A timed wait.
#pragma once

#include <cstdint>

// Returns after at least `seconds` seconds; at once for 0 or less.
void wait_seconds(int32_t seconds);
