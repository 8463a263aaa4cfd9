// The description of the command-line words that go past the classic
// options, for --help-more.
#pragma once

#include <string>

// Writes the description on the error stream; `format_lines` are the
// report formats' lines (the report format table's help).  The run then
// ends with code 5, as after the help screen.
void show_help_more(const std::string& format_lines);
