// The description of the command-line words that go past the classic
// options, for --help-more.
#pragma once

// The text --help-more prints.
extern const char kHelpMoreText[];

// Prints kHelpMoreText on the error stream and ends the run with code 5, as
// the help screen does.
[[noreturn]] void show_help_more();
