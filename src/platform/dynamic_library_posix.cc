#include "platform/dynamic_library.h"

#include <dlfcn.h>

LibraryHandle load_library(const char* name, std::string* reason) {
  void* handle = dlopen(name, RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* text = dlerror();
    reason->assign(text != nullptr ? text : "");
  }
  return handle;
}

void* library_symbol(LibraryHandle library, const char* symbol) { return dlsym(library, symbol); }

void unload_library(LibraryHandle library) { dlclose(library); }
