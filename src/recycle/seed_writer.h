// The report's own format: a "|"-separated row of twelve columns per index
// file, in 8-bit text.
#pragma once

#include <memory>

#include "recycle/report_writer.h"

std::unique_ptr<ReportWriter> make_seed_writer(ReportSink* sink);

// The row (or "Can't open" message) of one record, newline included.
class RowBuffer;
void format_seed_record(RowBuffer* row, const RecycleRecord& record);
