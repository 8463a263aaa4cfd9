#include "runlog/time_zone.h"

#include <cctype>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

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
