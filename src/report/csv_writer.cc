// The csv format: RFC 4180 (comma-separated, CRLF line ends, fields quoted
// when they hold a comma, a quote, CR or LF), a header line of the field
// names, one line per record.
#include <memory>

#include "report/delimited_writer.h"
#include "report/report_writer.h"

std::unique_ptr<ReportWriter> make_csv_writer(ReportSink* sink, const WriterSettings& settings) {
  return make_delimited_writer(sink, settings, ',', "\r\n");
}
