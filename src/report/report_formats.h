// The report formats (--format=NAME): one row each, with the name, the
// lines --help-more describes it with, and the writer that writes it.  A
// new format is a writer's file and a row of the table in
// report_formats.cc.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "report/report_sink.h"
#include "report/report_writer.h"

using WriterFactory = std::unique_ptr<ReportWriter> (*)(ReportSink* sink,
                                                        const WriterSettings& settings);

struct ReportFormatRow {
  const char* name;  // lower case, as --format names it
  // What --help-more says of it: lines of at most 61 characters, joined
  // with "\n".
  const char* help;
  // Records in UTF-8 for another program to read: standard output holds
  // nothing but the report.
  bool utf8;
  WriterFactory make;
};

// Every format, the default (seed) first.
std::span<const ReportFormatRow> report_formats();
// The format of that name; null for none.
const ReportFormatRow* find_report_format(std::string_view name);
// The names of the formats, in the table's order.
std::span<const std::string_view> report_format_names();
// A writer of the format `name`, writing to `sink` (which must outlive it);
// null for a name no format has.
std::unique_ptr<ReportWriter> make_report_writer(std::string_view name, ReportSink* sink,
                                                 const WriterSettings& settings);
// The same, for the UTF-8 formats only: null for the seed report too.
std::unique_ptr<ReportWriter> make_structured_writer(std::string_view name, ReportSink* sink,
                                                     const WriterSettings& settings);
// The formats as --help-more lists them: each name, then its help lines,
// indented under one another.
std::string report_format_help();
