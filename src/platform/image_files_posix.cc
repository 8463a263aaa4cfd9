#include "platform/image_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

const char kNotRegular[] = "not a regular file";

namespace {

FileType type_of(mode_t mode) {
  if (S_ISREG(mode)) return FileType::kRegular;
  if (S_ISBLK(mode)) return FileType::kDisk;
  if (S_ISDIR(mode)) return FileType::kDirectory;
  return FileType::kOther;
}

}  // namespace

bool file_type_of(const char* path, FileType* type, std::string* reason) {
  struct stat st;
  if (stat(path, &st) != 0) {
    if (reason) *reason = std::strerror(errno);
    return false;
  }
  *type = type_of(st.st_mode);
  return true;
}

FileHandle open_without_blocking(const char* path) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  return fd < 0 ? kInvalidHandle : fd;
}

bool file_type_of(FileHandle handle, FileType* type, uint64_t* size, std::string* reason) {
  const int fd = static_cast<int>(handle);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    if (reason) *reason = std::strerror(errno);
    return false;
  }
  *type = type_of(st.st_mode);
  *size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  return true;
}

int64_t file_end(FileHandle handle) { return lseek(static_cast<int>(handle), 0, SEEK_END); }

FileHandle open_image_file(const std::string& path, uint64_t* size, std::string* reason) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return kInvalidHandle;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *reason = std::strerror(errno);
    close(fd);
    return kInvalidHandle;
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    *reason = kNotRegular;
    close(fd);
    return kInvalidHandle;
  }
  // Reads may block on a disk as on any file; only the open must not.
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  const off_t end = S_ISREG(st.st_mode) ? st.st_size : lseek(fd, 0, SEEK_END);
  *size = end > 0 ? static_cast<uint64_t>(end) : 0;
  return fd;
}

int64_t read_once_at(FileHandle handle, void* buffer, size_t size, uint64_t offset,
                     std::string* reason) {
  for (;;) {
    const ssize_t got = pread(static_cast<int>(handle), buffer, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) *reason = std::strerror(errno);
    return got;
  }
}

std::string reopen_name(FileHandle handle) { return "/proc/self/fd/" + std::to_string(handle); }
