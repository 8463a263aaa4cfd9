// The Windows programs do not collect copies yet: the target is refused,
// with the reason, before anything is written.
#include "platform/copy_target.h"

std::unique_ptr<CopyTarget> open_copy_target(const char*, TargetOpen* outcome,
                                             std::string* reason) {
  *outcome = TargetOpen::kFailed;
  *reason = "collecting copies is not supported by this build";
  return nullptr;
}

bool folder_within(const char*, const char*) { return false; }
