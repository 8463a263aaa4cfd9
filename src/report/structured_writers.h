// The UTF-8 report formats: CSV, TSV, JSON lines and The Sleuth Kit's body
// file.  Each writes one line (the body file: one or two) per record, in a
// single write to the report's destinations.
#pragma once

#include <memory>

#include "report/report_writer.h"

// A writer of the format `format` (kCsv, kTsv, kJsonLines or kBody; null for
// any other).  `sink` must outlive the writer.
std::unique_ptr<ReportWriter> make_structured_writer(ReportFormat format, ReportSink* sink,
                                                     const WriterSettings& settings);
