// The start banner on the error stream.
#pragma once

#include <cstdio>
#include <string>

// Prints the banner, preceded by line feeds from `start_line` up to 29.
void print_banner(int start_line);

// The program's version, as the banner shows it ("26.12.08.10.00": the
// build's date and time), without the banner's mark.
std::string program_version();
// Appends (width - length) / 2 spaces and `text` to the text being
// composed; returns the characters appended.  Box characters count as one.
int print_centered(std::string* out, const std::string& text, int width);
// "yy.mm.dd.hh.mm" from a build date ("Apr 16 2018") and time ("17:42:53"),
// followed by `mark` when there is one.
std::string make_version_text(const char* date, const char* time, const char* mark);
// The banner exactly as print_banner writes it, in code page 437 bytes.
std::string banner_text(int start_line, const char* date, const char* time);
