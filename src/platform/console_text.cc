// Console text helpers that are the same on every platform.
#include <cstdio>

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

bool copy_file_to_stderr(const std::string& path) {
  FILE* f = open_regular_file(path.c_str(), true);
  if (!f) return false;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) fwrite(buf, 1, n, stderr);
  fclose(f);
  return true;
}
