// Shared libraries loaded while the program runs, only when a run needs
// them (The Sleuth Kit, libewf), so that a run that reads no image neither
// needs them nor pays for loading them; their functions found by name.
#pragma once

#include <string>

using LibraryHandle = void*;

// Loads the library `name` (a file name the system's loader searches
// for); null with the loader's reason in `reason` (empty when it gives
// none).
LibraryHandle load_library(const char* name, std::string* reason);
// The address of the function `symbol` in the library; null when it has
// none.
void* library_symbol(LibraryHandle library, const char* symbol);
void unload_library(LibraryHandle library);
