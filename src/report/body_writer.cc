// The body file of The Sleuth Kit (version 3:
// MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime, whole Unix
// seconds), for mactime and the timeline tools: a line for the deletion and,
// when the companion exists, a line for the recycled content with its own
// times and (in an image) its metadata address; an entry inside a recycled
// folder has the one line of its own.  No header.
#include <memory>
#include <string>
#include <string_view>

#include "decode/record_formats.h"
#include "report/record_fields.h"
#include "report/record_text.h"
#include "report/report_writer.h"

namespace {

class BodyWriter final : public ReportWriter {
 public:
  BodyWriter(ReportSink* sink, const WriterSettings& settings) : sink_(sink), settings_(settings) {
    line_.reserve(4096);
    scratch_.reserve(256);
  }

  bool write_header() override { return true; }

  bool write_record(const RecycleRecord& record) override {
    fields_.fill(record, settings_.codepage);
    line_.clear();
    const std::string& path = fields_[kOriginalPath];
    const CompanionInfo& companion = record.companion;
    if (record.format == RecordFormat::kContent) {
      // An entry inside a recycled folder: one line, with its own times.
      scratch_.assign(path);
      scratch_.append(" (recycled content; ");
      scratch_.append(fields_[kSource]);
      scratch_.push_back(')');
      put_companion_line(companion);
      return sink_->write(line_.data(), line_.size());
    }
    int64_t deleted = 0;
    filetime_to_unix_seconds(fields_.deleted(), &deleted);
    scratch_.assign(path);
    scratch_.append(" (deleted; ");
    scratch_.append(fields_[kSource]);
    // A record found in raw bytes, which no file holds, is known by where
    // it lies.
    if ((record.warnings & kWarnScanned) != 0) scratch_.append(fields_[kOffset]);
    scratch_.push_back(')');
    put_line({}, scratch_, 0, fields_[kSize], deleted, deleted, deleted, deleted);

    if (companion.kind != CompanionKind::kMissing) {
      scratch_.assign(path);
      scratch_.append(" (recycled content; ");
      append_valid_utf8(record.source_prefix, &scratch_);
      append_valid_utf8(record.directory, &scratch_);
      if (record_format_row(record.format).companion_is_entry) {
        append_valid_utf8(record.entry_name, &scratch_);
      } else if (record.file_name.size() >= 2) {
        scratch_.append("$R");
        append_valid_utf8(record.file_name.substr(2), &scratch_);
      }
      scratch_.push_back(')');
      put_companion_line(companion);
    }
    return sink_->write(line_.data(), line_.size());
  }

 private:
  // The line of what is in the bin, named by scratch_, with its own times.
  void put_companion_line(const CompanionInfo& companion) {
    int64_t atime, mtime, ctime, crtime;
    filetime_to_unix_seconds(companion.times.last_access, &atime);
    filetime_to_unix_seconds(companion.times.last_write, &mtime);
    filetime_to_unix_seconds(companion.times.change, &ctime);
    filetime_to_unix_seconds(companion.times.creation, &crtime);
    put_line(fields_[kCompanionMd5], scratch_, companion.has_entry ? companion.entry : 0, fields_[kCompanionSize], atime,
             mtime, ctime, crtime);
  }

  // One line: MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime;
  // an MD5 not known is "0".
  void put_line(std::string_view md5, std::string_view name, uint64_t inode, std::string_view size, int64_t atime,
                int64_t mtime, int64_t ctime, int64_t crtime) {
    line_.append(md5.empty() ? std::string_view("0") : md5);
    line_.push_back('|');
    append_body_name(name, &line_);
    line_.push_back('|');
    append_unsigned(inode, &line_);
    line_.append("|0|0|0|");
    line_.append(size.empty() ? std::string_view("0") : size);
    for (int64_t t : {atime, mtime, ctime, crtime}) {
      line_.push_back('|');
      append_decimal(t, &line_);
    }
    line_.push_back('\n');
  }

  ReportSink* sink_;
  WriterSettings settings_;
  RecordFields fields_;
  std::string scratch_;
  std::string line_;
};

}  // namespace

std::unique_ptr<ReportWriter> make_body_writer(ReportSink* sink, const WriterSettings& settings) {
  return std::make_unique<BodyWriter>(sink, settings);
}
