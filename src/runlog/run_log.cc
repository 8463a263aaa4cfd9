#include "runlog/run_log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/evidence.h"
#include "common/terminal_text.h"
#include "common/wait.h"
#include "platform/platform.h"

FILE* g_acct_file = nullptr;
FILE* g_memo_file = nullptr;

namespace {

std::string g_acct_name;  // the accounting file as named, for messages
std::string g_memo_name;
bool g_acct_failure_named = false;
bool g_memo_failure_named = false;
bool g_write_failed = false;

// A name as a message shows it: no byte that could drive the terminal.
std::string shown(const char* name) {
  std::string text;
  append_terminal_text(&text, name, strlen(name));
  return text;
}

FILE* open_memo(const char* path) {
  // A memo file on the evidence is one that cannot be opened; it is named,
  // and the run goes on without it.
  std::string reason;
  if (is_evidence(path, &reason)) {
    fprintf(stderr, "\nCan't open the memo file %s: %s\n", shown(path).c_str(), reason.c_str());
    return nullptr;
  }
  FILE* f = open_memo_file(path);
  if (f) {
    g_memo_name = path;
    g_memo_failure_named = false;
  }
  return f;
}

// Names a failed write, flush or close of a run-log file once per file.
void name_write_failure(const std::string& name, bool* named, int error) {
  g_write_failed = true;
  if (*named) return;
  *named = true;
  fprintf(stderr, "\nCan't write the accounting file %s: %s\n", name.c_str(), strerror(error));
}

// Flushes `f`; false (with the reason in `error`) when it or an earlier
// write to it failed.
bool flushed(FILE* f, int* error) {
  errno = 0;
  const bool ok = fflush(f) == 0;
  *error = errno ? errno : EIO;
  return ok && !ferror(f);
}

}  // namespace

namespace {

class RealLogFiles final : public LogFileOpener {
 public:
  FILE* open_run_log(const char* path) const override { return ::open_run_log(path); }
  FILE* open_memo(const char* path) const override { return ::open_memo(path); }
};

}  // namespace

const LogFileOpener* real_log_files() {
  static const RealLogFiles kRealLogFiles;
  return &kRealLogFiles;
}
const ModuleStamp kRunLogModule = {__FILE__, __DATE__, __TIME__};

namespace {

const char kStars[] =
    "******************************************************************************";

std::string g_log_dir;
bool g_notes_on_error_stream = false;

}  // namespace

void note_log_directories_on_error_stream(bool on_error_stream) {
  g_notes_on_error_stream = on_error_stream;
}

int make_log_directories(const char* path) {
  const char* cut = strrchr(path, kPathSeparator);
  g_log_dir.assign(path, cut ? static_cast<size_t>(cut - path) : 0);
  // A path without a directory part, or in the root, needs nothing created.
  if (g_log_dir.empty()) return 1;
  if (path_kind(g_log_dir.c_str()) == PathKind::kDirectory) return 1;

  FILE* const notes = g_notes_on_error_stream ? stderr : stdout;
  // Every level below the drive (or the root) that is missing is created;
  // a "/" counts as a separator too, and is written as one.
  for (size_t i = kDriveLetters ? 2 : 1; i < g_log_dir.size(); ++i) {
    if (g_log_dir[i] != kPathSeparator && g_log_dir[i] != '/') continue;
    g_log_dir[i] = '\0';
    const char* prefix = g_log_dir.c_str();
    if (path_kind(prefix) == PathKind::kMissing) {
      create_directory(prefix);
      fprintf(notes, "Creating (log\\error) directory:  %s\n", prefix);
    }
    g_log_dir[i] = kPathSeparator;
  }
  const bool created = create_directory(g_log_dir.c_str());
  fprintf(notes, "Creating (log) directory:  %s\n", g_log_dir.c_str());
  wait_seconds(1);
  return created ? 1 : 0;
}

int64_t trimmed_length(int64_t size, const unsigned char* tail, size_t tail_size) {
  size_t keep = tail_size;
  while (keep > 0 && (tail[keep - 1] == 0x1A || tail[keep - 1] == 0x00)) --keep;
  return size - static_cast<int64_t>(tail_size - keep);
}

intptr_t trim_at_eof_marker(const char* path) {
  std::string reason;
  if (is_evidence(path, &reason)) {
    fprintf(stderr, "\n%s\n%d\nerror opening %s: %s\n", __FILE__, __LINE__, shown(path).c_str(),
            reason.c_str());
    exit(1);
  }
  const FileHandle handle = open_locked_log(path);
  if (handle == kInvalidHandle) {
    fprintf(stderr, "\n%s\n%d\nerror opening %s\n", __FILE__, __LINE__, path);
    exit(1);
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

FILE* open_run_log(const char* path) {
  make_log_directories(path);
  const FileHandle handle = trim_at_eof_marker(path);
  FILE* f = stream_from_handle(handle);
  if (!f) {
    close_file(handle);
    printf("Can't open accounting file %s\n", path);
    return nullptr;
  }
  g_acct_name = path;
  g_acct_failure_named = false;
  fseek(f, 0, SEEK_END);
  fprintf(f, "\n%.40s\n", kStars);
  int error = 0;
  if (!flushed(f, &error)) name_write_failure(g_acct_name, &g_acct_failure_named, error);
  return f;
}

void flush_run_log() {
  int error = 0;
  if (g_acct_file && !flushed(g_acct_file, &error))
    name_write_failure(g_acct_name, &g_acct_failure_named, error);
}

void close_run_log() {
  if (g_acct_file) {
    int error = 0;
    bool ok = flushed(g_acct_file, &error);
    errno = 0;
    if (fclose(g_acct_file) != 0 && ok) {
      ok = false;
      error = errno ? errno : EIO;
    }
    g_acct_file = nullptr;
    if (!ok) name_write_failure(g_acct_name, &g_acct_failure_named, error);
  }
}

bool close_memo_stream(FILE* memo) {
  if (!memo) return true;
  int error = 0;
  bool ok = flushed(memo, &error);
  errno = 0;
  if (fclose(memo) != 0 && ok) {
    ok = false;
    error = errno ? errno : EIO;
  }
  if (!ok) name_write_failure(g_memo_name, &g_memo_failure_named, error);
  return ok;
}

bool run_log_write_failed() { return g_write_failed; }
