// The platform layer on Windows: the Win32 and C runtime calls themselves.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <commdlg.h>
#include <shellapi.h>
#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <signal.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/windows_error.h"

static_assert(sizeof(time_t) == 8, "64-bit time everywhere");

const char kPathSeparator = '\\';
const char kOptionPrefixes[] = "-+/";
const bool kUpperCaseFirstLetter = true;
const bool kDriveLetters = true;

namespace {

HANDLE as_handle(FileHandle h) { return reinterpret_cast<HANDLE>(h); }
FileHandle as_file(HANDLE h) {
  return h == INVALID_HANDLE_VALUE || h == nullptr ? kInvalidHandle : reinterpret_cast<FileHandle>(h);
}

FILETIME to_filetime(uint64_t t) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(t & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
  return ft;
}

}  // namespace

// ---------------------------------------------------------------------------
// Files

void close_file(FileHandle handle) {
  if (handle != kInvalidHandle) CloseHandle(as_handle(handle));
}

namespace {
DWORD g_write_error = 0;  // the system's code for the last failed write
}  // namespace

bool write_handle(FileHandle handle, const void* data, size_t size) {
  // Report text is written in text mode: each line feed as CR LF.
  static std::string text;
  text.clear();
  const char* p = static_cast<const char*>(data);
  for (size_t i = 0; i < size; ++i) {
    if (p[i] == '\n') text.push_back('\r');
    text.push_back(p[i]);
  }
  size_t done = 0;
  while (done < text.size()) {
    DWORD wrote = 0;
    if (!WriteFile(as_handle(handle), text.data() + done, static_cast<DWORD>(text.size() - done),
                   &wrote, nullptr) || wrote == 0) {
      g_write_error = wrote == 0 && GetLastError() == ERROR_SUCCESS ? ERROR_WRITE_FAULT : GetLastError();
      return false;
    }
    done += wrote;
  }
  return true;
}

std::string windows_error_text(unsigned long error) {
  char text[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) --n;
  if (n == 0) return "error " + std::to_string(error);
  return std::string(text, n);
}

std::string last_write_failure() {
  return windows_error_text(g_write_error ? g_write_error : ERROR_WRITE_FAULT);
}

FileHandle stdout_handle() { return as_file(GetStdHandle(STD_OUTPUT_HANDLE)); }
FileHandle stderr_handle() { return as_file(GetStdHandle(STD_ERROR_HANDLE)); }

FileHandle open_output_device(const char* path, bool append) {
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE && append) SetFilePointer(h, 0, nullptr, FILE_END);
  return as_file(h);
}

namespace {

// Whether a name's last component is the null device ("NUL", "nul.txt").
bool names_null_device(const char* path) {
  const char* name = path;
  for (const char* p = path; *p; ++p)
    if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
  return _strnicmp(name, "NUL", 3) == 0 && (name[3] == '\0' || name[3] == '.');
}

// A character device other than the null device (a console, a serial
// port) never receives the report.
FileHandle checked_report_handle(HANDLE h, const char* path) {
  if (h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_CHAR && !names_null_device(path)) {
    CloseHandle(h);
    return kInvalidHandle;
  }
  return as_file(h);
}

}  // namespace

FileHandle create_output_file(const char* path, bool exclusive) {
  SetFileApisToANSI();
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         exclusive ? CREATE_NEW : CREATE_ALWAYS,
                         exclusive ? FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL
                                   : FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h != INVALID_HANDLE_VALUE && exclusive) SetFilePointer(h, 0, nullptr, FILE_END);
  return checked_report_handle(h, path);
}

FileHandle open_existing_output_file(const char* path) {
  SetFileApisToANSI();
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) SetFilePointer(h, 0, nullptr, FILE_END);
  return checked_report_handle(h, path);
}

// ---------------------------------------------------------------------------
// Times

bool file_time_to_system_time(FileTime time, SystemTime* out) {
  const FILETIME ft = to_filetime(time);
  SYSTEMTIME st;
  if (!FileTimeToSystemTime(&ft, &st)) return false;
  out->year = st.wYear;
  out->month = st.wMonth;
  out->day_of_week = st.wDayOfWeek;
  out->day = st.wDay;
  out->hour = st.wHour;
  out->minute = st.wMinute;
  out->second = st.wSecond;
  out->milliseconds = st.wMilliseconds;
  return true;
}

// ---------------------------------------------------------------------------
// Paths

bool full_path(const char* path, std::string* out) {
  char buf[MAX_PATH * 4];
  const DWORD n = GetFullPathNameA(path, sizeof buf, buf, nullptr);
  if (n == 0 || n >= sizeof buf) return false;
  out->assign(buf, n);
  return true;
}

bool current_directory(std::string* out) {
  char buf[MAX_PATH * 4];
  const DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
  if (n == 0 || n >= sizeof buf) return false;
  out->assign(buf, n);
  return true;
}

