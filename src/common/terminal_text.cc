#include "common/terminal_text.h"

void append_terminal_text(std::string* out, const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const bool control = c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F);
    out->push_back(control ? '?' : static_cast<char>(c));
  }
}
