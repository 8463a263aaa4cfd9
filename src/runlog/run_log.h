// The run log: the accounting file, a log shared with sibling tools to
// which every run that is told to keep one appends a record (when it
// started, with what command line, how many files it processed and how long
// it took), and the memo file.  A RunLog owns both files and their state;
// the driver calls it at each step of the run, and for the option readers
// as they name the files.  This folder includes only common/ and platform/.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "common/module_stamp.h"
#include "common/status.h"
#include "platform/platform.h"
#include "runlog/time_zone.h"

// The source module of the run log, for the help screen.
extern const ModuleStamp kRunLogModule;

class RunLog {
 public:
  RunLog() = default;
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // Names the accounting file `path` (the environment, the INI file, -1 or
  // -2): with `overridden_by` (".ini file", "option -1 file"), one already
  // open is told which names it now and closed.  The file's missing
  // directories are created, its end-of-file marker trimmed and a separator
  // line written.  Ends the run (status 1) when the file can neither be
  // opened nor created, or another run holds it.
  Status name_accounting_file(const char* path, const char* overridden_by);
  // --acc, --log: the same without the note, and one already open is left
  // open and unfinished.  `opened` is false when the stream could not be
  // made.
  Status add_accounting_file(const char* path, bool* opened);
  // Closes the accounting file, if one is open (+1, +2, and the end of the
  // closing block); a failure is named.
  void close_accounting_file();
  bool accounting_open() const { return file_ != nullptr; }
  // The accounting file's stream, or null.
  FILE* accounting_file() const { return file_; }

  // Names the memo file (a full path), closing one already open.  A memo
  // file on the evidence is named on the error stream and not opened.
  void name_memo_file(const char* path);
  bool memo_open() const { return memo_ != nullptr; }
  // Closes the memo file (nothing when none is open); false when that
  // failed (it is named).
  bool close_memo_file();

  // The "Started" block, after the banner: the start time and the command
  // line.
  void write_started(time_t start, int argc, char** argv);
  // The start record of the report's header step: the times and zone, and
  // the command line again.
  void write_header_record(const TimeZoneDescription& zone, int argc, char** argv);
  // The closing block: the files processed, when the run finished and how
  // long it took; then the file is closed.
  void write_closing_block(long files, long hits, time_t finish, int64_t elapsed_seconds);

  // Flushes the accounting file, so that a run that ends early leaves whole
  // blocks.  A failed write is named on the error stream ("Can't write the
  // accounting file FILE: reason"), once per file, and the run goes on.
  void flush();
  // Whether a write, flush or close of the accounting or memo file failed:
  // the run then ends with exit code 8 after its report.
  bool write_failed() const { return write_failed_; }

 private:
  FILE* open_accounting(const char* path, Status* status);
  void name_write_failure(const std::string& name, bool* named, int error);

  FILE* file_ = nullptr;
  FILE* memo_ = nullptr;
  std::vector<FILE*> left_open_;  // accounting files --acc replaced
  std::string acct_name_;  // the accounting file as named, for messages
  std::string memo_name_;
  bool acct_failure_named_ = false;
  bool memo_failure_named_ = false;
  bool write_failed_ = false;
};

// 1 when the directory part of `path` exists; otherwise the result of the
// last directory creation.  Each directory created is noted on `notes`.
int make_log_directories(const char* path, FILE* notes);
// Cuts a trailing run of Ctrl+Z and NUL bytes from the end of the file
// (creating the file when it is missing).  Returns the locked handle, or
// kInvalidHandle when the file can neither be opened nor created, another
// run holds it or it is part of the evidence (each named on the error
// stream; the run then ends with status 1).
FileHandle trim_at_eof_marker(const char* path);
// The length a file of these last bytes keeps: a trailing run of 0x1A and
// 0x00 bytes goes.  `size` is the whole file's size, `tail` its last bytes.
int64_t trimmed_length(int64_t size, const unsigned char* tail, size_t tail_size);
