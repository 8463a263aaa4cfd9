// The parser of INFO2 files: a file named INFO2 (or INFO) whose header
// checks out gives one record per INFO2 record, each with the "Dc<N><ext>"
// file beside it as its companion.  The file is read record by record
// through the decoder's input buffer, so memory stays the same whatever its
// size, and every record is read.
#include <cstring>

#include "decode/index_record.h"
#include "decode/info2.h"

void fill_info2_record(const Info2Entry& entry, FileTime run_start, RecycleRecord* record) {
  record->format = RecordFormat::kInfo2;
  record->opened = true;
  record->has_fields = !entry.truncated;
  record->has_size = entry.has_size;
  record->size = entry.size;
  record->has_deleted = entry.has_deleted;
  record->deleted = entry.deleted;
  if (entry.uses_utf16()) {
    record->path_utf16 = entry.utf16_path;
    record->path_units = entry.utf16_units;
    if (has_lone_surrogate(entry.utf16_path, entry.utf16_units))
      record->warnings |= kWarnLoneSurrogate;
  } else {
    record->path_ansi = entry.ansi_path;
    record->path_ansi_length = entry.ansi_length;
    record->drive_letter = entry.drive_prefix;
  }
  if (entry.truncated || !entry.display_path_terminated()) record->warnings |= kWarnTruncated;
  if (entry.restored_or_purged) record->warnings |= kWarnRestoredOrPurged;
  if (entry.has_deleted && deletion_time_implausible(entry.deleted, run_start))
    record->warnings |= kWarnTimeOutOfRange;
}

namespace {

class Info2Parser final : public RecordParser {
 public:
  bool claims_name(const char* name) const override { return is_info2_name(name); }

  ParseResult parse(ParserInput& input, ParseContext& context) const override {
    // The first block, as for any index file; a header that does not check
    // out leaves those bytes to the next parser.
    input.fill_head();
    Info2Header header;
    if (!parse_info2_header(input.head(), input.head_size(), &header))
      return ParseResult::kDeclined;

    unsigned char* const buffer = input.buffer();
    const size_t capacity = input.capacity();
    size_t end = input.head_size();  // bytes in the buffer
    bool at_end = end < kIndexReadSize;
    const size_t record_size = header.record_size;
    RecycleRecord& record = *context.record;
    const RecycleRecord base = record;
    size_t start = kInfo2HeaderSize;  // the next record's first byte in the buffer
    std::string& entry_name = *context.name_buffer;
    for (;;) {
      if (end - start < record_size && !at_end) {
        // The rest of the buffer holds part of a record: move it to the
        // front and read on behind it.
        memmove(buffer, buffer + start, end - start);
        end -= start;
        start = 0;
        const size_t want = capacity - end;
        const size_t n = input.read_fully(buffer + end, want);
        end += n;
        at_end = n < want;
        continue;
      }
      if (start == end) break;
      const size_t avail = end - start < record_size ? end - start : record_size;
      Info2Entry entry;
      parse_info2_record(buffer + start, avail, header.record_size, &entry);
      start += avail;
      record = base;
      record.companion = CompanionInfo();
      fill_info2_record(entry, context.settings->run_start, &record);
      // The item itself, renamed "Dc<N><ext>" beside the INFO2 file.
      entry_name.clear();
      if (append_dc_name(&entry_name, entry, context.settings->codepage)) {
        context.companions->look_up(entry_name.c_str(), &record.companion);
        if (!entry.truncated) record.entry_name = entry_name;
      }
      check_companion_size(&record);
      if (!context.sink->take(record)) return ParseResult::kNotTaken;
    }
    return ParseResult::kTaken;
  }
};

}  // namespace

const RecordParser& info2_parser() {
  static const Info2Parser kParser;
  return kParser;
}
