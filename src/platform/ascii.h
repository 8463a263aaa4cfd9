// ASCII letters, compared and changed without the C library's locale.
#pragma once

#include <string>

inline char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Upper-cases the ASCII letters of `text` in place.
inline void ascii_upper_in_place(std::string* text) {
  for (char& c : *text) c = ascii_upper(c);
}
