#include "report/seed_writer.h"

#include <cstring>

#include "decode/index_record.h"
#include "report/companion_times.h"
#include "report/report_row.h"

const char kReportHeader[] =
    "              SOURCE|        Size| Delete Date|  Time (GMT)| Extension| Original "
    "Filename|    Modified| Time (GMT)| Last Access| Time (GMT)|  Created| Time (GMT)|\n";

namespace {

// An original path held as bytes of the system's code page (INFO2 records
// without a UTF-16 path): written as those bytes, as names are.
void append_ansi_columns(RowBuffer* row, const RecycleRecord& record) {
  SystemTime deleted;
  const bool valid = file_time_to_system_time(record.deleted, &deleted);
  append_size_and_time_columns(row, record.size, valid, deleted);

  const char* path = reinterpret_cast<const char*>(record.path_ansi);
  size_t dot = SIZE_MAX;
  for (size_t i = record.path_ansi_length; i > 0; --i) {
    if (path[i - 1] == '.') {
      dot = i;
      break;
    }
  }
  if (dot == SIZE_MAX) {
    row->put("      NONE|");
  } else {
    size_t ext = record.path_ansi_length - dot;
    if (ext > 10) ext = 10;
    row->put_padding(' ', 10 - ext);
    append_report_text(row, path + dot, ext);
    row->put('|');
  }
  if (record.drive_letter) row->put(record.drive_letter);
  append_report_text(row, path, record.path_ansi_length);
  row->put('|');
}

class SeedWriter final : public ReportWriter {
 public:
  explicit SeedWriter(ReportSink* sink) : sink_(sink) {}

  bool write_header() override { return sink_->write(kReportHeader, strlen(kReportHeader)); }

  bool write_record(const RecycleRecord& record) override {
    format_seed_record(&row_, record);
    return sink_->write(row_.data(), row_.size());
  }

 private:
  ReportSink* sink_;
  RowBuffer row_;
};

}  // namespace

void format_seed_record(RowBuffer* row, const RecycleRecord& record) {
  row->clear();
  if (!record.opened) {
    row->put("\nCan't open ");
    append_report_text(row, record.directory.data(), record.directory.size());
    append_report_text(row, record.file_name.data(), record.file_name.size());
    row->put(" for searching\n");
    return;
  }
  append_name_column(row, record.entry_name.data(), record.entry_name.size());
  SeedFields fields;
  if (record.path_utf16 == nullptr && record.path_ansi != nullptr && record.has_fields) {
    append_ansi_columns(row, record);
  } else if (seed_view(record, &fields)) {
    append_record_columns(row, fields);
  }
  if (record.companion.kind == CompanionKind::kMissing) {
    append_companion_columns(row, nullptr);
  } else {
    CompanionTimes times;
    convert_find_times(record.companion.times, &times);
    append_companion_columns(row, &times);
  }
  row->put('\n');
}

void format_report_row(RowBuffer* row, const char* file_name, const unsigned char* data,
                       size_t size, const CompanionTimes* companion) {
  RecycleRecord record;
  record.file_name = file_name;
  record.entry_name = record.file_name;
  decode_index_bytes(data, size, 0, &record);
  if (companion) {
    record.companion.kind = CompanionKind::kFile;
    record.companion.times.creation = companion->creation_time;
    record.companion.times.last_access = companion->last_access_time;
    record.companion.times.last_write = companion->last_write_time;
  }
  format_seed_record(row, record);
}

std::unique_ptr<ReportWriter> make_seed_writer(ReportSink* sink, const WriterSettings&) {
  return std::make_unique<SeedWriter>(sink);
}
