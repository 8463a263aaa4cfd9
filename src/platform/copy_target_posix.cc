#include "platform/copy_target.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "platform/file_time.h"

namespace {

int retry_open(int dir, const char* name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = openat(dir, name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

struct timespec to_timespec(FileTime time) {
  struct timespec ts;
  if (time == 0) {
    ts.tv_sec = 0;
    ts.tv_nsec = UTIME_OMIT;
    return ts;
  }
  // 100 ns units since 1601 to seconds and nanoseconds since 1970.
  constexpr int64_t kEpochDifference = 11644473600LL;
  const int64_t ticks = static_cast<int64_t>(time);
  int64_t seconds = ticks / 10000000 - kEpochDifference;
  int64_t rest = ticks % 10000000;
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>(rest * 100);
  return ts;
}

bool empty_folder(int fd) {
  const int copy = dup(fd);
  if (copy < 0) return false;
  DIR* d = fdopendir(copy);
  if (d == nullptr) {
    close(copy);
    return false;
  }
  bool empty = true;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  closedir(d);
  return empty;
}

class PosixCopyTarget final : public CopyTarget {
 public:
  explicit PosixCopyTarget(int fd) : root_(fd) {
    const long limit = fpathconf(fd, _PC_NAME_MAX);
    name_limit_ = limit > 0 ? static_cast<size_t>(limit) : 255;
  }
  ~PosixCopyTarget() override { close(root_); }

  TargetRef root() override { return root_; }
  size_t name_limit() const override { return name_limit_; }
  bool mend_name(std::string*) const override { return false; }  // any other byte will do

  TargetRef make_folder(TargetRef parent, const char* name, bool reuse, bool* taken,
                        std::string* reason) override {
    *taken = false;
    const int at = static_cast<int>(parent);
    if (mkdirat(at, name, 0777) != 0) {
      if (errno != EEXIST) {
        *reason = strerror(errno);
        return kNoTarget;
      }
      if (!reuse) {
        *taken = true;
        return kNoTarget;
      }
    }
    // Never through a link: a name swapped for one is refused.
    const int fd = retry_open(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      *taken = errno == ELOOP || errno == ENOTDIR;
      if (!*taken) *reason = strerror(errno);
      return kNoTarget;
    }
    return fd;
  }

  TargetRef open_parent(TargetRef folder, std::string* reason) override {
    const int fd = retry_open(static_cast<int>(folder), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      *reason = strerror(errno);
      return kNoTarget;
    }
    return fd;
  }

  bool close_folder(TargetRef folder, FileTime last_write, FileTime last_access) override {
    const struct timespec ts[2] = {to_timespec(last_access), to_timespec(last_write)};
    const bool set = futimens(static_cast<int>(folder), ts) == 0;
    close(static_cast<int>(folder));
    return set;
  }

  TargetRef create_file(TargetRef parent, const char* name, bool* taken,
                        std::string* reason) override {
    *taken = false;
    const int fd = retry_open(static_cast<int>(parent), name,
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
      *taken = errno == EEXIST;
      if (!*taken) *reason = strerror(errno);
      return kNoTarget;
    }
    return fd;
  }

  bool write(TargetRef file, const void* data, size_t size, std::string* reason) override {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = ::write(static_cast<int>(file), at, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        *reason = strerror(n < 0 ? errno : ENOSPC);
        return false;
      }
      at += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  bool finish_file(TargetRef file, FileTime last_write, FileTime last_access,
                   std::string* reason) override {
    const int fd = static_cast<int>(file);
    const struct timespec ts[2] = {to_timespec(last_access), to_timespec(last_write)};
    bool ok = true;
    if (futimens(fd, ts) != 0) {
      *reason = strerror(errno);
      ok = false;
    }
    if (close(fd) != 0 && ok) {
      *reason = strerror(errno);
      ok = false;
    }
    return ok;
  }

  void discard_file(TargetRef parent, const char* name, TargetRef file) override {
    if (file != kNoTarget) close(static_cast<int>(file));
    unlinkat(static_cast<int>(parent), name, 0);
  }

 private:
  int root_;
  size_t name_limit_ = 255;
};

}  // namespace

std::unique_ptr<CopyTarget> open_copy_target(const char* path, TargetOpen* outcome,
                                             std::string* reason) {
  struct stat st;
  if (stat(path, &st) != 0) {
    // Made with every missing folder above it.
    std::string partial;
    const std::string whole = path;
    for (size_t i = 1; i <= whole.size(); ++i) {
      if (i < whole.size() && whole[i] != '/') continue;
      partial.assign(whole, 0, i);
      if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
        *reason = strerror(errno);
        *outcome = TargetOpen::kFailed;
        return nullptr;
      }
    }
  } else if (!S_ISDIR(st.st_mode)) {
    *outcome = TargetOpen::kNotAFolder;
    *reason = "it is not a folder";
    return nullptr;
  }
  const int fd = retry_open(AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *reason = strerror(errno);
    *outcome = TargetOpen::kFailed;
    return nullptr;
  }
  if (!empty_folder(fd)) {
    close(fd);
    *reason = "it is not empty";
    *outcome = TargetOpen::kNotEmpty;
    return nullptr;
  }
  *outcome = TargetOpen::kOpened;
  return std::make_unique<PosixCopyTarget>(fd);
}

bool folder_within(const char* inner, const char* outer) {
  struct stat top;
  if (stat(outer, &top) != 0) return false;
  // The nearest folder of `inner` that exists, then each folder above it
  // through "..", up to the root (its own parent).
  std::string at = inner;
  struct stat st;
  while (stat(at.c_str(), &st) != 0) {
    while (at.size() > 1 && at.back() == '/') at.pop_back();
    const size_t cut = at.rfind('/');
    if (cut == std::string::npos) {
      at = ".";
    } else {
      at.resize(cut == 0 ? 1 : cut);
    }
    if (at == "." && stat(at.c_str(), &st) != 0) return false;
  }
  // Up through ".." by handle, so that no path grows with the depth.
  int fd = retry_open(AT_FDCWD, at.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  while (fd >= 0) {
    if (fstat(fd, &st) != 0) break;
    if (st.st_dev == top.st_dev && st.st_ino == top.st_ino) {
      close(fd);
      return true;
    }
    const int up = retry_open(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat above;
    const bool root = up < 0 || (fstat(up, &above) == 0 && above.st_dev == st.st_dev &&
                                 above.st_ino == st.st_ino);
    close(fd);
    fd = up;
    if (root) break;
  }
  if (fd >= 0) close(fd);
  return false;
}
