#include "report/companion_times.h"

namespace {

// One conversion into `parts` through the shared scratch time, which keeps
// what an earlier conversion of the same call left when this one fails.
void convert_one(FileTime time, SystemTime* scratch, FileTimeParts* parts) {
  const bool ok = file_time_to_system_time(time, scratch);
  parts->month = scratch->month;
  parts->day = scratch->day;
  parts->year = scratch->year;
  parts->hour = scratch->hour;
  parts->minute = scratch->minute;
  parts->second = scratch->second;
  parts->millisecond = scratch->milliseconds;
  if (!ok || parts->year == 1601) {
    parts->hour = 0;
    parts->minute = 0;
    parts->second = 0;
  }
  if (parts->year == 1601) {
    parts->month = 0;
    parts->day = 0;
    parts->year = 1980;
  }
}

}  // namespace

void convert_find_times(const EntryTimes& entry, CompanionTimes* times) {
  SystemTime scratch;  // cleared once per call
  times->creation_time = entry.creation;
  times->last_access_time = entry.last_access;
  times->last_write_time = entry.last_write;
  convert_one(entry.last_access, &scratch, &times->accessed);
  convert_one(entry.creation, &scratch, &times->created);
  convert_one(entry.last_write, &scratch, &times->modified);
}
