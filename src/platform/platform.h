// What binsift needs from the operating system, in the terms the rest of
// the program uses.  One implementation file per platform; nothing outside
// this folder includes a system header of one platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// ---------------------------------------------------------------------------
// Files and handles

using FileHandle = intptr_t;
constexpr FileHandle kInvalidHandle = -1;

// What a directory entry is, as far as the directory search tells without
// following links.  kUnknown means the caller must not rely on the kind.
enum class EntryKind : uint8_t { kUnknown, kRegular, kDirectory, kLink, kOther };

void close_file(FileHandle handle);

// Writes all of `data` to a handle; false when the write failed.
bool write_handle(FileHandle handle, const void* data, size_t size);
// The system's reason for the last write_handle() that failed.
std::string last_write_failure();
// The process's standard output and error handles.
FileHandle stdout_handle();
FileHandle stderr_handle();

// ---------------------------------------------------------------------------
// Times

// 100-nanosecond intervals since 1601-01-01 00:00:00 UTC.
using FileTime = uint64_t;

// The calendar breakdown of a FileTime (UTC, no time zone).
struct SystemTime {
  uint16_t year = 0, month = 0, day_of_week = 0, day = 0;
  uint16_t hour = 0, minute = 0, second = 0, milliseconds = 0;
};

// Breaks a FileTime down into UTC calendar fields.  Fails (and leaves `out`
// unchanged) for a time with its top bit set.
bool file_time_to_system_time(FileTime time, SystemTime* out);

// The times of a directory entry: creation, last access and last write, and
// the change of its metadata (NTFS's "MFT modified", a Linux ctime).  A
// time the file system does not keep is 0.
struct EntryTimes {
  FileTime creation = 0, last_access = 0, last_write = 0;
  FileTime change = 0;
};

// An index file's own times, captured at the platform's full precision so
// that they can be set back exactly.
struct SavedTimes {
  FileTime filetime[3] = {0, 0, 0};  // creation, last access, last write
  int64_t seconds[2] = {0, 0};       // last access, last write
  int64_t nanoseconds[2] = {0, 0};
  bool is_regular = false;           // what the capture saw
};

// ---------------------------------------------------------------------------
// Paths

// The directory separator of this platform.
extern const char kPathSeparator;
// The characters that start a command-line option.
extern const char kOptionPrefixes[];

// Makes `path` absolute from the current directory, folding "." and ".."
// lexically.  False when the current directory cannot be read.
bool full_path(const char* path, std::string* out);
bool current_directory(std::string* out);
// True when `path` names an existing directory (links followed).
bool is_existing_directory(const char* path);
// Whether two listed directory names are the same directory name (ASCII case
// ignored where the file system ignores it).
bool same_path_name(const char* a, const char* b);
// A bare drive name ("D:") replaced by that drive's current directory; false
// where there are no drive letters or `name` is not one.
bool expand_drive_name(const char* name, std::string* out);
// Whether a listed directory's first letter is upper-cased before the walk.
extern const bool kUpperCaseFirstLetter;
// Whether paths begin with a drive ("C:"), which directory creation skips.
extern const bool kDriveLetters;

// ---------------------------------------------------------------------------
// Console

// Opens the console device for writing; when the process has no console,
// the null device.  kInvalidHandle only when neither can be opened.
FileHandle open_console_device();

// Whether `handle` is a terminal that shows what is written to it, and how
// many columns wide it is (80 when it cannot be told).
bool is_terminal(FileHandle handle, int* columns);
// Milliseconds from a fixed point, at a few milliseconds' precision;
// cheap enough to ask for every file (no system call on Linux).
int64_t coarse_milliseconds();

// Key watching during the walk.  begin puts an interactive standard input
// into a mode where single keys are seen at once; end (and the async-safe
// restore, for signal handlers) puts it back.  Neither discards typed input.
void console_begin_key_watch();
void console_end_key_watch();
void console_restore_async_safe();
// A waiting keystroke, read and returned; -1 when none is waiting or
// standard input is not interactive.  Cheap enough to call for every file:
// it looks at the console only every few milliseconds.
int console_poll_key();

// ---------------------------------------------------------------------------
// Process

// Routes the interrupt signal (Ctrl+C) to `handler`, which receives the
// signal number.
void install_interrupt_handler(void (*handler)(int));
// Leaves the interrupt (and every other signal) to the other threads: for
// a helper thread, first thing, so that the handler runs on the main one.
void take_no_signals_on_this_thread();
// Ends the process at once, without flushing anything.  Async-signal-safe.
[[noreturn]] void exit_process_now(int code);
// Closes a handle from a signal handler.
void close_handle_async_safe(FileHandle handle);

// ---------------------------------------------------------------------------
// Volumes

enum class FileSystemKind { kOther, kNtfs, kFat32 };
FileSystemKind file_system_kind(const char* path);
// The kind for a file-system type as statfs reports it; `fuse_type` is the
// type a FUSE mount gives itself in the mount table (or null).
FileSystemKind classify_file_system(unsigned long magic, const char* fuse_type);

// ---------------------------------------------------------------------------
// Time zone

// The C library's time-zone state after tzset: zone names, the standard
// offset in seconds west of GMT, and whether the zone has daylight saving.
struct ZoneInfo {
  std::string standard_name;
  std::string daylight_name;
  long seconds_west = 0;
  bool has_daylight = false;
};
void read_time_zone(ZoneInfo* out);

