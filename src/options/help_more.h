// The description of the command-line words that go past the classic
// options, for --help-more.
#pragma once

// Prints the description on the error stream and ends the run with code 5, as
// the help screen does.
[[noreturn]] void show_help_more();
