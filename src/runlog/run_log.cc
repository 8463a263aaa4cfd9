#include "runlog/run_log.h"

FILE* g_acct_file = nullptr;
const ModuleStamp kRunLogModule = {__FILE__, __DATE__, __TIME__};

namespace {

const char kStars[] =
    "******************************************************************************";

}  // namespace

FILE* open_run_log(const char* path) {
  FILE* f = fopen(path, "a+");
  if (!f) {
    printf("Can't open accounting file %s\n", path);
    return nullptr;
  }
  fseek(f, 0, SEEK_END);
  fprintf(f, "\n%.40s\n", kStars);
  fflush(f);
  return f;
}

void close_run_log() {
  if (g_acct_file) {
    fclose(g_acct_file);
    g_acct_file = nullptr;
  }
}
