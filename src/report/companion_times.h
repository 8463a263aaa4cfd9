// The times of the companion $R entry, broken down for the report.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// One broken-down time, in the order the report reads it.
struct FileTimeParts {
  int32_t month = 0, day = 0, year = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

struct CompanionTimes {
  FileTimeParts modified, accessed, created;
  FileTime creation_time = 0, last_access_time = 0, last_write_time = 0;
};

// Breaks the entry's three times down into `times`, as GMT.  An unset time,
// or one before 1602, shows as 1980-00-00 00:00:00.
void convert_find_times(const EntryTimes& entry, CompanionTimes* times);