bool is_existing_directory(const char* path) {
  const DWORD a = GetFileAttributesA(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool same_path_name(const char* a, const char* b) { return _stricmp(a, b) == 0; }

bool expand_drive_name(const char* name, std::string* out) {
  if (strlen(name) != 2 || name[1] != ':') return false;
  return full_path(name, out);
}

// ---------------------------------------------------------------------------
// Console

FileHandle open_console_device() {
  HANDLE h = CreateFileA("CON", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    h = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return as_file(h);
}

bool is_terminal(FileHandle handle, int* columns) {
  DWORD mode;
  const HANDLE h = as_handle(handle);
  if (!GetConsoleMode(h, &mode)) return false;
  CONSOLE_SCREEN_BUFFER_INFO info;
  *columns = GetConsoleScreenBufferInfo(h, &info) && info.dwSize.X > 0 ? info.dwSize.X : 80;
  return true;
}

int64_t coarse_milliseconds() { return static_cast<int64_t>(GetTickCount64()); }

namespace {

bool g_key_watch = false;
ULONGLONG g_next_key_check = 0;

bool stdin_is_console() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

}  // namespace

void console_begin_key_watch() {
  g_key_watch = stdin_is_console();
  g_next_key_check = 0;
}

void console_end_key_watch() { g_key_watch = false; }

void console_restore_async_safe() {}

int console_poll_key() {
  if (!g_key_watch) return -1;
  const ULONGLONG now = GetTickCount64();
  if (now < g_next_key_check) return -1;
  g_next_key_check = now + 20;
  if (!_kbhit()) return -1;
  return _getch();
}

void discard_pending_input() {
  if (stdin_is_console()) FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
}

bool console_uses_utf8() { return false; }

int read_input_byte() {
  unsigned char c;
  DWORD got = 0;
  if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) || got != 1) return -1;
  return c;
}

int read_key_no_echo() {
  if (stdin_is_console()) return _getch();
  return read_input_byte();
}

bool choose_file(const char* title, std::string* last_choice, std::string* out, bool* at_end) {
  static char file_name[MAX_PATH];
  static char file_title[MAX_PATH];
  OPENFILENAMEA ofn;
  memset(&ofn, 0, sizeof ofn);
  ofn.lStructSize = sizeof ofn;
  ofn.lpstrFilter = "All Files (*.*)\0*.*\0Data Files (*.OUT)\0*.OUT\0";
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file_name;
  ofn.nMaxFile = sizeof file_name;
  ofn.lpstrFileTitle = file_title;
  ofn.nMaxFileTitle = sizeof file_title;
  ofn.lpstrTitle = title;
  *at_end = false;
  if (!GetOpenFileNameA(&ofn)) return false;
  *last_choice = file_name;
  *out = file_name;
  return true;
}

bool find_help_file(const std::string& file_name, const std::string& program_dir,
                    std::string* found) {
  char buf[MAX_PATH];
  const std::string name = program_dir + file_name;
  const DWORD n = SearchPathA(nullptr, name.c_str(), nullptr, MAX_PATH, buf, nullptr);
  if (n == 0 || n >= MAX_PATH) return false;
  found->assign(buf, n);
  return true;
}

bool show_help_file(const std::string& path) {
  if (WinHelpA(nullptr, path.c_str(), HELP_CONTENTS, 0)) return true;
  // Where no help viewer is installed, the shell may still open it; failing
  // that, its text goes to the error stream.
  if (reinterpret_cast<INT_PTR>(ShellExecuteA(nullptr, "open", path.c_str(), nullptr, nullptr,
                                              SW_SHOWNORMAL)) > 32)
    return true;
  return copy_file_to_stderr(path);
}

void sleep_milliseconds(int64_t milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

// ---------------------------------------------------------------------------
// Process

void install_interrupt_handler(void (*handler)(int)) { signal(SIGINT, handler); }

// The console's Ctrl+C comes on a thread of its own, never on a helper.
void take_no_signals_on_this_thread() {}

void exit_process_now(int code) { _exit(code); }

void close_handle_async_safe(FileHandle handle) {
  if (handle != kInvalidHandle) CloseHandle(as_handle(handle));
}

bool program_file_path(std::string* out) {
  char buf[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  if (n == 0 || n >= sizeof buf) return false;
  out->assign(buf, n);
  return true;
}

// ---------------------------------------------------------------------------
// Volumes

FileSystemKind classify_file_system(unsigned long, const char* name) {
  if (name && strcmp(name, "NTFS") == 0) return FileSystemKind::kNtfs;
  if (name && strcmp(name, "FAT32") == 0) return FileSystemKind::kFat32;
  return FileSystemKind::kOther;
}

FileSystemKind file_system_kind(const char* path) {
  char root[4] = {path[0], ':', '\\', '\0'};
  char volume_name[62], fs_name[62];
  memset(volume_name, ' ', sizeof volume_name);
  memset(fs_name, ' ', sizeof fs_name);
  fs_name[sizeof fs_name - 1] = '\0';
  DWORD serial = 0, component = 256, flags = 0;
  if (!GetVolumeInformationA(root, volume_name, sizeof volume_name, &serial, &component, &flags,
                             fs_name, sizeof fs_name))
    return FileSystemKind::kOther;
  return classify_file_system(0, fs_name);
}

// ---------------------------------------------------------------------------
// Streams and privileges

int enable_backup_restore_privileges(int* line) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    *line = __LINE__;
    return 1;
  }
  struct {
    DWORD count;
    LUID_AND_ATTRIBUTES privileges[2];
  } set;
  set.count = 2;
  if (!LookupPrivilegeValueA(nullptr, "SeBackupPrivilege", &set.privileges[0].Luid)) {
    *line = __LINE__;
    CloseHandle(token);
    return 2;
  }
  if (!LookupPrivilegeValueA(nullptr, "SeRestorePrivilege", &set.privileges[1].Luid)) {
    *line = __LINE__;
    CloseHandle(token);
    return 3;
  }
  set.privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  set.privileges[1].Attributes = SE_PRIVILEGE_ENABLED;
  AdjustTokenPrivileges(token, FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&set), 0, nullptr,
                        nullptr);
  CloseHandle(token);
  return 0;
}

