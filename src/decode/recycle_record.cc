#include "decode/recycle_record.h"

std::string_view sid_of_folder(std::string_view directory) {
  // The last component of the directory (which ends with a separator).
  if (!directory.empty() && (directory.back() == '/' || directory.back() == '\\'))
    directory.remove_suffix(1);
  const size_t cut = directory.find_last_of("/\\");
  const std::string_view name = cut == std::string_view::npos ? directory : directory.substr(cut + 1);
  // "S-1" then one or more groups of a dash and digits.
  if (name.size() < 5 || (name[0] != 'S' && name[0] != 's') || name[1] != '-' || name[2] != '1')
    return {};
  size_t i = 3;
  int groups = 0;
  while (i < name.size()) {
    if (name[i] != '-') return {};
    size_t digits = 0;
    ++i;
    while (i < name.size() && name[i] >= '0' && name[i] <= '9') ++i, ++digits;
    if (digits == 0) return {};
    ++groups;
  }
  return groups > 0 ? name : std::string_view();
}
