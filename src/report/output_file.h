// Opening the report's output file, with its file prompt and the overwrite
// question.
#pragma once

#include <string>

#include "common/status.h"
#include "platform/platform.h"

// Opens `name` for writing: emptied when `append` is 0, positioned at its
// end when 1.  A name that starts with "-" is picked at the file prompt.
// kInvalidHandle when no file could be opened, with `status` saying how
// the run ends: status 1, or exit code 3 for the quit answer or when
// nothing more can be chosen.
FileHandle open_output_file(const char* name, int append, Status* status);

// The file prompt: fills `out` and returns true when a name was chosen.
// `at_end` is set when standard input has ended.
bool choose_output_file(std::string* out, bool* at_end);