// ---------------------------------------------------------------------------
// Run log

FileHandle open_locked_log(const char* path) {
  // Read sharing only: while a run holds the file, no other can write to it.
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
  return as_file(h);
}

int64_t handle_file_size(FileHandle handle) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(as_handle(handle), &size)) return -1;
  return size.QuadPart;
}

size_t read_at(FileHandle handle, void* buffer, size_t size, int64_t offset) {
  LARGE_INTEGER at;
  at.QuadPart = offset;
  if (!SetFilePointerEx(as_handle(handle), at, nullptr, FILE_BEGIN)) return 0;
  size_t done = 0;
  while (done < size) {
    DWORD got = 0;
    if (!ReadFile(as_handle(handle), static_cast<char*>(buffer) + done,
                  static_cast<DWORD>(size - done), &got, nullptr) || got == 0)
      break;
    done += got;
  }
  return done;
}

bool truncate_handle(FileHandle handle, int64_t size) {
  LARGE_INTEGER at;
  at.QuadPart = size;
  return SetFilePointerEx(as_handle(handle), at, nullptr, FILE_BEGIN) &&
         SetEndOfFile(as_handle(handle));
}

FILE* stream_from_handle(FileHandle handle) {
  const int fd = _open_osfhandle(static_cast<intptr_t>(handle), _O_APPEND | _O_TEXT);
  if (fd < 0) return nullptr;
  return _fdopen(fd, "a+");
}

PathKind path_kind(const char* path) {
  const DWORD a = GetFileAttributesA(path);
  if (a == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
  return (a & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::kDirectory : PathKind::kOther;
}

bool file_identity(const char* path, FileIdentity* out) {
  // No access asked: only the file's volume and index are read.
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!ok) return false;
  out->device = info.dwVolumeSerialNumber;
  out->file = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool create_directory(const char* path) { return CreateDirectoryA(path, nullptr) != 0; }

// ---------------------------------------------------------------------------
// Time zone

void read_time_zone(ZoneInfo* out) {
  _tzset();
  out->standard_name = _tzname[0] ? _tzname[0] : "";
  out->daylight_name = _tzname[1] ? _tzname[1] : "";
  out->seconds_west = _timezone;
  out->has_daylight = _daylight != 0;
}

// ---------------------------------------------------------------------------
// Standard streams, signals, and files that must never block the run

const bool kPathNamesIgnoreCase = true;

int ensure_standard_streams() {
  int closed = 0;
  FILE* const streams[] = {stdin, stdout, stderr};
  const DWORD std_ids[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (int fd = 0; fd <= 2; ++fd) {
    const HANDLE h = GetStdHandle(std_ids[fd]);
    if (_get_osfhandle(fd) >= 0 && h != nullptr && h != INVALID_HANDLE_VALUE) continue;
    closed |= 1 << fd;
    if (freopen("NUL", fd == 0 ? "r" : "w", streams[fd]))
      SetStdHandle(std_ids[fd], reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(streams[fd]))));
  }
  return closed;
}

// The console's mode is never changed for longer than one _getch, so there
// is nothing to put back when the process is ended.
void install_termination_handlers() {}

FILE* open_regular_file(const char* path, bool binary) {
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | (binary ? _O_BINARY : _O_TEXT));
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  FILE* f = _fdopen(fd, binary ? "rb" : "r");
  if (!f) _close(fd);
  return f;
}

// The output file's share mode already refuses a file held open for
// writing, so the memo file needs nothing more.
FILE* open_memo_file(const char* path) { return fopen(path, "a+"); }
