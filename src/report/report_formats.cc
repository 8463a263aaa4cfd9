#include "report/report_formats.h"

#include <vector>

// The writers the table names, each in a file of its own.
std::unique_ptr<ReportWriter> make_seed_writer(ReportSink* sink, const WriterSettings& settings);
std::unique_ptr<ReportWriter> make_csv_writer(ReportSink* sink, const WriterSettings& settings);
std::unique_ptr<ReportWriter> make_tsv_writer(ReportSink* sink, const WriterSettings& settings);
std::unique_ptr<ReportWriter> make_jsonl_writer(ReportSink* sink, const WriterSettings& settings);
std::unique_ptr<ReportWriter> make_body_writer(ReportSink* sink, const WriterSettings& settings);

namespace {

const ReportFormatRow kReportFormats[] = {
    {"seed", "the classic \"|\" report, 8-bit text (the default)", false, make_seed_writer},
    {"csv",
     "comma-separated values (RFC 4180): CRLF line ends, a header\n"
     "line, fields quoted when they hold a comma, quote, CR or LF",
     true, make_csv_writer},
    {"tsv",
     "tab-separated values: LF line ends, a header line; tab, CR,\n"
     "LF and backslash in a field written as \\t \\r \\n \\\\",
     true, make_tsv_writer},
    {"jsonl",
     "one JSON object per line: empty fields null, size and\n"
     "companion_size numbers, warnings an array of strings",
     true, make_jsonl_writer},
    {"body",
     "The Sleuth Kit's body file for mactime and timeline tools:\n"
     "a line for each deletion, and one for the recycled content\n"
     "($R entry or Dc file) where it still exists",
     true, make_body_writer},
};

constexpr size_t kNameColumn = 9;  // the help lines start after it

}  // namespace

std::span<const ReportFormatRow> report_formats() { return kReportFormats; }

const ReportFormatRow* find_report_format(std::string_view name) {
  for (const ReportFormatRow& row : kReportFormats)
    if (name == row.name) return &row;
  return nullptr;
}

std::span<const std::string_view> report_format_names() {
  static const std::vector<std::string_view> kNames = [] {
    std::vector<std::string_view> names;
    for (const ReportFormatRow& row : kReportFormats) names.emplace_back(row.name);
    return names;
  }();
  return kNames;
}

std::unique_ptr<ReportWriter> make_report_writer(std::string_view name, ReportSink* sink,
                                                 const WriterSettings& settings) {
  const ReportFormatRow* row = find_report_format(name);
  return row ? row->make(sink, settings) : nullptr;
}

std::unique_ptr<ReportWriter> make_structured_writer(std::string_view name, ReportSink* sink,
                                                     const WriterSettings& settings) {
  const ReportFormatRow* row = find_report_format(name);
  return row && row->utf8 ? row->make(sink, settings) : nullptr;
}

std::string report_format_help() {
  std::string text;
  for (const ReportFormatRow& row : kReportFormats) {
    std::string_view name = row.name;
    text.append("    ").append(name);
    text.append(name.size() < kNameColumn ? kNameColumn - name.size() : 1, ' ');
    for (const char* line = row.help; *line;) {
      const char* end = line;
      while (*end && *end != '\n') ++end;
      if (line != row.help) text.append(4 + kNameColumn, ' ');
      text.append(line, static_cast<size_t>(end - line)).push_back('\n');
      line = *end ? end + 1 : end;
    }
  }
  return text;
}
