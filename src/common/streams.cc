#include "common/streams.h"

#include <cstdio>
#include <cstdlib>

#include "common/exit.h"
#include "platform/platform.h"

namespace {

int count_streams(FileSystem* fs, DirRef dir) {
  int failure = 0, line = 0;
  const int count = fs->count_streams(dir, &failure, &line);
  if (failure == kStreamHeaderReadFailed) {
    printf("\n%d %s Alt Data Read error", line, kPlatformSource);
    exit_program(READ_ERROR);
  }
  if (failure == kStreamNameReadFailed) {
    printf("\n%d", line);
    return 1;
  }
  return count;
}

}  // namespace

void enable_backup_privileges() {
  int line = 0;
  const int failed = enable_backup_restore_privileges(&line);
  if (failed == 0) return;
  static const char* const kWhat[] = {"", "Token open error", "Privilege error",
                                      "LookupPrivilegeValue error"};
  printf("\n%d %s %s", line, kPlatformSource, kWhat[failed]);
  printf("\nTry using the -S option and rerun program\n\n");
  exit_program(NON_SPECIFIC_ERROR);
}

int probe_streams(FileSystem* fs, DirRef dir) {
  enable_backup_privileges();
  return count_streams(fs, dir);
}
