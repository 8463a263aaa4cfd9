// Settings from the INI file: the program's own, or its section of the
// shared QUILLORY.INI.
#pragma once

#include <string>

#include "options/options.h"

void read_ini_file(char** argv, Options* options);

// Applies one settings line; `line` as written, without its line end.
void apply_ini_line(const std::string& line, Options* options);
