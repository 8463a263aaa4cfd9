#include "common/module_stamp.h"

#include <cstring>

const char* module_file_name(const ModuleStamp& stamp) {
  const char* slash = strrchr(stamp.source_path, '/');
  const char* backslash = strrchr(stamp.source_path, '\\');
  const char* cut = slash > backslash ? slash : backslash;
  return cut ? cut + 1 : stamp.source_path;
}
