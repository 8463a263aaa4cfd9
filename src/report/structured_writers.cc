#include "report/structured_writers.h"

#include <string>
#include <string_view>

#include "platform/codepage.h"
#include "report/record_text.h"

namespace {

// The fields of a record, in the order every format writes them.
enum Field {
  kSource,
  kUserSid,
  kFormat,
  kSize,
  kDeleted,
  kOriginalPath,
  kExtension,
  kCompanion,
  kCompanionSize,
  kCompanionModified,
  kCompanionAccessed,
  kCompanionCreated,
  kWarnings,
  kFieldCount
};

constexpr const char* kFieldNames[kFieldCount] = {
    "source",         "user_sid",           "format",             "size",
    "deleted",        "original_path",      "extension",          "companion",
    "companion_size", "companion_modified", "companion_accessed", "companion_created",
    "warnings"};

// Fields written as JSON numbers (when not empty).
bool is_number(int field) { return field == kSize || field == kCompanionSize; }

const char* format_name(const RecycleRecord& record) {
  if (!record.opened) return "unknown";
  switch (record.format) {
    case RecordFormat::kV1: return "v1";
    case RecordFormat::kV2: return "v2";
    case RecordFormat::kInfo2: return "info2";
    case RecordFormat::kUnknown: break;
  }
  return "unknown";
}

const char* companion_name(CompanionKind kind) {
  switch (kind) {
    case CompanionKind::kFile: return "file";
    case CompanionKind::kDirectory: return "directory";
    case CompanionKind::kOther: return "other";
    case CompanionKind::kMissing: break;
  }
  return "missing";
}

class StructuredWriter final : public ReportWriter {
 public:
  StructuredWriter(ReportFormat format, ReportSink* sink, const WriterSettings& settings)
      : format_(format), sink_(sink), settings_(settings) {
    line_.reserve(4096);
    for (std::string& f : field_) f.reserve(256);
    scratch_.reserve(256);
  }

  bool write_header() override {
    line_.clear();
    if (format_ == ReportFormat::kCsv || format_ == ReportFormat::kTsv) {
      const char separator = format_ == ReportFormat::kCsv ? ',' : '\t';
      for (int f = 0; f < kFieldCount; ++f) {
        if (f > 0) line_.push_back(separator);
        line_.append(kFieldNames[f]);
      }
      line_.append(format_ == ReportFormat::kCsv ? "\r\n" : "\n");
    }
    return line_.empty() || sink_->write(line_.data(), line_.size());
  }

  bool write_record(const RecycleRecord& record) override {
    fill_fields(record);
    line_.clear();
    switch (format_) {
      case ReportFormat::kCsv: put_delimited(','); break;
      case ReportFormat::kTsv: put_delimited('\t'); break;
      case ReportFormat::kJsonLines: put_json(); break;
      case ReportFormat::kBody: put_body(record); break;
      case ReportFormat::kSeed: return false;
    }
    return sink_->write(line_.data(), line_.size());
  }

 private:
  void fill_fields(const RecycleRecord& record) {
    for (std::string& f : field_) f.clear();
    warnings_ = record.warnings;
    if (!record.opened) warnings_ |= kWarnCannotOpen;

    std::string& source = field_[kSource];
    append_valid_utf8(record.source_prefix, &source);
    append_valid_utf8(record.directory, &source);
    append_valid_utf8(record.file_name, &source);
    append_valid_utf8(record.user_sid, &field_[kUserSid]);
    field_[kFormat].append(format_name(record));

    if (record.opened) {
      if (record.has_size) append_decimal(record.size, &field_[kSize]);
      if (record.has_deleted) append_iso8601(record.deleted, &field_[kDeleted]);
      std::string& path = field_[kOriginalPath];
      if (record.path_utf16) {
        if (append_utf16le_as_utf8(record.path_utf16, record.path_units, &path)) {
          warnings_ |= kWarnLoneSurrogate;
        }
      } else if (record.path_ansi) {
        if (record.drive_letter != 0) path.push_back(record.drive_letter);
        append_codepage_as_utf8(settings_.codepage, record.path_ansi, record.path_ansi_length,
                                &path);
      }
      field_[kExtension].append(path_extension(path));
    }

    const CompanionInfo& companion = record.companion;
    field_[kCompanion].append(companion_name(companion.kind));
    if (companion.kind == CompanionKind::kFile) append_unsigned(companion.size, &field_[kCompanionSize]);
    if (companion.kind != CompanionKind::kMissing) {
      append_iso8601(companion.times.last_write, &field_[kCompanionModified]);
      append_iso8601(companion.times.last_access, &field_[kCompanionAccessed]);
      append_iso8601(companion.times.creation, &field_[kCompanionCreated]);
    }

    std::string& warnings = field_[kWarnings];
    for (int i = 0; i < kWarningCount; ++i) {
      if (!(warnings_ & (1u << i))) continue;
      if (!warnings.empty()) warnings.push_back(';');
      warnings.append(warning_name(i));
    }
  }

