// Reading a line of standard input, the same on every platform.
#include "platform/platform.h"

bool read_input_line(std::string* out) {
  out->clear();
  for (;;) {
    const int c = read_input_byte();
    if (c < 0) return !out->empty();
    if (c == '\n') break;
    out->push_back(static_cast<char>(c));
  }
  if (!out->empty() && out->back() == '\r') out->pop_back();
  return true;
}
