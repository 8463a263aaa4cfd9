#include "report/report_output.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/exit.h"
#include "common/memory.h"
#include "common/run_state.h"
#include "options/options.h"
#include "common/output_file.h"
#include "report/report_writer.h"
#include "runlog/run_log.h"

FileHandle g_output_handle = kInvalidHandle;
std::string g_output_name;

void close_report_output() {
  if (g_output_handle == kInvalidHandle) return;
  close_file(g_output_handle);
  g_output_handle = kInvalidHandle;
}

FileHandle open_console_output() { return open_console_device(); }

void open_report_output() {
  if (g_options.output_to_file) {
    g_output_handle = open_output_file(g_output_name.c_str(), g_options.append);
  } else {
    g_output_name = "CON";
    g_output_handle = open_console_output();
    if (g_output_handle == kInvalidHandle) {
      fputs("Couldn't open console for output \n", stderr);
      exit_program(OUTPUT_FILE);
    }
  }
}

std::string zone_abbreviation(const std::string& name) {
  char abbrev[4] = {0, 0, 0, 0};
  for (size_t i = 0; i < 3 && i < name.size(); ++i) abbrev[i] = name[i];
  const size_t space = name.find(' ');
  if (space != std::string::npos) {
    const size_t taken = space + 1;
    abbrev[1] = taken < name.size() ? name[taken] : '\0';
    const size_t next = name.find(' ', taken + 1);
    if (taken < name.size() && next != std::string::npos)
      abbrev[2] = next + 1 < name.size() ? name[next + 1] : '\0';
  }
  return std::string(abbrev);
}

namespace {

std::string first_24(const char* text) {
  return text ? std::string(text, strnlen(text, 24)) : std::string();
}

}  // namespace

int describe_time_zone(TimeZoneDescription* out) {
  ZoneInfo zone;
  read_time_zone(&zone);
  const time_t now = time(nullptr);
  out->local_text = first_24(ctime(&now));
  out->tz_hours = static_cast<int32_t>(zone.seconds_west / 3600);
  const struct tm* gmt = gmtime(&now);
  out->gmt_text = gmt ? first_24(asctime(gmt)) : std::string();
  out->std_name = zone.standard_name;
  out->std_abbrev = zone_abbreviation(zone.standard_name);
  for (char& c : out->std_abbrev) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (!zone.has_daylight || zone.daylight_name.empty()) {
    out->dst_abbrev.clear();
    return 0;
  }
  out->dst_known = 1;
  out->dst_name = zone.daylight_name;
  out->dst_abbrev = zone_abbreviation(zone.daylight_name);
  return 0;
}

bool print_report_header(ReportWriter* writer) {
  if (g_options.no_header) return true;
  g_start_time = static_cast<int64_t>(time(nullptr));
  TimeZoneDescription tz;
  if (!allocation_succeeds([&tz] {
        tz.gmt_text.reserve(192);
        tz.local_text.reserve(192);
        tz.std_abbrev.reserve(32);
        tz.std_name.reserve(192);
      })) {
    fputs("\nCan't get timezone information\n", stderr);
    exit(INSUFFICIENT_MEMORY);
  }
  describe_time_zone(&tz);
  if (!writer->write_header()) return false;
  if (!g_acct_file) return true;
  fputs("\n Started ", g_acct_file);
  if (!tz.std_name.empty()) {
    fprintf(g_acct_file, "%s GMT, ", tz.gmt_text.c_str());
    const char* local_hm = tz.local_text.size() > 11 ? tz.local_text.c_str() + 11 : "";
    fprintf(g_acct_file, "%.5s %s ", local_hm, tz.std_name.c_str());
    fprintf(g_acct_file, "(%s/%s:%d)", tz.std_abbrev.c_str(), tz.dst_abbrev.c_str(),
            static_cast<int>(tz.tz_hours));
  } else {
    fprintf(g_acct_file, "%s Local Time: ", tz.local_text.c_str());
  }
  fputs("\n", g_acct_file);
  fputs(" Command line: ", g_acct_file);
  for (int i = 0; i < g_argc; ++i) fprintf(g_acct_file, "%s ", g_argv[i]);
  fputs("\n", g_acct_file);
  flush_run_log();
  return true;
}
