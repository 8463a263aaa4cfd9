// The help screens: the help screen of -? (and of every option that is
// missing its value), the help procedure of an unknown letter, and the
// description of the words beyond the keys (help_more.h).  Each writes its
// text; the run then ends with code 5, which the driver does.
#pragma once

#include <string>

#include "common/module_stamp.h"

// The build stamps the help screen shows.
struct HelpStamps {
  const ModuleStamp* run_log;
  const ModuleStamp* program;
  const ModuleStamp* options;
};

// Writes the help screen on the error stream, after throwing away typed
// input.
void show_help(const HelpStamps& stamps);
// The help procedure for an unknown option letter: the help file where
// there is one (then the help screen only when asked for), else the help
// screen.
void help_for_unknown_letter(const std::string& program_path, const HelpStamps& stamps);
// Looks for the help file beside the program; true when one was opened.
bool open_help_file(std::string* program_path);
