// The lists of directories to walk and of file patterns to apply, as the
// options fill them.
#pragma once

#include <string>

#include "options/options.h"

// Adds a directory unless it is already listed.  One trailing separator is
// removed from `name` itself (so an option argument is shortened in place).
void add_path(Options* options, char* name);
void add_file_pattern(Options* options, const char* pattern);
// A bare command-line argument: a directory, or a file path or pattern whose
// directory and last component are added separately.
void add_bare_argument(Options* options, const char* argument);
// Adds the current working directory.
void add_default_path(Options* options);
