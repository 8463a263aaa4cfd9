// The lists of directories to walk and of file patterns to apply.
#pragma once

#include <string>
#include <vector>

extern std::vector<std::string> g_path_list;     // directories, in the order added
extern std::vector<std::string> g_pattern_list;  // file patterns, as given

// Adds a directory unless it is already listed.  One trailing separator is
// removed from `name` itself (so an option argument is shortened in place).
void add_path(char* name);
void add_file_pattern(const char* pattern);
// A bare command-line argument: a directory, or a file path or pattern whose
// directory and last component are added separately.
void add_bare_argument(const char* argument);
// Adds the current working directory.
void add_default_path();
// The walk's form of a listed directory's first letter (upper case on
// systems with drive letters; unchanged elsewhere).
void first_letter_to_upper(std::string* entry);
