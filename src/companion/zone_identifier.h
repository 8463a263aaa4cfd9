// The Zone.Identifier stream Windows attaches to a downloaded file: a short
// INI text whose [ZoneTransfer] section says the zone it came from
// (ZoneId=3 for the Internet) and, since Windows 10, the page and the site
// (ReferrerUrl=, HostUrl=).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/file_system.h"

// The stream's name.
constexpr char kZoneStream[] = "Zone.Identifier";
// The most of a stream that is read; a longer one is cut there.
constexpr size_t kZoneStreamLimit = 65536;

struct ZoneIdentifier {
  bool has_zone_id = false;
  int64_t zone_id = 0;
  // Views into the text parsed.
  std::string_view host_url, referrer_url;
};

// Reads the keys of `text`: lines ended by CR LF, LF or CR, a UTF-8 byte
// order mark allowed, keys in any case with spaces around them and the "="
// ignored, in the [ZoneTransfer] section (or before any section).  A key
// that is missing stays empty; a ZoneId that is not a whole number in range
// is left out.  False when the text holds none of the three keys.
bool parse_zone_identifier(std::string_view text, ZoneIdentifier* out);

// Reads the Zone.Identifier stream of the entry `name` of `dir` into
// `buffer` (kZoneStreamLimit bytes) and parses it; false where there is none.
bool read_zone_identifier(FileSystem* fs, DirRef dir, const char* name, char* buffer,
                          ZoneIdentifier* out);
