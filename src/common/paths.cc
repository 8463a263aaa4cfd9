#include "common/paths.h"

#include "platform/platform.h"

std::string resolved_path(const char* value) {
  std::string full;
  if (!full_path(value, &full)) full = value;
  return full;
}

bool path_exists(const std::string& path) { return path_kind(path.c_str()) != PathKind::kMissing; }
