// The kinds of record the parsers give, and the names the reports use for
// them, for their companions and for their warnings.  A new kind of record
// is a new row of the table in record_formats.cc.
#pragma once

#include <string_view>

#include "decode/recycle_record.h"

struct RecordFormatRow {
  RecordFormat format;
  std::string_view name;  // "v1", as the UTF-8 formats write it
  // The companion is the file the record's entry_name names ("Dc<N><ext>"
  // beside an INFO2 file), not the index file's name with "$R" in place
  // of its first two characters.
  bool companion_is_entry;
};

// The row of `format`.
const RecordFormatRow& record_format_row(RecordFormat format);
// The name of the record's format: "unknown" for a file that could not be
// opened, whatever the format field holds.
std::string_view record_format_name(const RecycleRecord& record);
// "file", "directory", "missing" or "other".
std::string_view companion_kind_name(CompanionKind kind);
// The name of warning bit `index` (0 for kWarnCannotOpen); "" past the last.
std::string_view warning_name(int index);
