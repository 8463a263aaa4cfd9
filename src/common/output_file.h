// Opening the tool's output file (with its file prompt and the overwrite
// question), and the checked buffer allocator.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

// Opens `name` for writing: emptied when `append` is 0, positioned at its
// end when 1.  A name that starts with "-" is picked at the file prompt.
// Does not return on failure: status 1, or exit code 3 for the quit answer.
FileHandle open_output_file(const char* name, int append);

// The file prompt: fills `out` and returns true when a name was chosen.
// `at_end` is set when standard input has ended.
bool choose_output_file(std::string* out, bool* at_end);

// A block of count × 4 bytes; ends the run with exit code 6 when the heap is
// exhausted.
void* allocate_buffer(size_t count);
