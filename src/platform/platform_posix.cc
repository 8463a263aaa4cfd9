// The platform layer on Linux and other POSIX systems.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "platform/platform.h"

#include <dirent.h>  // DT_* entry types
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <termios.h>
#include <time.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/dos_pattern.h"
#include "platform/file_time.h"

const char kPathSeparator = '/';
const char kOptionPrefixes[] = "-+";

// ---------------------------------------------------------------------------
// Files

void close_file(FileHandle handle) {
  if (handle != kInvalidHandle) close(static_cast<int>(handle));
}

// Set while a file the run opened itself is written, so that a broken pipe
// there fails the write instead of ending the process (see the termination
// handler below).
namespace {
volatile sig_atomic_t g_writing_own_file = 0;
int g_write_error = 0;  // errno of the last failed write
}  // namespace

bool write_handle(FileHandle handle, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  g_writing_own_file = handle > STDERR_FILENO;
  bool ok = true;
  while (size > 0) {
    ssize_t n = write(static_cast<int>(handle), p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      g_write_error = errno;
      ok = false;
      break;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  g_writing_own_file = 0;
  return ok;
}

std::string last_write_failure() { return strerror(g_write_error ? g_write_error : EIO); }

FileHandle stdout_handle() { return STDOUT_FILENO; }
FileHandle stderr_handle() { return STDERR_FILENO; }

// ---------------------------------------------------------------------------
// Times

bool file_time_to_system_time(FileTime time, SystemTime* out) {
  if (time & UINT64_C(0x8000000000000000)) return false;
  const uint64_t ticks_per_day = 86400ULL * static_cast<uint64_t>(kTicksPerSecond);
  const int64_t days = static_cast<int64_t>(time / ticks_per_day);  // since 1601-01-01
  const uint64_t rest = time % ticks_per_day;
  // Days since 0000-03-01 in the proleptic Gregorian calendar.
  const int64_t z = days + 584694;  // 1601-01-01 is day 584694 from 0000-03-01
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  out->year = static_cast<uint16_t>(year);
  out->month = static_cast<uint16_t>(month);
  out->day = static_cast<uint16_t>(day);
  out->day_of_week = static_cast<uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
  const uint64_t seconds = rest / kTicksPerSecond;
  out->hour = static_cast<uint16_t>(seconds / 3600);
  out->minute = static_cast<uint16_t>(seconds / 60 % 60);
  out->second = static_cast<uint16_t>(seconds % 60);
  out->milliseconds = static_cast<uint16_t>(rest % kTicksPerSecond / 10000);
  return true;
}

// ---------------------------------------------------------------------------
// Paths

bool current_directory(std::string* out) {
  std::string buf(256, '\0');
  for (;;) {
    if (getcwd(&buf[0], buf.size())) {
      buf.resize(strlen(buf.c_str()));
      *out = buf;
      return true;
    }
    if (errno != ERANGE) return false;
    buf.resize(buf.size() * 2);
  }
}

bool full_path(const char* path, std::string* out) {
  std::string joined;
  if (path[0] == '/') {
    joined = path;
  } else {
    if (!current_directory(&joined)) return false;
    if (joined.empty() || joined.back() != '/') joined += '/';
    joined += path;
  }
  // Fold "." and ".." and repeated separators, keeping a trailing separator.
  std::string result = "/";
  size_t i = 0;
  const size_t n = joined.size();
  while (i < n) {
    while (i < n && joined[i] == '/') ++i;
    size_t start = i;
    while (i < n && joined[i] != '/') ++i;
    std::string_view part(joined.data() + start, i - start);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (result.size() > 1) {
        result.pop_back();  // the separator after the last component
        result.resize(result.rfind('/') + 1);
      }
      continue;
    }
    result.append(part);
    result += '/';
  }
  const bool trailing = joined.back() == '/';
  if (result.size() > 1 && !trailing) result.pop_back();
  *out = result;
  return true;
}

bool is_existing_directory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool same_path_name(const char* a, const char* b) { return strcmp(a, b) == 0; }

bool expand_drive_name(const char*, std::string*) { return false; }

const bool kUpperCaseFirstLetter = false;
const bool kDriveLetters = false;

// ---------------------------------------------------------------------------
// Console

FileHandle open_console_device() {
  int fd = open("/dev/tty", O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  return fd < 0 ? kInvalidHandle : fd;
}

int64_t coarse_milliseconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool is_terminal(FileHandle handle, int* columns) {
  const int fd = static_cast<int>(handle);
  if (!isatty(fd)) return false;
  struct winsize size;
  *columns = ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
  return true;
}

namespace {

struct termios g_saved_termios;
volatile sig_atomic_t g_termios_changed = 0;
bool g_key_watch = false;
int64_t g_next_key_check_ms = 0;

// Whether this process may change the mode of the terminal on standard
// input: it is in the terminal's foreground process group, or the terminal
// is not its controlling terminal (then no job control applies).  A
// background job that changed the mode would be stopped by SIGTTOU.
// Async-signal-safe.
bool terminal_is_ours() {
  const pid_t group = tcgetpgrp(STDIN_FILENO);
  return group < 0 || group == getpgrp();
}

}  // namespace

void console_begin_key_watch() {
  g_key_watch = false;
  if (!isatty(STDIN_FILENO) || !terminal_is_ours()) return;
  struct termios t;
  if (tcgetattr(STDIN_FILENO, &t) != 0) return;
  g_saved_termios = t;
  t.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &t) != 0) return;
  g_termios_changed = 1;
  g_key_watch = true;
  g_next_key_check_ms = 0;
}

