#include "runlog/run_log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/evidence.h"
#include "common/notes_stream.h"
#include "common/paths.h"
#include "common/terminal_text.h"
#include "common/wait.h"

const ModuleStamp kRunLogModule = {__FILE__, __DATE__, __TIME__};

namespace {

const char kStars[] =
    "******************************************************************************";

// A name as a message shows it: no byte that could drive the terminal.
std::string shown(const char* name) {
  std::string text;
  append_terminal_text(&text, name, strlen(name));
  return text;
}

// Flushes `f`; false (with the reason in `error`) when it or an earlier
// write to it failed.
bool flushed(FILE* f, int* error) {
  errno = 0;
  const bool ok = fflush(f) == 0;
  *error = errno ? errno : EIO;
  return ok && !ferror(f);
}

// Flushes and closes `f`; false (with the reason in `error`) when that, or
// an earlier write, failed.
bool closed(FILE* f, int* error) {
  bool ok = flushed(f, error);
  errno = 0;
  if (fclose(f) != 0 && ok) {
    ok = false;
    *error = errno ? errno : EIO;
  }
  return ok;
}

}  // namespace

void RunLog::name_write_failure(const std::string& name, bool* named, int error) {
  write_failed_ = true;
  if (*named) return;
  *named = true;
  fprintf(stderr, "\nCan't write the accounting file %s: %s\n", name.c_str(), strerror(error));
}

int make_log_directories(const char* path, FILE* notes) {
  const char* cut = strrchr(path, kPathSeparator);
  std::string dir(path, cut ? static_cast<size_t>(cut - path) : 0);
  // A path without a directory part, or in the root, needs nothing created.
  if (dir.empty()) return 1;
  if (path_kind(dir.c_str()) == PathKind::kDirectory) return 1;

  // Every level below the drive (or the root) that is missing is created;
  // a "/" counts as a separator too, and is written as one.
  for (size_t i = kDriveLetters ? 2 : 1; i < dir.size(); ++i) {
    if (dir[i] != kPathSeparator && dir[i] != '/') continue;
    dir[i] = '\0';
    const char* prefix = dir.c_str();
    if (path_kind(prefix) == PathKind::kMissing) {
      create_directory(prefix);
      fprintf(notes, "Creating (log\\error) directory:  %s\n", prefix);
    }
    dir[i] = kPathSeparator;
  }
  const bool created = create_directory(dir.c_str());
  fprintf(notes, "Creating (log) directory:  %s\n", dir.c_str());
  wait_seconds(1);
  return created ? 1 : 0;
}

int64_t trimmed_length(int64_t size, const unsigned char* tail, size_t tail_size) {
  size_t keep = tail_size;
  while (keep > 0 && (tail[keep - 1] == 0x1A || tail[keep - 1] == 0x00)) --keep;
  return size - static_cast<int64_t>(tail_size - keep);
}

FileHandle trim_at_eof_marker(const char* path) {
  std::string reason;
  if (is_evidence(path, &reason)) {
    fprintf(stderr, "\n%s\n%d\nerror opening %s: %s\n", __FILE__, __LINE__, shown(path).c_str(),
            reason.c_str());
    return kInvalidHandle;
  }
  const FileHandle handle = open_locked_log(path);
  if (handle == kInvalidHandle) {
    fprintf(stderr, "\n%s\n%d\nerror opening %s\n", __FILE__, __LINE__, path);
    return kInvalidHandle;
  }
  int64_t size = handle_file_size(handle);
  if (size < 10) return handle;
  // Only the end of the file is looked at: a marker followed by other data
  // stays, so that no record after a stray byte is lost.
  unsigned char tail[4096];
  for (;;) {
    const size_t want = size < static_cast<int64_t>(sizeof tail) ? static_cast<size_t>(size)
                                                                 : sizeof tail;
    const size_t got = read_at(handle, tail, want, size - static_cast<int64_t>(want));
    if (got != want) break;
    const int64_t keep = trimmed_length(size, tail, got);
    if (keep == size) break;
    truncate_handle(handle, keep);
    if (keep > size - static_cast<int64_t>(got)) break;  // the run ended in this block
    size = keep;
    if (size == 0) break;
  }
  return handle;
}

