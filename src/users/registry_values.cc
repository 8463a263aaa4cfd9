#include "users/registry_values.h"

#include <cstdint>

#include "common/utf16.h"
#include "platform/utf8.h"
#include "users/sid.h"

std::string profile_name_of_path(const unsigned char* data, size_t size) {
  size_t units = size / 2;
  for (size_t i = 0; i < units; ++i) {
    if (read_le16(data + 2 * i) == 0) {
      units = i;
      break;
    }
  }
  const auto separator = [&](size_t i) {
    const uint16_t u = read_le16(data + 2 * i);
    return u == '\\' || u == '/';
  };
  size_t end = units;
  while (end > 0 && separator(end - 1)) --end;
  size_t begin = end;
  while (begin > 0 && !separator(begin - 1)) --begin;
  std::string name;
  append_utf16le_as_utf8(data + 2 * begin, end - begin, &name);
  return name;
}

bool machine_sid_of_account_v(const unsigned char* v, size_t size, std::string* sid) {
  // Revision 1, four sub-authorities, authority 5 (NT), then 21 and the
  // machine's own three.
  static constexpr unsigned char kPrefix[] = {1, 4, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};
  constexpr size_t kSize = 8 + 4 * 4;
  if (size < kSize) return false;
  const unsigned char* start = v + size - kSize;
  for (size_t i = 0; i < sizeof kPrefix; ++i) {
    if (start[i] != kPrefix[i]) return false;
  }
  return sid_from_binary(start, kSize, sid);
}