void console_end_key_watch() {
  g_key_watch = false;
  console_restore_async_safe();
}

void console_restore_async_safe() {
  if (g_termios_changed) {
    // A job sent to the background meanwhile leaves the terminal to the
    // shell, which has set its own mode.
    if (terminal_is_ours()) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
    g_termios_changed = 0;
  }
}

int console_poll_key() {
  if (!g_key_watch) return -1;
  const int64_t now = coarse_milliseconds();
  if (now < g_next_key_check_ms) return -1;
  g_next_key_check_ms = now + 20;
  struct pollfd p = {STDIN_FILENO, POLLIN, 0};
  if (poll(&p, 1, 0) != 1 || !(p.revents & POLLIN)) return -1;
  if (!terminal_is_ours()) return -1;  // reading would stop a background job
  unsigned char c;
  if (read(STDIN_FILENO, &c, 1) != 1) return -1;
  return c;
}

// ---------------------------------------------------------------------------
// Process

void install_interrupt_handler(void (*handler)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
}

void take_no_signals_on_this_thread() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

void exit_process_now(int code) { _exit(code); }

void close_handle_async_safe(FileHandle handle) {
  if (handle != kInvalidHandle) close(static_cast<int>(handle));
}

// ---------------------------------------------------------------------------
// Volumes

namespace {

constexpr unsigned long kNtfsMagic = 0x5346544eUL;   // ntfs, ntfs3
constexpr unsigned long kMsdosMagic = 0x4d44UL;      // vfat, msdos
constexpr unsigned long kFuseMagic = 0x65735546UL;

// The type a FUSE mount of `path` names in the mount table ("fuseblk" for
// ntfs-3g, with "ntfs" in its source), or an empty text.
std::string fuse_mount_type(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return std::string();
  FILE* f = fopen("/proc/self/mountinfo", "re");
  if (!f) return std::string();
  char line[4096];
  char want[32];
  snprintf(want, sizeof want, " %u:%u ", major(st.st_dev), minor(st.st_dev));
  std::string type;
  while (fgets(line, sizeof line, f)) {
    if (!strstr(line, want)) continue;
    const char* sep = strstr(line, " - ");
    if (sep) type = sep + 3;
  }
  fclose(f);
  return type;
}

}  // namespace

FileSystemKind classify_file_system(unsigned long magic, const char* fuse_type) {
  if (magic == kNtfsMagic) return FileSystemKind::kNtfs;
  if (magic == kMsdosMagic) return FileSystemKind::kFat32;
  if (magic == kFuseMagic && fuse_type && strstr(fuse_type, "ntfs")) return FileSystemKind::kNtfs;
  return FileSystemKind::kOther;
}

FileSystemKind file_system_kind(const char* path) {
  struct statfs sf;
  if (statfs(path, &sf) != 0) return FileSystemKind::kOther;
  const unsigned long magic = static_cast<unsigned long>(sf.f_type);
  if (magic != kFuseMagic) return classify_file_system(magic, nullptr);
  return classify_file_system(magic, fuse_mount_type(path).c_str());
}

// ---------------------------------------------------------------------------
// Time zone

void read_time_zone(ZoneInfo* out) {
  tzset();
  out->standard_name = tzname[0] ? tzname[0] : "";
  out->daylight_name = tzname[1] ? tzname[1] : "";
  out->seconds_west = timezone;
  out->has_daylight = daylight != 0;
}

