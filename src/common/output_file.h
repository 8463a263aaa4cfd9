// Opening the tool's output file, and the checked buffer allocator.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// Opens `name` for writing: emptied when `append` is 0, positioned at its
// end when 1.  Does not return on failure.
FileHandle open_output_file(const char* name, int append);

// A block of count × 4 bytes; ends the run with exit code 6 when the heap is
// exhausted.
void* allocate_buffer(size_t count);
