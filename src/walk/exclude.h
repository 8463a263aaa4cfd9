// Exclusion patterns and their wildcard matcher.
#pragma once

#include <string>
#include <vector>

extern std::vector<std::string> g_exclude_list;  // upper-cased patterns

// Starts the list afresh (the -x option) or adds to it (INI key, long option).
void clear_exclusions();
void add_exclusion(const char* pattern);

// True when an exclusion pattern matches the upper-cased `file_name`.
bool is_excluded(const char* file_name);

// The whole of `name` against the whole of `pattern`: "*", "?", sets with
// "[...]" (negated by "!" or "^", with ranges), "\" quoting the next
// character; bytes compared by value.  An unterminated "[" or a lone
// trailing "\" makes the pattern match nothing.
bool wildcard_match(const char* pattern, const char* name);
