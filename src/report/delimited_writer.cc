#include "report/delimited_writer.h"

#include <string>

#include "report/record_fields.h"

namespace {

class DelimitedWriter final : public ReportWriter {
 public:
  DelimitedWriter(ReportSink* sink, const WriterSettings& settings, char separator,
                  const char* line_end)
      : sink_(sink), settings_(settings), separator_(separator), line_end_(line_end) {
    line_.reserve(4096);
    scratch_.reserve(256);
  }

  bool write_header() override {
    line_.clear();
    append_delimited_header(separator_, line_end_, &line_);
    return sink_->write(line_.data(), line_.size());
  }

  bool write_record(const RecycleRecord& record) override {
    fields_.fill(record, settings_.codepage);
    line_.clear();
    append_delimited_line(fields_, separator_, line_end_, &scratch_, &line_);
    return sink_->write(line_.data(), line_.size());
  }

 private:
  ReportSink* sink_;
  WriterSettings settings_;
  char separator_;
  const char* line_end_;
  RecordFields fields_;
  std::string scratch_;
  std::string line_;
};

}  // namespace

std::unique_ptr<ReportWriter> make_delimited_writer(ReportSink* sink, const WriterSettings& settings,
                                                    char separator, const char* line_end) {
  return std::make_unique<DelimitedWriter>(sink, settings, separator, line_end);
}
