// The tsv format: tab-separated, LF line ends, a header line of the field
// names, one line per record; tab, CR, LF and backslash in a field written
// as "\t", "\r", "\n" and "\\".
#include <memory>

#include "report/delimited_writer.h"
#include "report/report_writer.h"

std::unique_ptr<ReportWriter> make_tsv_writer(ReportSink* sink, const WriterSettings& settings) {
  return make_delimited_writer(sink, settings, '\t', "\n");
}
