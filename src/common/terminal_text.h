// Text that echoes names on the error stream, made safe for a terminal.
#pragma once

#include <cstddef>
#include <string>

// Appends `text` with every byte that could drive a terminal (below 0x20,
// 0x7F and 0x80 to 0x9F) written as "?".  Latin-1 bytes 0xA0 to 0xFF stay.
void append_terminal_text(std::string* out, const char* text, size_t length);
