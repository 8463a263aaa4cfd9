// The depth-first directory walk.
#pragma once

#include "platform/platform.h"

// Walks `directory` (which ends with the path separator): its
// subdirectories first when recursion is on, then its own files.
void walk_directory(const char* directory);
void process_directory_files(const char* directory);
// True when the user pressed Esc (or Ctrl+C typed as a character).
bool key_abort_requested();

// Creates the walk's search-string buffers; called once at start-up.
void reserve_walk_buffers();

// What the walk does with each file it selects; the decoder unless a test
// puts something else in its place.
using FileHandler = void (*)(const char* directory, const char* file_name, EntryKind kind);
extern FileHandler g_file_handler;
