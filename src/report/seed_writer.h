// The report's own format: a "|"-separated row of twelve columns per index
// file, in 8-bit text.
#pragma once

#include <memory>

#include "report/report_writer.h"

// The header line, newline included.
extern const char kReportHeader[];

// The row (or "Can't open" message) of one record, newline included.
class RowBuffer;
void format_seed_record(RowBuffer* row, const RecycleRecord& record);

// The whole row for `size` bytes read from an index file named `file_name`,
// with its companion's times (null when it is gone), newline included.
struct CompanionTimes;
void format_report_row(RowBuffer* row, const char* file_name, const unsigned char* data,
                       size_t size, const CompanionTimes* companion);
