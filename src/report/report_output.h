// The report output target, the report's header line and the start record
// of the run log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

extern FileHandle g_output_handle;  // console or output file, held for the run
extern std::string g_output_name;   // output file name; "CON" for the console
class ReportWriter;

// Opens the output file, or the console device when there is none.
void open_report_output();
// Closes the output file, if one is open.
void close_report_output();
FileHandle open_console_output();
// The report's header line (unless it is switched off) and the start record
// of the run log.  False when the header could not be written.
bool print_report_header(ReportWriter* writer);

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
int describe_time_zone(TimeZoneDescription* out);
// The three-letter abbreviation of a zone name (not upper-cased).
std::string zone_abbreviation(const std::string& name);
