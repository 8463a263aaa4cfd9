// The jsonl format: one JSON object per record and line, the field names as
// keys in their order; size and companion_size numbers, empty fields null,
// warnings always an array of strings.  No header line.
#include <memory>
#include <string>

#include "decode/record_formats.h"
#include "report/record_fields.h"
#include "report/record_text.h"
#include "report/report_writer.h"

namespace {

class JsonlWriter final : public ReportWriter {
 public:
  JsonlWriter(ReportSink* sink, const WriterSettings& settings)
      : sink_(sink), settings_(settings) {
    line_.reserve(4096);
  }

  bool write_header() override { return true; }

  bool write_record(const RecycleRecord& record) override {
    fields_.fill(record, settings_.codepage);
    line_.clear();
    line_.push_back('{');
    for (int f = 0; f < kFieldCount; ++f) {
      if (f > 0) line_.push_back(',');
      line_.push_back('"');
      line_.append(record_field_name(f));
      line_.append("\":");
      if (f == kWarnings) {
        line_.push_back('[');
        bool first = true;
        for (int i = 0; i < kWarningCount; ++i) {
          if (!(fields_.warnings() & (1u << i))) continue;
          if (!first) line_.push_back(',');
          first = false;
          append_json_string(warning_name(i), &line_);
        }
        line_.push_back(']');
      } else if (fields_[f].empty()) {
        line_.append("null");
      } else if (record_field_is_number(f)) {
        line_.append(fields_[f]);
      } else {
        append_json_string(fields_[f], &line_);
      }
    }
    line_.append("}\n");
    return sink_->write(line_.data(), line_.size());
  }

 private:
  ReportSink* sink_;
  WriterSettings settings_;
  RecordFields fields_;
  std::string line_;
};

}  // namespace

std::unique_ptr<ReportWriter> make_jsonl_writer(ReportSink* sink, const WriterSettings& settings) {
  return std::make_unique<JsonlWriter>(sink, settings);
}
