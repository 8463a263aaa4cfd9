#include "decode/index_record.h"

#include "platform/file_time.h"
#include "platform/utf8.h"

namespace {

// 1995-01-01 00:00:00 UTC and one day, as FileTime.
constexpr FileTime kEarliestPlausible = 124333920000000000ULL;
constexpr FileTime kOneDay = 864000000000ULL;

}  // namespace

bool deletion_time_implausible(FileTime deleted, FileTime run_start) {
  // A time with its top bit set lies beyond the year 9999 too.
  if (deleted == 0 || deleted >= kFirstTickOf10000) return true;
  if (deleted < kEarliestPlausible) return true;
  return run_start != 0 && deleted > run_start + kOneDay;
}

bool has_lone_surrogate(const unsigned char* units, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const unsigned u = units[2 * i] | units[2 * i + 1] << 8;
    if (u >= 0xD800 && u <= 0xDBFF) {
      const unsigned next = i + 1 < count ? (units[2 * i + 2] | units[2 * i + 3] << 8) : 0;
      if (next >= 0xDC00 && next <= 0xDFFF) {
        ++i;
        continue;
      }
      return true;
    }
    if (u >= 0xDC00 && u <= 0xDFFF) return true;
  }
  return false;
}

void decode_index_bytes(const unsigned char* data, size_t size, FileTime run_start,
                        RecycleRecord* record) {
  record->opened = true;
  if (size < 4) {
    record->format = RecordFormat::kUnknown;
    record->warnings |= kWarnTruncated;
    return;
  }
  const uint32_t version = read_le32(data);
  size_t name_offset;
  if (version == 1) {
    record->format = RecordFormat::kV1;
    name_offset = kVersion1NameOffset;
  } else if (version == 2) {
    record->format = RecordFormat::kV2;
    name_offset = kVersion2NameOffset;
  } else {
    record->format = RecordFormat::kUnknown;
    record->warnings |= kWarnUnknownVersion;
    return;
  }
  record->has_size = size >= 16;
  record->has_deleted = size >= 24;
  if (record->has_size) {
    record->size = static_cast<int64_t>(read_le64(data + 8));
    if (record->size < 0) record->warnings |= kWarnSizeOutOfRange;
  }
  if (record->has_deleted) {
    record->deleted = read_le64(data + 16);
    if (deletion_time_implausible(record->deleted, run_start))
      record->warnings |= kWarnTimeOutOfRange;
  }
  if (size < name_offset) {
    record->warnings |= kWarnTruncated;
    return;
  }
  record->has_fields = true;
  const unsigned char* name = data + name_offset;
  const size_t available = (size - name_offset) / 2;
  // The name runs to its terminator; a surrogate without its partner is
  // noted on the way.
  size_t units = 0;
  bool lone_surrogate = false;
  while (units < available) {
    const unsigned u = read_le16(name + 2 * units);
    if (u == 0) break;
    if (u >= 0xD800 && u <= 0xDFFF) {
      const unsigned next = units + 1 < available ? read_le16(name + 2 * units + 2) : 0;
      if (u <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
        units += 2;
        continue;
      }
      lone_surrogate = true;
    }
    ++units;
  }
  record->path_utf16 = name;
  record->path_units = units;
  const bool terminated = units < available;
  // A version 1 record is its fixed fields and a 520-byte name field.
  if (!terminated || (version == 1 && size < kVersion1NameOffset + 520))
    record->warnings |= kWarnTruncated;
  if (version == 2 && terminated && read_le32(data + 24) != units + 1)
    record->warnings |= kWarnNameLengthMismatch;
  if (lone_surrogate) record->warnings |= kWarnLoneSurrogate;
  if (version == 1 && size == kOneByteShortSize) read_one_byte_short(data, run_start, record);
}

bool read_one_byte_short(const unsigned char* data, FileTime run_start, RecycleRecord* record) {
  // The deletion time at byte 15, and a whole path from byte 23 that starts
  // like a path ("C:\" or "\\") and is terminated.
  const FileTime deleted = read_le64(data + kOneByteShortTimeOffset);
  if (deletion_time_implausible(deleted, run_start)) return false;
  const unsigned char* path = data + kOneByteShortPathOffset;
  const size_t available = (kOneByteShortSize - kOneByteShortPathOffset) / 2;
  auto unit = [path](size_t i) { return static_cast<unsigned>(read_le16(path + 2 * i)); };
  const unsigned first = unit(0);
  const bool letter = (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z');
  if (!(letter && unit(1) == ':' && unit(2) == '\\') && !(first == '\\' && unit(1) == '\\'))
    return false;
  size_t units = 0;
  while (units < available && unit(units) != 0) ++units;
  if (units == available) return false;

  record->laid_out.size = record->size;
  record->laid_out.deleted = record->deleted;
  record->laid_out.path_utf16 = record->path_utf16;
  record->laid_out.path_units = record->path_units;
  record->has_size = false;
  record->size = 0;
  record->has_deleted = true;
  record->deleted = deleted;
  record->path_utf16 = path;
  record->path_units = units;
  // What the bytes as laid out gave is doubted no more.
  record->warnings &= ~(kWarnTruncated | kWarnTimeOutOfRange | kWarnLoneSurrogate |
                        kWarnSizeOutOfRange);
  record->warnings |= kWarnOneByteShort;
  if (has_lone_surrogate(path, units)) record->warnings |= kWarnLoneSurrogate;
  return true;
}

namespace {

class IndexFileParser final : public RecordParser {
 public:
  bool claims_name(const char*) const override { return true; }
  ParseResult parse(ParserInput& input, ParseContext& context) const override {
    decode_index_bytes(input.head(), input.head_size(), context.settings->run_start,
                       context.record);
    check_companion_size(context.record);
    return context.sink->take(*context.record) ? ParseResult::kTaken : ParseResult::kNotTaken;
  }
};

}  // namespace

const RecordParser& index_file_parser() {
  static const IndexFileParser kParser;
  return kParser;
}
