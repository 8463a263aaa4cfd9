// FileTime (100-nanosecond ticks since 1601-01-01 UTC) and Unix time.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
// The first tick of the year 10000, 3,067,671 days after 1601-01-01: the
// times below it (and above 0) are those of the years 1601 to 9999.
constexpr FileTime kFirstTickOf10000 = 2650467744000000000ULL;

// Seconds and nanoseconds since 1970 to a FileTime; a time that does not fit
// gets its top bit set, so that converting it fails as on Windows.
inline FileTime file_time_from_unix(int64_t seconds, int64_t nanoseconds = 0) {
  const int64_t max_seconds = INT64_MAX / kTicksPerSecond - kSecondsFrom1601To1970 - 1;
  if (seconds < -kSecondsFrom1601To1970 || seconds > max_seconds)
    return UINT64_C(0x8000000000000000);
  return static_cast<FileTime>((seconds + kSecondsFrom1601To1970) * kTicksPerSecond +
                               nanoseconds / 100);
}