// Opens (creating it when missing) a file for writing into: emptied, or
// positioned at its end when `append`.  kInvalidHandle on failure.
FileHandle open_output_device(const char* path, bool append);

// ---------------------------------------------------------------------------
// Streams

// How a count of a directory's named streams can fail: the stream header,
// or a stream's name, could not be read.
constexpr int kStreamHeaderReadFailed = 1;
constexpr int kStreamNameReadFailed = 2;
// Enables the backup and restore privileges.  0, or the step that failed:
// 1 the process token, 2 the backup privilege, 3 the restore privilege
// (with `line`, the source line of the failing call).
int enable_backup_restore_privileges(int* line);
// The source file of the platform layer, for messages that name it.
extern const char kPlatformSource[];

// Throws away console input typed but not yet read.
void discard_pending_input();
// Whether the console shows UTF-8 (else code page 437 bytes are written).
bool console_uses_utf8();

// ---------------------------------------------------------------------------
// Run log

// Opens an existing file for reading and writing, or creates it when it is
// missing, and takes an exclusive lock on it that lasts until the handle (or
// the stream made from it) is closed.  kInvalidHandle when the file can be
// neither opened nor created, or another process holds the lock.
FileHandle open_locked_log(const char* path);
// The file's size in bytes, or -1.
int64_t handle_file_size(FileHandle handle);
// Reads `size` bytes at `offset`; the number read.
size_t read_at(FileHandle handle, void* buffer, size_t size, int64_t offset);
// Cuts the file at `size` bytes.
bool truncate_handle(FileHandle handle, int64_t size);
// A buffered stream over the handle, opened for appending with reading.
FILE* stream_from_handle(FileHandle handle);
// What a name is in the file system: nothing, a directory, or another kind.
enum class PathKind { kMissing, kDirectory, kOther };
PathKind path_kind(const char* path);
// The file a name leads to (links followed), as the system tells files
// apart: two names of one file have the same identity.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t file = 0;
  bool operator==(const FileIdentity& other) const {
    return device == other.device && file == other.file;
  }
};
// False when `path` names nothing that can be looked at.
bool file_identity(const char* path, FileIdentity* out);
bool create_directory(const char* path);

// ---------------------------------------------------------------------------
// Program

// The full path of the running program's own file.
bool program_file_path(std::string* out);
// Reads one byte from standard input; -1 at its end.
int read_input_byte();
// Looks for a help file of this name where the system searches for it;
// fills `found` with its path.
bool find_help_file(const std::string& file_name, const std::string& program_dir,
                    std::string* found);
// Opens a help file for the user to read.
bool show_help_file(const std::string& path);
// Writes a file's text to the error stream; false when it cannot be read.
bool copy_file_to_stderr(const std::string& path);
// Shows the file selection for an output file (title and filters as given)
// and reads the choice; false when the user cancels, with `at_end` set when
// nothing more can be chosen.
bool choose_file(const char* title, std::string* last_choice, std::string* out, bool* at_end);
// Waits `milliseconds` without using the processor.
void sleep_milliseconds(int64_t milliseconds);
// Reads one key without echo: from the terminal in raw mode when standard
// input is one, otherwise one byte of standard input.  -1 at its end.
int read_key_no_echo();
// Reads one line of standard input without its line end; false at the end
// of input with nothing read.
bool read_input_line(std::string* out);
// Creates a file for the report: `exclusive` fails when it exists,
// otherwise an existing file is emptied.  The file is opened for writing
// only and held exclusively until it is closed: a file that another run, or
// this run's accounting or memo file, holds cannot be opened (and is not
// emptied).  A FIFO without a reader, a directory or a device other than
// the null device is a failed open; nothing here can block.
FileHandle create_output_file(const char* path, bool exclusive);
// Opens an existing file for the report, positioned at its end; held and
// checked as create_output_file() does.
FileHandle open_existing_output_file(const char* path);

// ---------------------------------------------------------------------------
// Standard streams, signals, and files that must never block the run

// Bits of the result of ensure_standard_streams().
constexpr int kStdinWasClosed = 1;
constexpr int kStdoutWasClosed = 2;
constexpr int kStderrWasClosed = 4;
// Opens the null device on each of standard input, output and error that is
// closed, so that no file the run opens later can take its place.  Returns
// which of them were closed.
int ensure_standard_streams();

// Routes the termination signals (SIGTERM, SIGHUP, SIGQUIT, SIGPIPE) to a
// handler that puts the terminal back and then ends the process with the
// signal's usual status.  A broken pipe met while writing to a file the run
// opened itself (not standard output or error) is a failed write instead.
// Signals that the parent set to be ignored stay ignored.
void install_termination_handlers();

// Opens an existing regular file (links followed) for reading as a stream.
// The open never blocks: anything but a regular file (a FIFO, a device, a
// directory) is a failed open.  nullptr on failure.
FILE* open_regular_file(const char* path, bool binary);

// Opens the memo file for appending with reading, creating it when missing.
// While it is open, no output file can be opened on the same file.
FILE* open_memo_file(const char* path);

// Whether listed directory names are the same regardless of ASCII case.
extern const bool kPathNamesIgnoreCase;
