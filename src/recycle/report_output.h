// The report output target, the report's header line and the start record
// of the run log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

extern FileHandle g_output_handle;  // console or output file, held for the run
extern std::string g_output_name;   // output file name; "CON" for the console
// Where the report is copied besides standard output (the output file), or
// kInvalidHandle.
extern FileHandle g_report_copy_handle;

// Where report text and progress lines go: standard output and standard
// error, unless a test puts a file in their place.
extern FileHandle g_report_handle;
extern FileHandle g_progress_handle;

// Writes report text (header, rows, "Can't open" messages) to standard
// output, and to the output file when one is open.
void report_write(const char* data, size_t size);

void open_report_output();
FileHandle open_console_output();
void print_report_header();

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

// The header line, newline included.
extern const char kReportHeader[];
