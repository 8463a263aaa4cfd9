// The real file system on Linux and other POSIX systems: directories held
// as open descriptors, everything below them reached relative to them.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "platform/file_system.h"

#include <dirent.h>  // DT_* entry types
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/dos_pattern.h"
#include "platform/file_time.h"

namespace {

struct linux_dirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

constexpr size_t kDirBufferSize = 64 * 1024;
// Files whose data is asked for ahead of a walk that finds a file's data
// not in memory, at most.
constexpr size_t kReadAhead = 16;
constexpr int kFileFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

EntryKind kind_from_mode(mode_t mode) {
  if (S_ISREG(mode)) return EntryKind::kRegular;
  if (S_ISDIR(mode)) return EntryKind::kDirectory;
  if (S_ISLNK(mode)) return EntryKind::kLink;
  return EntryKind::kOther;
}

EntryKind kind_from_dirent(int dir_fd, const linux_dirent64* entry) {
  switch (entry->d_type) {
    case DT_REG: return EntryKind::kRegular;
    case DT_DIR: return EntryKind::kDirectory;
    case DT_LNK: return EntryKind::kLink;
    case DT_UNKNOWN: {
      struct stat st;
      if (fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::kUnknown;
      return kind_from_mode(st.st_mode);
    }
    default: return EntryKind::kOther;
  }
}

int retry_openat(int dir, const char* name, int flags) {
  int fd;
  do {
    fd = openat(dir, name, flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Opens a directory named by a path of any length: a path too long for one
// call is opened piece by piece, each piece relative to the one before.
int open_directory_path(const char* path) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  const size_t length = strlen(path);
  if (length < PATH_MAX) return retry_openat(AT_FDCWD, path, kFlags);
  std::string piece;
  int fd = path[0] == '/' ? retry_openat(AT_FDCWD, "/", kFlags) : AT_FDCWD;
  const char* rest = path;
  while (fd >= 0 || fd == AT_FDCWD) {
    while (*rest == '/') ++rest;
    if (*rest == '\0') return fd == AT_FDCWD ? retry_openat(AT_FDCWD, ".", kFlags) : fd;
    // The longest run of whole components that one call takes.
    const char* end = rest;
    const char* cut = nullptr;
    while (*end != '\0' && static_cast<size_t>(end - rest) < PATH_MAX - 1) {
      if (*end == '/') cut = end;
      ++end;
    }
    if (*end == '\0') cut = end;
    if (!cut || cut == rest) {
      if (fd != AT_FDCWD) close(fd);
      errno = ENAMETOOLONG;
      return -1;
    }
    piece.assign(rest, static_cast<size_t>(cut - rest));
    const int next = retry_openat(fd, piece.c_str(), kFlags);
    if (fd != AT_FDCWD) close(fd);
    if (next < 0) return -1;
    fd = next;
    rest = cut;
  }
  return -1;
}

constexpr unsigned kStatxMask =
    STATX_TYPE | STATX_SIZE | STATX_ATIME | STATX_MTIME | STATX_CTIME | STATX_BTIME;

class PosixFileSystem final : public FileSystem {
 public:
  PosixFileSystem() : buffer_(kDirBufferSize) {
    attribute_path_.reserve(320);
    attribute_name_.reserve(64);
  }

  DirRef open_directory(const char* path, std::string* error) override {
    const int fd = open_directory_path(path);
    if (fd < 0) {
      *error = strerror(errno);
      return kNoDir;
    }
    return fresh(fd);
  }

  DirRef open_subdirectory(DirRef parent, const char* name, std::string* error) override {
    const int fd = retry_openat(static_cast<int>(parent), name,
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      const int failure = errno;
      struct stat st;
      const bool link = (failure == ELOOP || failure == ENOTDIR) &&
                        fstatat(static_cast<int>(parent), name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISLNK(st.st_mode);
      *error = link ? "it is a link now, and is not entered" : strerror(failure);
      return kNoDir;
    }
    return fresh(fd);
  }

  DirRef open_parent(DirRef child, std::string* error) override {
    const int fd = retry_openat(static_cast<int>(child), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      *error = strerror(errno);
      return kNoDir;
    }
    return fresh(fd);
  }

  bool identify_directory(DirRef dir, DirIdentity* out) override {
    struct stat st;
    if (fstat(static_cast<int>(dir), &st) != 0) return false;
    out->volume = static_cast<uint64_t>(st.st_dev);
    out->node = static_cast<uint64_t>(st.st_ino);
    return true;
  }

  void close_directory(DirRef dir) override {
    if (dir == upcoming_dir_) set_upcoming(dir, nullptr);
    if (dir != kNoDir) close(static_cast<int>(dir));
  }

  size_t open_directory_budget() const override {
    // Leave most descriptors to everything else the run opens.
    struct rlimit limit;
    size_t budget = 64;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
      budget = static_cast<size_t>(limit.rlim_cur) / 4;
    if (budget > 1024) budget = 1024;
    return budget < 8 ? 8 : budget;
  }

  bool list_directory(DirRef dir, const char* pattern, DirEntryVisitor* visitor,
                      std::string* error) override {
    const int fd = static_cast<int>(dir);
    // A directory listed before is read again from its start.
    if (was_listed(fd) && lseek(fd, 0, SEEK_SET) != 0) {
      *error = strerror(errno);
      return false;
    }
    mark(fd, true);
    pattern_.compile(pattern);
    const bool all = strcmp(pattern, "*") == 0 || strcmp(pattern, "*.*") == 0;
    for (;;) {
      long n;
      do {
        n = syscall(SYS_getdents64, fd, buffer_.data(), buffer_.size());
      } while (n < 0 && errno == EINTR);
      if (n < 0) {
        *error = strerror(errno);
        return false;
      }
      if (n == 0) return true;
      for (size_t pos = 0; pos < static_cast<size_t>(n);) {
        const auto* entry = reinterpret_cast<const linux_dirent64*>(buffer_.data() + pos);
        pos += entry->d_reclen;
        if (!all && !pattern_.matches(entry->d_name)) continue;
        DirEntry out;
        out.name = entry->d_name;
        out.name_length = strlen(entry->d_name);
        out.kind = kind_from_dirent(fd, entry);
        out.directory = out.kind == EntryKind::kDirectory;
        if (!visitor->visit(out)) return true;
      }
    }
  }

  bool search_per_pattern() const override { return false; }

  bool lookup(DirRef dir, const char* name, EntryInfo* out) override {
    struct statx stx;
    if (statx(static_cast<int>(dir), name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kStatxMask,
              &stx) != 0)
      return false;
    fill_info(stx, static_cast<int>(dir), name, out);
    return true;
  }

  void set_upcoming(DirRef dir, UpcomingFiles* files) override {
    // Files opened ahead that the walk did not take (it stopped) are
    // closed unread.
    for (; ahead_count_ > 0; --ahead_count_) close(ahead_[ahead_first_++ % kReadAhead].fd);
    ahead_first_ = 0;
    upcoming_ = files;
    upcoming_dir_ = files != nullptr ? dir : kNoDir;
  }

  void want_change_times(bool) override {}  // statx gives them with the rest

  bool names_deleted_entry(DirRef, const char*) override { return false; }

  FileRef open_file(DirRef dir, const char* name, EntryKind hint) override {
    const int dir_fd = static_cast<int>(dir);
    if (ahead_count_ > 0 && dir == upcoming_dir_) {
      Ahead& first = ahead_[ahead_first_ % kReadAhead];
      if (strcmp(first.name, name) == 0) {
        ++ahead_first_;
        --ahead_count_;
        return start_reading(first.fd, true);
      }
      set_upcoming(upcoming_dir_, upcoming_);  // out of step: none kept
    }
    if (hint != EntryKind::kRegular) {
      // Only a regular file is opened: a FIFO or device could block or
      // act on being opened.
      struct stat st;
      if (fstatat(dir_fd, name, &st, 0) != 0 || !S_ISREG(st.st_mode)) return kNoFile;
    }
    const int fd = retry_openat(dir_fd, name, kFileFlags);
    return fd < 0 ? kNoFile : start_reading(fd, false);
  }

  size_t read_file(FileRef file, void* buffer, size_t size) override {
    const int fd = static_cast<int>(file);
    const uint64_t at = position(fd);
    size_t got = 0;
    bool read = false;
    if (nowait_) {
      // First without waiting: when the data is not in memory, the next
      // files' data is asked for too, so that the disk has them in hand.
      struct iovec piece = {buffer, size};
      ssize_t n;
      do {
        n = preadv2(fd, &piece, 1, static_cast<off_t>(at), RWF_NOWAIT);
      } while (n < 0 && errno == EINTR);
      const int failure = n < 0 ? errno : 0;
      if (n >= 0) {
        got = static_cast<size_t>(n);
        read = true;
        // A file found in memory that was not asked for ahead: the misses
        // are few, and so are the files opened ahead of the next one.
        if (at == 0 && !opened_ahead(fd) && window_ > 1) window_ /= 2;
        // Stopped at a page: the rest may still be on its way, or the file
        // ends there.
        if (got > 0 && got < size && (at + got) % page_ == 0)
          got += read_at(fd, static_cast<char*>(buffer) + got, size - got, at + got);
      } else if (failure == EAGAIN) {
        // Misses in a row widen the window up to kReadAhead files.
        window_ = std::min(kReadAhead, std::max<size_t>(2, window_ * 2));
        read_ahead();
      } else if (failure == EOPNOTSUPP || failure == EINVAL || failure == ENOSYS) {
        nowait_ = false;  // not on this system: plain reads from now on
      } else {
        read = true;  // the read failed: nothing
        read_errno_ = failure;
        read_errno_file_ = file;
      }
    }
    if (!read) got = read_at(fd, buffer, size, at);
    set_position(fd, at + got);
    return got;
  }

  std::string read_error(FileRef file) override {
    if (file != read_errno_file_ || read_errno_ == 0) return std::string();
    return strerror(read_errno_);
  }

  bool read_named_stream(DirRef dir, const char* name, const char* stream, char* buffer,
                         size_t capacity, size_t* length) override {
    // ntfs-3g shows a named stream as the "user." extended attribute of its
    // name; there is no call relative to a directory, so its name in /proc.
    // The one call fails at once where the file system keeps none.
    char prefix[40];
    snprintf(prefix, sizeof prefix, "/proc/self/fd/%d/", static_cast<int>(dir));
    attribute_path_.assign(prefix);
    attribute_path_.append(name);
    attribute_name_.assign("user.");
    attribute_name_.append(stream);
    const ssize_t n = lgetxattr(attribute_path_.c_str(), attribute_name_.c_str(), buffer, capacity);
    if (n < 0) return false;
    *length = static_cast<size_t>(n);
    return true;
  }

  void close_file(FileRef file) override {
    if (file == kNoFile) return;
    if (file == read_errno_file_) read_errno_ = 0;
    close(static_cast<int>(file));
  }

  bool file_info(FileRef file, EntryInfo* out) override {
    struct statx stx;
    const int fd = static_cast<int>(file);
    if (statx(fd, "", AT_EMPTY_PATH, kStatxMask, &stx) != 0) return false;
    fill_info(stx, fd, nullptr, out);
    return true;
  }

  bool capture_times(FileRef file, SavedTimes* out) override {
    struct stat st;
    if (fstat(static_cast<int>(file), &st) != 0) return false;
    out->seconds[0] = st.st_atim.tv_sec;
    out->nanoseconds[0] = st.st_atim.tv_nsec;
    out->seconds[1] = st.st_mtim.tv_sec;
    out->nanoseconds[1] = st.st_mtim.tv_nsec;
    out->filetime[0] = 0;
    out->filetime[1] = file_time_from_unix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
    out->filetime[2] = file_time_from_unix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    out->is_regular = S_ISREG(st.st_mode);
    return true;
  }

  bool restore_times(FileRef file, const SavedTimes& times) override {
    struct timespec ts[2];
    ts[0].tv_sec = static_cast<time_t>(times.seconds[0]);
    ts[0].tv_nsec = static_cast<long>(times.nanoseconds[0]);
    ts[1].tv_sec = static_cast<time_t>(times.seconds[1]);
    ts[1].tv_nsec = static_cast<long>(times.nanoseconds[1]);
    return futimens(static_cast<int>(file), ts) == 0;
  }

  int count_streams(DirRef dir, int* failure, int*) override {
    *failure = 0;
    // ntfs-3g shows named streams as "user." extended attributes.
    const int fd = static_cast<int>(dir);
    ssize_t size = flistxattr(fd, nullptr, 0);
    if (size <= 0) return 0;
    names_.resize(static_cast<size_t>(size));
    size = flistxattr(fd, names_.data(), names_.size());
    if (size <= 0) return 0;
    int count = 0;
    for (size_t i = 0; i < static_cast<size_t>(size);) {
      const char* name = names_.data() + i;
      if (strncmp(name, "user.", 5) == 0) ++count;
      i += strnlen(name, static_cast<size_t>(size) - i) + 1;
    }
    return count;
  }

  FileSystemKind volume_kind(const char* path) override { return file_system_kind(path); }

 private:
  std::vector<char> buffer_;
  std::vector<char> names_;
  DosPattern pattern_;
  // Which open directory descriptors have been listed (and so are no
  // longer at their start).
  std::vector<bool> listed_;
  // Where the next read of each open file starts.
  std::vector<uint64_t> positions_;
  bool nowait_ = true;
  const uint64_t page_ = static_cast<uint64_t>(sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096);
  // The files the walk opens next, and those of them opened ahead, in
  // order (ahead_first_ is the first's place in the ring).
  UpcomingFiles* upcoming_ = nullptr;
  DirRef upcoming_dir_ = kNoDir;
  struct Ahead {
    char name[NAME_MAX + 1];
    int fd;
  };
  Ahead ahead_[kReadAhead];
  size_t ahead_first_ = 0, ahead_count_ = 0;

  // How many of the next files a miss has opened ahead.
  size_t window_ = 1;
  // Which open files were opened ahead, by descriptor.
  std::vector<bool> ahead_opened_;

  FileRef start_reading(int fd, bool ahead) {
    set_position(fd, 0);
    if (static_cast<size_t>(fd) >= ahead_opened_.size())
      ahead_opened_.resize(static_cast<size_t>(fd) + 64);
    ahead_opened_[static_cast<size_t>(fd)] = ahead;
    return fd;
  }
  bool opened_ahead(int fd) const {
    return static_cast<size_t>(fd) < ahead_opened_.size() && ahead_opened_[static_cast<size_t>(fd)];
  }
  uint64_t position(int fd) const {
    return static_cast<size_t>(fd) < positions_.size() ? positions_[static_cast<size_t>(fd)] : 0;
  }
  void set_position(int fd, uint64_t at) {
    if (static_cast<size_t>(fd) >= positions_.size()) positions_.resize(static_cast<size_t>(fd) + 64);
    positions_[static_cast<size_t>(fd)] = at;
  }
  // A plain read of `size` bytes at `at`, as far as the file goes; a
  // failure is kept for read_error().
  size_t read_at(int fd, void* buffer, size_t size, uint64_t at) {
    ssize_t n;
    do {
      n = pread(fd, buffer, size, static_cast<off_t>(at));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      read_errno_ = errno;
      read_errno_file_ = static_cast<FileRef>(fd);
      return 0;
    }
    return static_cast<size_t>(n);
  }
  // Opens the walk's next regular files, up to the window, and asks for
  // their data; the access times change only when the walk
  // reads them, in turn.
  void read_ahead() {
    if (upcoming_ == nullptr) return;
    while (ahead_count_ < window_) {
      const char* name = nullptr;
      EntryKind kind = EntryKind::kUnknown;
      if (!upcoming_->upcoming(ahead_count_ + 1, &name, &kind)) return;
      // Only what open_file would open without looking first.
      if (kind != EntryKind::kRegular || strlen(name) > NAME_MAX) return;
      const int fd = retry_openat(static_cast<int>(upcoming_dir_), name, kFileFlags);
      if (fd < 0) return;  // told when the walk opens it
      posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
      Ahead& slot = ahead_[(ahead_first_ + ahead_count_) % kReadAhead];
      strcpy(slot.name, name);
      slot.fd = fd;
      ++ahead_count_;
    }
  }

  // Devices without birth times in statx whose files have no ntfs-3g
  // creation attribute either: not asked again.
  std::vector<uint64_t> no_creation_attribute_;
  std::string attribute_path_;
  std::string attribute_name_;
  // The failure of the last read that failed, and its file.
  int read_errno_ = 0;
  FileRef read_errno_file_ = kNoFile;

  void fill_info(const struct statx& stx, int fd, const char* name, EntryInfo* out) {
    *out = EntryInfo();
    out->kind = kind_from_mode(stx.stx_mode);
    out->size = stx.stx_size;
    out->times.last_access = file_time_from_unix(stx.stx_atime.tv_sec, stx.stx_atime.tv_nsec);
    out->times.last_write = file_time_from_unix(stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec);
    out->times.change = file_time_from_unix(stx.stx_ctime.tv_sec, stx.stx_ctime.tv_nsec);
    if (stx.stx_mask & STATX_BTIME) {
      out->times.creation = file_time_from_unix(stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec);
      return;
    }
    // ntfs-3g gives no birth time through statx, but keeps the creation
    // time in an attribute; a device whose files have none is not asked
    // again.
    const uint64_t device = static_cast<uint64_t>(stx.stx_dev_major) << 32 | stx.stx_dev_minor;
    for (uint64_t d : no_creation_attribute_)
      if (d == device) return;
    bool supported = true;
    out->times.creation = ntfs_3g_creation_time(fd, name, &supported);
    if (!supported && no_creation_attribute_.size() < 64) no_creation_attribute_.push_back(device);
  }

  // The creation time ntfs-3g keeps in an extended attribute (a FILETIME,
  // little-endian), of the entry `name` of the directory `fd` (a link not
  // followed), or of the open file `fd` when `name` is null; 0 when there
  // is none.  `supported` false when the file system has no such attribute.
  FileTime ntfs_3g_creation_time(int fd, const char* name, bool* supported) {
    static const char kAttribute[] = "system.ntfs_crtime";
    unsigned char value[8];
    ssize_t n;
    if (name == nullptr) {
      n = fgetxattr(fd, kAttribute, value, sizeof value);
    } else {
      // There is no call relative to a directory: its name in /proc.
      char prefix[40];
      snprintf(prefix, sizeof prefix, "/proc/self/fd/%d/", fd);
      attribute_path_.assign(prefix);
      attribute_path_.append(name);
      n = lgetxattr(attribute_path_.c_str(), kAttribute, value, sizeof value);
    }
    if (n < 0) {
      *supported = errno != ENOTSUP && errno != ENODATA;
      return 0;
    }
    if (n != sizeof value) return 0;
    FileTime time = 0;
    for (int i = 7; i >= 0; --i) time = time << 8 | value[i];
    return time;
  }

  DirRef fresh(int fd) {
    mark(fd, false);
    return fd;
  }
  void mark(int fd, bool listed) {
    if (static_cast<size_t>(fd) >= listed_.size()) listed_.resize(static_cast<size_t>(fd) + 64);
    listed_[static_cast<size_t>(fd)] = listed;
  }
  bool was_listed(int fd) const {
    return static_cast<size_t>(fd) < listed_.size() && listed_[static_cast<size_t>(fd)];
  }
};

}  // namespace

FileSystem* real_file_system() {
  static PosixFileSystem* const kFileSystem = new PosixFileSystem;
  return kFileSystem;
}