FileHandle open_output_device(const char* path, bool append) {
  const int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | (append ? O_APPEND : O_TRUNC);
  int fd = open(path, flags, 0666);
  return fd < 0 ? kInvalidHandle : fd;
}

// ---------------------------------------------------------------------------
// Streams

int enable_backup_restore_privileges(int*) { return 0; }

const char kPlatformSource[] = __FILE__;

void discard_pending_input() {
  // Only an interactive console has typed-ahead keys to throw away; piped
  // input is data and is left alone.
  if (isatty(STDIN_FILENO)) tcflush(STDIN_FILENO, TCIFLUSH);
}

bool console_uses_utf8() {
  static int cached = -1;
  if (cached < 0) {
    const char* names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
    const char* value = nullptr;
    for (const char* n : names) {
      const char* v = getenv(n);
      if (v && *v) {
        value = v;
        break;
      }
    }
    cached = 0;
    if (value) {
      std::string lower(value);
      for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      cached = (lower.find("utf-8") != std::string::npos || lower.find("utf8") != std::string::npos) ? 1 : 0;
    }
  }
  return cached == 1;
}

// ---------------------------------------------------------------------------
// Run log

FileHandle open_locked_log(const char* path) {
  int fd = open(path, O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return kInvalidHandle;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return kInvalidHandle;
  }
  return fd;
}

int64_t handle_file_size(FileHandle handle) {
  struct stat st;
  if (fstat(static_cast<int>(handle), &st) != 0) return -1;
  return st.st_size;
}

