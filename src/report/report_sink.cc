#include "report/report_sink.h"

bool ReportSink::write(const char* data, size_t size) {
  bool ok = write_handle(primary_, data, size);
  if (!ok) note_failure(primary_);
  if (copy_ != kInvalidHandle && !write_handle(copy_, data, size)) {
    note_failure(copy_);
    ok = false;
  }
  return ok;
}

void ReportSink::note_failure(FileHandle handle) {
  if (failed_ != kInvalidHandle) return;
  failed_ = handle;
  reason_ = last_write_failure();
}
