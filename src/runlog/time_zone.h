// The time zone as the run log's start record describes it.
#pragma once

#include <cstdint>
#include <string>

struct TimeZoneDescription {
  std::string gmt_text;    // current time in GMT, 24 characters
  std::string local_text;  // current local time, 24 characters
  std::string std_abbrev;  // standard zone abbreviation, upper case
  std::string std_name;
  std::string dst_abbrev;  // empty when the zone has no daylight saving
  std::string dst_name;
  int32_t dst_known = 0;
  int32_t tz_hours = 0;    // standard offset in whole hours west of GMT
};
// Fills `out` from the C library's time-zone state and the clock.
int describe_time_zone(TimeZoneDescription* out);
// The three-letter abbreviation of a zone name (not upper-cased).
std::string zone_abbreviation(const std::string& name);
