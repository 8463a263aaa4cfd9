#include "common/utf16.h"

#include <cstdint>

#include "platform/utf8.h"

bool append_utf16le_as_utf8(const unsigned char* units, size_t count, std::string* out) {
  bool lone = false;
  for (size_t i = 0; i < count; ++i) {
    const uint16_t u = read_le16(units + 2 * i);
    if (u < 0xD800 || u > 0xDFFF) {
      append_utf8(out, u);
      continue;
    }
    if (u <= 0xDBFF && i + 1 < count) {
      const uint16_t next = read_le16(units + 2 * i + 2);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        append_utf8(out, 0x10000 + ((static_cast<uint32_t>(u) - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
    }
    out->append("\xEF\xBF\xBD", 3);  // U+FFFD
    lone = true;
  }
  return lone;
}
