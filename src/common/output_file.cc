#include "common/output_file.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "driver/exit.h"

FileHandle open_output_file(const char* name, int append) {
  const FileHandle handle = open_output_device(name, append != 0);
  if (handle == kInvalidHandle) {
    fprintf(stderr, "\n%s\n%d\nerror opening output file %s\n", __FILE__, __LINE__, name);
    exit(1);
  }
  return handle;
}

void* allocate_buffer(size_t count) {
  void* p = ::operator new(count * 4, std::nothrow);
  if (!p) {
    fprintf(stderr, "\n%s\n%d\nnot enough memory for buffer\n", __FILE__, __LINE__);
    exit_program(INSUFFICIENT_MEMORY);
  }
  return p;
}