size_t read_at(FileHandle handle, void* buffer, size_t size, int64_t offset) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = pread(static_cast<int>(handle), static_cast<char*>(buffer) + done, size - done,
                      static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

bool truncate_handle(FileHandle handle, int64_t size) {
  return ftruncate(static_cast<int>(handle), static_cast<off_t>(size)) == 0;
}

FILE* stream_from_handle(FileHandle handle) { return fdopen(static_cast<int>(handle), "a+"); }

PathKind path_kind(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return PathKind::kMissing;
  return S_ISDIR(st.st_mode) ? PathKind::kDirectory : PathKind::kOther;
}

bool file_identity(const char* path, FileIdentity* out) {
  struct stat st;
  if (stat(path, &st) != 0) return false;
  out->device = static_cast<uint64_t>(st.st_dev);
  out->file = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool create_directory(const char* path) { return mkdir(path, 0777) == 0; }

// ---------------------------------------------------------------------------
// Program

bool program_file_path(std::string* out) {
  std::string buf(256, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", &buf[0], buf.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      *out = buf;
      return true;
    }
    buf.resize(buf.size() * 2);
  }
}

int read_input_byte() {
  unsigned char c;
  ssize_t n;
  do {
    n = read(STDIN_FILENO, &c, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1 ? c : -1;
}

int read_key_no_echo() {
  if (!isatty(STDIN_FILENO) || !terminal_is_ours()) return read_input_byte();
  struct termios saved, raw;
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return read_input_byte();
  raw = saved;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  // The mode to go back to is recorded before the change, where the signal
  // handlers find it, so that a signal during the read restores it.
  const bool watching = g_termios_changed != 0;
  if (!watching) {
    g_saved_termios = saved;
    g_termios_changed = 1;
  }
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  const int c = read_input_byte();
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  if (!watching) g_termios_changed = 0;
  return c;
}

namespace {

bool is_null_device(const struct stat& st) {
  struct stat null_device;
  return S_ISCHR(st.st_mode) && stat("/dev/null", &null_device) == 0 &&
         S_ISCHR(null_device.st_mode) && st.st_rdev == null_device.st_rdev;
}

// What may receive the report: a regular file, a FIFO that has a reader, or
// the null device.
bool takes_the_report(const struct stat& st) {
  return S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode) || is_null_device(st);
}

// Opens the report's file for writing only.  It is looked at before the
// open (a device or directory is never opened) and again on the descriptor;
// the open does not wait for a FIFO's reader (without one it fails).  The
// lock is taken before the file is emptied, so a file held elsewhere keeps
// its content.
FileHandle open_report_file(const char* path, int flags, bool empty_it) {
  struct stat st;
  if (stat(path, &st) == 0 && !takes_the_report(st)) return kInvalidHandle;
  int fd;
  do {
    fd = open(path, flags | O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return kInvalidHandle;
  if (fstat(fd, &st) != 0 || !takes_the_report(st) ||
      (!is_null_device(st) && flock(fd, LOCK_EX | LOCK_NB) != 0)) {
    close(fd);
    return kInvalidHandle;
  }
  const int status = fcntl(fd, F_GETFL);
  if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0 ||
      (empty_it && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0)) {
    close(fd);
    return kInvalidHandle;
  }
  return fd;
}

}  // namespace

FileHandle create_output_file(const char* path, bool exclusive) {
  return open_report_file(path, O_CREAT | (exclusive ? O_EXCL | O_APPEND : 0), !exclusive);
}

FileHandle open_existing_output_file(const char* path) {
  return open_report_file(path, O_APPEND, false);
}

bool find_help_file(const std::string& file_name, const std::string& program_dir,
                    std::string* found) {
  // Where the program lives, where it was started from, the current
  // directory, then the PATH.
  std::vector<std::string> places;
  std::string self;
  if (program_file_path(&self)) places.push_back(self.substr(0, self.rfind('/') + 1));
  if (!program_dir.empty()) places.push_back(program_dir);
  places.push_back("");
  if (const char* path = getenv("PATH")) {
    const std::string list = path;
    size_t from = 0;
    for (;;) {
      const size_t to = list.find(':', from);
      std::string dir = list.substr(from, to == std::string::npos ? std::string::npos : to - from);
      if (!dir.empty()) places.push_back(dir + "/");
      if (to == std::string::npos) break;
      from = to + 1;
    }
  }
  for (const std::string& place : places) {
    struct stat st;
    const std::string candidate = place + file_name;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      *found = candidate;
      return true;
    }
  }
  return false;
}

bool show_help_file(const std::string& path) {
  // There is no help viewer here: the file's text goes to the error stream.
  return copy_file_to_stderr(path);
}

bool choose_file(const char* title, std::string* last_choice, std::string* out, bool* at_end) {
  // A console prompt stands in for the file dialog.
  fprintf(stderr, "\n%s\n", title);
  fputs("  All Files (*.*)       *.*\n", stderr);
  fputs("  Data Files (*.OUT)    *.OUT\n", stderr);
  // The last choice is the default: an empty line takes it.
  if (last_choice->empty()) {
    fputs("File name (empty to cancel): ", stderr);
  } else {
    fprintf(stderr, "Last choice: %s\n", last_choice->c_str());
    fputs("File name (empty for the last choice): ", stderr);
  }
  std::string line;
  if (!read_input_line(&line)) {
    *at_end = true;
    return false;
  }
  *at_end = false;
  if (line.empty()) line = *last_choice;
  if (line.empty()) return false;
  *last_choice = line;
  *out = line;
  return true;
}

void sleep_milliseconds(int64_t milliseconds) {
  struct timespec ts = {static_cast<time_t>(milliseconds / 1000),
                        static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// ---------------------------------------------------------------------------
// Standard streams, signals, and files that must never block the run

const bool kPathNamesIgnoreCase = false;

int ensure_standard_streams() {
  int closed = 0;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    closed |= 1 << fd;
    // The lowest free number is this one.
    const int null_fd = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
  return closed;
}

namespace {

void on_termination(int signal_number) {
  // The write that met the broken pipe returns EPIPE and the run ends as
  // for any failed write.
  if (signal_number == SIGPIPE && g_writing_own_file) return;
  const int saved_errno = errno;
  console_restore_async_safe();
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  sigaction(signal_number, &sa, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal_number);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal_number);
  errno = saved_errno;
  _exit(128 + signal_number);
}

}  // namespace

void install_termination_handlers() {
  for (const int signal_number : {SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    struct sigaction old;
    if (sigaction(signal_number, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_termination;
    sigemptyset(&sa.sa_mask);
    sigaction(signal_number, &sa, nullptr);
  }
}

FILE* open_regular_file(const char* path, bool binary) {
  (void)binary;  // no text mode here
  int fd;
  do {
    fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  struct stat st;
  const int status = fcntl(fd, F_GETFL);
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || status < 0 ||
      fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  FILE* f = fdopen(fd, "r");
  if (!f) close(fd);
  return f;
}

FILE* open_memo_file(const char* path) {
  // A shared lock: memo files may be shared, but an output file (which is
  // locked exclusively) cannot be the same file.
  const int fd = open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return nullptr;
  if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
    close(fd);
    return nullptr;
  }
  FILE* f = fdopen(fd, "a+");
  if (!f) close(fd);
  return f;
}