FILE* RunLog::open_accounting(const char* path, Status* status) {
  make_log_directories(path, notes_stream());
  const FileHandle handle = trim_at_eof_marker(path);
  if (handle == kInvalidHandle) {
    *status = Status::end(USER_ABORTED);
    return nullptr;
  }
  FILE* f = stream_from_handle(handle);
  if (!f) {
    close_file(handle);
    fprintf(notes_stream(), "Can't open accounting file %s\n", path);
    return nullptr;
  }
  acct_name_ = path;
  acct_failure_named_ = false;
  fseek(f, 0, SEEK_END);
  fprintf(f, "\n%.40s\n", kStars);
  int error = 0;
  if (!flushed(f, &error)) name_write_failure(acct_name_, &acct_failure_named_, error);
  return f;
}

Status RunLog::name_accounting_file(const char* path, const char* overridden_by) {
  if (file_ && overridden_by) {
    const std::string full = resolved_path(path);
    fputs("This file closed.\n", file_);
    fprintf(file_, "Accounting file overridden by %s pointing to %s\n", overridden_by,
            full.c_str());
    close_accounting_file();
  }
  if (file_) left_open_.push_back(file_);
  Status status;
  file_ = open_accounting(path, &status);
  return status;
}

Status RunLog::add_accounting_file(const char* path, bool* opened) {
  Status status;
  FILE* f = open_accounting(path, &status);
  *opened = f != nullptr;
  if (f) {
    if (file_) left_open_.push_back(file_);  // left open and unfinished
    file_ = f;
  }
  return status;
}

void RunLog::flush() {
  int error = 0;
  if (file_ && !flushed(file_, &error)) name_write_failure(acct_name_, &acct_failure_named_, error);
}

void RunLog::close_accounting_file() {
  if (!file_) return;
  int error = 0;
  const bool ok = closed(file_, &error);
  file_ = nullptr;
  if (!ok) name_write_failure(acct_name_, &acct_failure_named_, error);
}

void RunLog::name_memo_file(const char* path) {
  close_memo_file();
  memo_ = nullptr;
  // A memo file on the evidence is one that cannot be opened; it is named,
  // and the run goes on without it.
  std::string reason;
  if (is_evidence(path, &reason)) {
    fprintf(stderr, "\nCan't open the memo file %s: %s\n", shown(path).c_str(), reason.c_str());
    return;
  }
  memo_ = open_memo_file(path);
  if (memo_) {
    memo_name_ = path;
    memo_failure_named_ = false;
  }
}

bool RunLog::close_memo_file() {
  if (!memo_) return true;
  int error = 0;
  const bool ok = closed(memo_, &error);
  memo_ = nullptr;
  if (!ok) name_write_failure(memo_name_, &memo_failure_named_, error);
  return ok;
}

void RunLog::write_started(time_t start, int argc, char** argv) {
  if (!file_) return;
  const char* text = ctime(&start);
  fprintf(file_, "\n\n  Started: %.24s\n", text ? text : "");
  for (int i = 0; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] == '|' && arg[1] == '\0') {
      fputs(" \"|\"", file_);
    } else {
      fprintf(file_, " %s", arg);
    }
  }
  fputs("\n", file_);
  flush();
}

void RunLog::write_header_record(const TimeZoneDescription& tz, int argc, char** argv) {
  if (!file_) return;
  fputs("\n Started ", file_);
  if (!tz.std_name.empty()) {
    fprintf(file_, "%s GMT, ", tz.gmt_text.c_str());
    const char* local_hm = tz.local_text.size() > 11 ? tz.local_text.c_str() + 11 : "";
    fprintf(file_, "%.5s %s ", local_hm, tz.std_name.c_str());
    fprintf(file_, "(%s/%s:%d)", tz.std_abbrev.c_str(), tz.dst_abbrev.c_str(),
            static_cast<int>(tz.tz_hours));
  } else {
    fprintf(file_, "%s Local Time: ", tz.local_text.c_str());
  }
  fputs("\n", file_);
  fputs(" Command line: ", file_);
  for (int i = 0; i < argc; ++i) fprintf(file_, "%s ", argv[i]);
  fputs("\n", file_);
  flush();
}

void RunLog::write_closing_block(long files, long hits, time_t finish, int64_t elapsed) {
  if (!file_) return;
  fprintf(file_, "\n Processed %ld files:  %ld Hits\n\n", files, hits);
  const char* text = ctime(&finish);
  fprintf(file_, " Finished: %.24s\n", text ? text : "");
  fputs(" Elapsed: ", file_);
  fprintf(file_, " %d hrs. %d mins. %d secs.\n", static_cast<int>(elapsed / 3600),
          static_cast<int>(elapsed % 3600 / 60), static_cast<int>(elapsed % 3600 % 60));
  fputs("*****************************************************\n", file_);
  close_accounting_file();
}
