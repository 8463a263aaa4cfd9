#include "users/sid.h"

#include <cstdint>

#include "platform/ascii.h"
#include "platform/utf8.h"

bool is_sid(std::string_view text) {
  if (text.size() < 3 || ascii_upper(text[0]) != 'S' || text[1] != '-' || text[2] != '1') return false;
  size_t i = 3;
  size_t groups = 0;
  while (i < text.size()) {
    if (text[i] != '-') return false;
    const size_t start = ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == start) return false;
    ++groups;
  }
  return groups > 0;
}

int compare_sids(std::string_view a, std::string_view b) {
  if (a.empty() || b.empty()) return a.empty() == b.empty() ? 0 : (a.empty() ? -1 : 1);
  const char ca = ascii_upper(a[0]), cb = ascii_upper(b[0]);
  if (ca != cb) return ca < cb ? -1 : 1;
  return a.substr(1).compare(b.substr(1));
}

bool sid_from_binary(const unsigned char* data, size_t size, std::string* out) {
  if (size < 8) return false;
  const size_t count = data[1];
  if (size != 8 + 4 * count || count == 0) return false;
  uint64_t authority = 0;
  for (size_t i = 2; i < 8; ++i) authority = (authority << 8) | data[i];
  out->assign("S-");
  out->append(std::to_string(data[0]));
  out->push_back('-');
  out->append(std::to_string(authority));
  for (size_t i = 0; i < count; ++i) {
    out->push_back('-');
    out->append(std::to_string(read_le32(data + 8 + 4 * i)));
  }
  return true;
}
