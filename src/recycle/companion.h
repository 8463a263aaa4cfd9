// The times of the companion $R entry, and the setting back of an index
// file's own times.
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

extern CompanionTimes g_companion_times;

// Breaks the entry's three times down into `times`, as GMT.  An unset time,
// or one before 1602, shows as 1980-00-00 00:00:00.
void convert_find_times(const EntryTimes& entry, CompanionTimes* times);

// Sets an index file's times back to those captured before it was read.
// 0 when they were set, nonzero otherwise.
int reset_file_times(const char* path, const SavedTimes& times);
