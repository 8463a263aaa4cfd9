// The writer of the delimited formats (csv, tsv): a header line of the
// field names, then one line per record, each written whole in one call.
#pragma once

#include <memory>

#include "report/report_writer.h"

// A writer whose fields are separated by `separator` and whose lines end
// with `line_end` (a string that outlives the writer).
std::unique_ptr<ReportWriter> make_delimited_writer(ReportSink* sink, const WriterSettings& settings,
                                                    char separator, const char* line_end);
