// Shared helpers of every folder above the platform layer (common/): the
// exit codes and this status, the evidence a run must never write, the
// exclusion list, terminal-safe and UTF-16 text, paths, waits, module
// stamps.  No run policy lives here.  This folder includes only platform/.
//
// Status: what a step of the run tells its caller: the run goes on, or it
// ends with an exit code (whatever the step had to say about it, it has
// said).  Only the driver ends the process.
#pragma once

#include "common/exit_codes.h"

class [[nodiscard]] Status {
 public:
  // The run goes on.
  Status() = default;
  // The run ends with `code`.
  static Status end(int code) {
    Status status;
    status.code_ = code;
    return status;
  }
  bool ok() const { return code_ < 0; }
  int exit_code() const { return code_; }

 private:
  int code_ = -1;
};
