// Bytes kept in an anonymous file that lives only in memory and is never
// written to a disk, for a library that reads only files it opens by name
// (hivex reads registry hives so): the copy is filled, then sealed so that
// nothing can change, grow or shrink it while the library maps it, and the
// library opens it by reopen_name() (image_files.h).  Linux (memfd).
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

// A new, empty memory file, closed on exec; `name` shows only in /proc.
// kInvalidHandle with the system's reason when it cannot be made.
FileHandle create_memory_file(const char* name, std::string* reason);
// Appends `size` bytes to the memory file; false with the system's reason.
bool append_to_memory_file(FileHandle file, const void* data, size_t size, std::string* reason);
// Seals the memory file: from now on nobody can write to it, grow or shrink
// it.  False with the system's reason.
bool seal_memory_file(FileHandle file, std::string* reason);