  void put_delimited(char separator) {
    for (int f = 0; f < kFieldCount; ++f) {
      if (f > 0) line_.push_back(separator);
      std::string_view text = field_[f];
      // A spreadsheet must not take a name for a formula.
      if (!is_number(f) && starts_like_formula(text)) {
        scratch_.clear();
        scratch_.push_back('\'');
        scratch_.append(text);
        text = scratch_;
      }
      if (separator == ',') {
        append_csv_field(text, &line_);
      } else {
        append_tsv_field(text, &line_);
      }
    }
    line_.append(separator == ',' ? "\r\n" : "\n");
  }

  void put_json() {
    line_.push_back('{');
    for (int f = 0; f < kFieldCount; ++f) {
      if (f > 0) line_.push_back(',');
      line_.push_back('"');
      line_.append(kFieldNames[f]);
      line_.append("\":");
      if (f == kWarnings) {
        line_.push_back('[');
        bool first = true;
        for (int i = 0; i < kWarningCount; ++i) {
          if (!(warnings_ & (1u << i))) continue;
          if (!first) line_.push_back(',');
          first = false;
          append_json_string(warning_name(i), &line_);
        }
        line_.push_back(']');
      } else if (field_[f].empty()) {
        line_.append("null");
      } else if (is_number(f)) {
        line_.append(field_[f]);
      } else {
        append_json_string(field_[f], &line_);
      }
    }
    line_.append("}\n");
  }

  // One body line: MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime.
  void put_body_line(std::string_view name, std::string_view size, int64_t atime, int64_t mtime,
                     int64_t ctime, int64_t crtime) {
    line_.append("0|");
    append_body_name(name, &line_);
    line_.append("|0|0|0|0|");
    line_.append(size.empty() ? std::string_view("0") : size);
    for (int64_t t : {atime, mtime, ctime, crtime}) {
      line_.push_back('|');
      append_decimal(t, &line_);
    }
    line_.push_back('\n');
  }

  void put_body(const RecycleRecord& record) {
    const std::string& path = field_[kOriginalPath];
    int64_t deleted = 0;
    if (record.opened && record.has_deleted) filetime_to_unix_seconds(record.deleted, &deleted);
    scratch_.assign(path);
    scratch_.append(" (deleted; ");
    scratch_.append(field_[kSource]);
    scratch_.push_back(')');
    put_body_line(scratch_, field_[kSize], deleted, deleted, deleted, deleted);

    const CompanionInfo& companion = record.companion;
    if (companion.kind == CompanionKind::kMissing) return;
    scratch_.assign(path);
    scratch_.append(" (recycled content; ");
    append_valid_utf8(record.source_prefix, &scratch_);
    append_valid_utf8(record.directory, &scratch_);
    if (record.format == RecordFormat::kInfo2) {
      append_valid_utf8(record.entry_name, &scratch_);
    } else if (record.file_name.size() >= 2) {
      scratch_.append("$R");
      append_valid_utf8(record.file_name.substr(2), &scratch_);
    }
    scratch_.push_back(')');
    int64_t atime, mtime, crtime;
    filetime_to_unix_seconds(companion.times.last_access, &atime);
    filetime_to_unix_seconds(companion.times.last_write, &mtime);
    filetime_to_unix_seconds(companion.times.creation, &crtime);
    put_body_line(scratch_, field_[kCompanionSize], atime, mtime, 0, crtime);
  }

  ReportFormat format_;
  ReportSink* sink_;
  WriterSettings settings_;
  std::string field_[kFieldCount];
  uint32_t warnings_ = 0;
  std::string scratch_;
  std::string line_;
};

}  // namespace

std::unique_ptr<ReportWriter> make_structured_writer(ReportFormat format, ReportSink* sink,
                                                     const WriterSettings& settings) {
  switch (format) {
    case ReportFormat::kCsv:
    case ReportFormat::kTsv:
    case ReportFormat::kJsonLines:
    case ReportFormat::kBody:
      return std::make_unique<StructuredWriter>(format, sink, settings);
    case ReportFormat::kSeed:
      break;
  }
  return nullptr;
}
