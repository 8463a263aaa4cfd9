#include "common/terminal_text.h"

#include <string_view>

#include "platform/platform.h"
#include "platform/utf8.h"

void append_terminal_text(std::string* out, const char* text, size_t length) {
  append_terminal_text(out, text, length, console_uses_utf8());
}

void append_terminal_text(std::string* out, const char* text, size_t length, bool utf8) {
  const std::string_view view(text, length);
  for (size_t i = 0; i < length;) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80 || !utf8) {
      const bool control = c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F);
      out->push_back(control ? '?' : static_cast<char>(c));
      ++i;
      continue;
    }
    const size_t n = utf8_sequence_length(view, i);
    // U+0080 to U+009F are C2 80 to C2 9F.
    const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (n == 0 || c1) {
      out->push_back('?');
      i += n == 0 ? 1 : n;
    } else {
      out->append(text + i, n);
      i += n;
    }
  }
}
