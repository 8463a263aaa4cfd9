// Settings from the INI file: the program's own, or its section of the
// shared QUILLORY.INI.  Each line is matched against the INI keys of the
// option table.
#pragma once

#include <cstdio>
#include <string>

#include "options/options.h"

// Status: a file the INI file named ended the run (the accounting file
// that can neither be opened nor created).
Status read_ini_file(char** argv, const OptionVocabulary& vocabulary, OptionEffects* effects,
                     Options* options);

// Reads the settings lines of an open INI file: a shared file only within
// the section named after the program (`name`).
Status read_ini_lines(FILE* f, bool shared, const std::string& name,
                      const OptionVocabulary& vocabulary, OptionEffects* effects,
                      Options* options);

// Applies one settings line; `line` as written, without its line end.
Status apply_ini_line(const std::string& line, const OptionVocabulary& vocabulary,
                      OptionEffects* effects, Options* options);
