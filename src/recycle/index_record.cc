#include "recycle/index_record.h"

namespace {

uint32_t read_le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t read_le64(const unsigned char* p) {
  return static_cast<uint64_t>(read_le32(p)) | static_cast<uint64_t>(read_le32(p + 4)) << 32;
}

}  // namespace

bool parse_index_record(const unsigned char* data, size_t size, RecycleIndexRecord* record) {
  if (size < 4) return false;
  const uint32_t version = read_le32(data);
  size_t name_offset;
  if (version == 1) {
    name_offset = kVersion1NameOffset;
  } else if (version == 2) {
    name_offset = kVersion2NameOffset;
  } else {
    return false;
  }
  if (size < name_offset) return false;

  record->version = version;
  record->file_size = static_cast<int64_t>(read_le64(data + 8));
  record->deleted_time = read_le64(data + 16);
  record->deleted_time_valid =
      file_time_to_system_time(record->deleted_time, &record->deleted);

  const unsigned char* name = data + name_offset;
  const size_t available = (size - name_offset) / 2;
  size_t units = 0;
  while (units < available && (name[2 * units] | name[2 * units + 1]) != 0) ++units;
  record->original_name = name;
  record->name_units = units;

  record->extension_start = kNoExtension;
  for (size_t i = units; i > 0; --i) {
    if (name[2 * (i - 1)] == '.' && name[2 * (i - 1) + 1] == 0) {
      record->extension_start = i;
      break;
    }
  }
  return true;
}
