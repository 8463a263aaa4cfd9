// Settings from the INI file: the program's own, or its section of the
// shared QUILLORY.INI.
#pragma once

#include <cstdio>
#include <string>

#include "options/options.h"

void read_ini_file(char** argv, Options* options);

// Reads the settings lines of an open INI file: a shared file only within
// the section named after the program (`name`).
void read_ini_lines(FILE* f, bool shared, const std::string& name, Options* options);

// Applies one settings line; `line` as written, without its line end.
void apply_ini_line(const std::string& line, Options* options);
