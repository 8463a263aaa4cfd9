#include "companion/zone_identifier.h"

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// A whole decimal number, with an optional sign, within int64_t.
bool parse_number(std::string_view s, int64_t* out) {
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || s.size() > 18) return false;
  int64_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *out = negative ? -value : value;
  return true;
}

}  // namespace

bool parse_zone_identifier(std::string_view text, ZoneIdentifier* out) {
  *out = ZoneIdentifier();
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  bool in_section = true;  // keys before any section are taken
  bool found = false;
  while (!text.empty()) {
    size_t end = text.find_first_of("\r\n");
    const std::string_view line = trim(text.substr(0, end));
    if (end == std::string_view::npos) {
      text = std::string_view();
    } else {
      text.remove_prefix(end + (text.substr(end, 2) == "\r\n" ? 2 : 1));
    }
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      in_section = close != std::string_view::npos &&
                   equals_ignoring_case(trim(line.substr(1, close - 1)), "ZoneTransfer");
      continue;
    }
    if (!in_section) continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = trim(line.substr(0, equals));
    const std::string_view value = trim(line.substr(equals + 1));
    if (equals_ignoring_case(key, "ZoneId")) {
      int64_t zone = 0;
      if (!out->has_zone_id && parse_number(value, &zone)) {
        out->has_zone_id = true;
        out->zone_id = zone;
      }
      found = true;
    } else if (equals_ignoring_case(key, "HostUrl")) {
      if (out->host_url.empty()) out->host_url = value;
      found = true;
    } else if (equals_ignoring_case(key, "ReferrerUrl")) {
      if (out->referrer_url.empty()) out->referrer_url = value;
      found = true;
    }
  }
  return found;
}

bool read_zone_identifier(FileSystem* fs, DirRef dir, const char* name, char* buffer,
                          ZoneIdentifier* out) {
  size_t length = 0;
  *out = ZoneIdentifier();
  if (!fs->read_named_stream(dir, name, kZoneStream, buffer, kZoneStreamLimit, &length))
    return false;
  return parse_zone_identifier(std::string_view(buffer, length), out);
}
