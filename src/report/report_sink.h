// The report's destinations: standard output and, once one is open, the
// output file.  Each write goes to every one of them whole.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

class ReportSink {
 public:
  explicit ReportSink(FileHandle primary) : primary_(primary) {}
  // The output file that receives a copy of everything from now on, or
  // kInvalidHandle for none.
  void set_copy(FileHandle copy) { copy_ = copy; }
  FileHandle copy() const { return copy_; }
  // False when a destination could not take the bytes.
  bool write(const char* data, size_t size);
  // After a failed write: the destination that failed first, and the
  // system's reason.
  FileHandle failed() const { return failed_; }
  const std::string& failure_reason() const { return reason_; }

 private:
  void note_failure(FileHandle handle);

  FileHandle primary_;
  FileHandle copy_ = kInvalidHandle;
  FileHandle failed_ = kInvalidHandle;
  std::string reason_;
};
