#include "walk/streams.h"

#include <cstdio>

#include "common/notes_stream.h"
#include "platform/platform.h"

namespace {

Status count_streams(FileSystem* fs, DirRef dir) {
  int failure = 0, line = 0;
  fs->count_streams(dir, &failure, &line);
  if (failure == kStreamHeaderReadFailed) {
    fprintf(notes_stream(), "\n%d %s Alt Data Read error", line, kPlatformSource);
    return Status::end(READ_ERROR);
  }
  if (failure == kStreamNameReadFailed) fprintf(notes_stream(), "\n%d", line);
  return Status();
}

}  // namespace

Status enable_backup_privileges() {
  int line = 0;
  const int failed = enable_backup_restore_privileges(&line);
  if (failed == 0) return Status();
  static const char* const kWhat[] = {"", "Token open error", "Privilege error",
                                      "LookupPrivilegeValue error"};
  fprintf(notes_stream(), "\n%d %s %s", line, kPlatformSource, kWhat[failed]);
  fputs("\nTry using the -S option and rerun program\n\n", notes_stream());
  return Status::end(NON_SPECIFIC_ERROR);
}

Status probe_streams(FileSystem* fs, DirRef dir) {
  const Status privileges = enable_backup_privileges();
  if (!privileges.ok()) return privileges;
  return count_streams(fs, dir);
}
