// Text that echoes names on the error stream, made safe for a terminal.
#pragma once

#include <cstddef>
#include <string>

// Appends `text` with every byte that could drive a terminal written as
// "?".  Where the console shows UTF-8, a well-formed UTF-8 sequence stays as
// it is unless it is a control character (C0, DEL, C1: U+0080 to U+009F),
// and each byte that is not part of a well-formed sequence is a "?".
// Otherwise bytes below 0x20, 0x7F and 0x80 to 0x9F are "?" and Latin-1
// bytes 0xA0 to 0xFF stay.
void append_terminal_text(std::string* out, const char* text, size_t length);
// The same for a console that shows UTF-8 (`utf8`) or single bytes.
void append_terminal_text(std::string* out, const char* text, size_t length, bool utf8);
