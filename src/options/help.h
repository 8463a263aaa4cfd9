// The help screen.
#pragma once

#include <string>

#include "common/module_stamp.h"

extern const ModuleStamp kOptionsModule;

// Prints the help screen on the error stream and ends the run with code 5.
[[noreturn]] void show_help();
// The help procedure for an unknown option letter.
[[noreturn]] void help_for_unknown_letter();
// Looks for the help file beside the program; true when one was opened.
bool open_help_file(std::string* program_path);
