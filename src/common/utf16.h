// UTF-16LE text, as Windows writes names, turned into UTF-8.
#pragma once

#include <cstddef>
#include <string>

// Appends `count` UTF-16LE code units (2 bytes each) as UTF-8.  A surrogate
// pair is joined into one character; a surrogate without its partner is
// written as U+FFFD.  Returns true when such a lone surrogate was seen.
bool append_utf16le_as_utf8(const unsigned char* units, size_t count, std::string* out);
