// A build without hivex: every hive is refused with one message.
#include "users/hive_reader.h"

const bool kHiveSupport = false;
const char kHiveUnsupportedMessage[] = "Registry hives are not supported by this build";
const char kHiveLibrary[] = "";

bool hive_library_loaded() { return false; }

bool HiveCopy::begin(std::string* reason) {
  *reason = kHiveUnsupportedMessage;
  return false;
}

bool HiveCopy::append(const void*, size_t, std::string* reason) {
  *reason = kHiveUnsupportedMessage;
  return false;
}

HiveStatus read_hive_file(const std::string& path, HiveNames* out) {
  *out = HiveNames();
  return HiveStatus::failed(path, kHiveUnsupportedMessage);
}

HiveStatus read_hive_copy(std::string_view label, HiveCopy, HiveNames* out) {
  *out = HiveNames();
  return HiveStatus::failed(label, kHiveUnsupportedMessage);
}
