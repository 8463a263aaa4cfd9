// The csv format: RFC 4180 (comma-separated, CRLF line ends, fields quoted
// when they hold a comma, a quote, CR or LF), a header line of the field
// names, one line per record.
#include <memory>
#include <string>

#include "report/record_fields.h"
#include "report/report_writer.h"

namespace {

class CsvWriter final : public ReportWriter {
 public:
  CsvWriter(ReportSink* sink, const WriterSettings& settings) : sink_(sink), settings_(settings) {
    line_.reserve(4096);
    scratch_.reserve(256);
  }

  bool write_header() override {
    line_.clear();
    append_delimited_header(',', "\r\n", &line_);
    return sink_->write(line_.data(), line_.size());
  }

  bool write_record(const RecycleRecord& record) override {
    fields_.fill(record, settings_.codepage);
    line_.clear();
    append_delimited_line(fields_, ',', "\r\n", &scratch_, &line_);
    return sink_->write(line_.data(), line_.size());
  }

 private:
  ReportSink* sink_;
  WriterSettings settings_;
  RecordFields fields_;
  std::string scratch_;
  std::string line_;
};

}  // namespace

std::unique_ptr<ReportWriter> make_csv_writer(ReportSink* sink, const WriterSettings& settings) {
  return std::make_unique<CsvWriter>(sink, settings);
}
