// The accounting file: a run log shared with sibling tools.  Every run that
// is told to keep one appends a record: when it started, with what command
// line, how many files it processed and how long it took.
#pragma once

#include <cstdio>
#include <string>

#include "common/module_stamp.h"

extern FILE* g_acct_file;
extern FILE* g_memo_file;  // the memo file; nothing is written to it
extern const ModuleStamp kRunLogModule;

// How the option readers open the accounting and memo files: the real
// files, or (for a harness that must touch none) something else.
class LogFileOpener {
 public:
  virtual ~LogFileOpener() = default;
  // open_run_log() below, for the files of a run.
  virtual FILE* open_run_log(const char* path) const = 0;
  // The memo file, opened for appending; nullptr when it cannot be.
  virtual FILE* open_memo(const char* path) const = 0;
};
const LogFileOpener* real_log_files();

// Creates missing directories, trims the file's end-of-file marker, opens
// it for appending and writes the separator line that opens a record.
// nullptr when the stream cannot be opened; ends the run (status 1) when the
// file can neither be opened nor created, or another run holds it.
FILE* open_run_log(const char* path);
// 1 when the directory part of `path` exists; otherwise the result of the
// last directory creation.  Each directory created is noted on standard
// output, or on the error stream after the call below.
int make_log_directories(const char* path);
// Sends the notes of directories created to the error stream (true), so
// that standard output holds only a report that a program reads, or back to
// standard output (false, the default).
void note_log_directories_on_error_stream(bool on_error_stream);
// Cuts a trailing run of Ctrl+Z and NUL bytes from the end of the file
// (creating the file when it is missing).  Returns the locked handle.
intptr_t trim_at_eof_marker(const char* path);
// The length a file of these last bytes keeps: a trailing run of 0x1A and
// 0x00 bytes goes.  `size` is the whole file's size, `tail` its last bytes.
int64_t trimmed_length(int64_t size, const unsigned char* tail, size_t tail_size);
// Flushes the stream so that a run that ends early leaves whole blocks.
// A failed write is named on the error stream ("Can't write the accounting
// file FILE: reason"), once per file, and the run goes on.
void flush_run_log();
// Closes the accounting file, if one is open; a failure is named as above.
void close_run_log();
// Closes the memo file (nullptr: nothing); a failure is named as above.
bool close_memo_stream(FILE* memo);
// Whether a write, flush or close of the accounting or memo file failed:
// the run then ends with exit code 8 after its report.
bool run_log_write_failed();
