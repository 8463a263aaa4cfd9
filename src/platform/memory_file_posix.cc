#include "platform/memory_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

FileHandle create_memory_file(const char* name, std::string* reason) {
  const int fd = memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return kInvalidHandle;
  }
  return fd;
}

bool append_to_memory_file(FileHandle file, const void* data, size_t size, std::string* reason) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(static_cast<int>(file), p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      *reason = std::strerror(errno);
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool seal_memory_file(FileHandle file, std::string* reason) {
  if (fcntl(static_cast<int>(file), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    *reason = std::strerror(errno);
    return false;
  }
  return true;
}
