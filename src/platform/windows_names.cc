#include "platform/windows_names.h"

#include <cstring>

namespace {

bool forbidden(unsigned char c) {
  return c < 0x20 || std::strchr("\\/:*?\"<>|", c) != nullptr;
}

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// The length of the device name that `name` starts with, when what follows
// it is nothing, spaces, or spaces and an extension; 0 otherwise.
size_t device_prefix(const std::string& name) {
  static const char* const kDevices[] = {"CONIN$", "CONOUT$", "CON", "PRN", "AUX", "NUL"};
  size_t length = 0;
  for (const char* device : kDevices) {
    const size_t n = std::strlen(device);
    if (name.size() < n) continue;
    bool same = true;
    for (size_t i = 0; i < n && same; ++i) same = upper(name[i]) == device[i];
    if (same) {
      length = n;
      break;
    }
  }
  if (length == 0 && name.size() >= 4) {
    const std::string stem = {upper(name[0]), upper(name[1]), upper(name[2])};
    if (stem == "COM" || stem == "LPT") {
      if (name[3] >= '1' && name[3] <= '9') {
        length = 4;
      } else if (name.size() >= 5 && static_cast<unsigned char>(name[3]) == 0xC2 &&
                 (name[4] == '\xB9' || name[4] == '\xB2' || name[4] == '\xB3')) {
        length = 5;  // a superscript 1, 2 or 3, which Windows takes as the digit
      }
    }
  }
  if (length == 0) return 0;
  size_t i = length;
  while (i < name.size() && name[i] == ' ') ++i;
  return i == name.size() || name[i] == '.' ? length : 0;
}

}  // namespace

bool mend_windows_name(std::string* name) {
  bool changed = false;
  for (char& c : *name) {
    if (forbidden(static_cast<unsigned char>(c))) {
      c = '_';
      changed = true;
    }
  }
  if (!name->empty() && (name->back() == '.' || name->back() == ' ')) {
    name->back() = '_';
    changed = true;
  }
  if (const size_t device = device_prefix(*name)) {
    name->insert(device, 1, '_');
    changed = true;
  }
  return changed;
}
