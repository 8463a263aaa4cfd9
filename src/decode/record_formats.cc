#include "decode/record_formats.h"

namespace {

constexpr RecordFormatRow kRecordFormats[] = {
    {RecordFormat::kUnknown, "unknown", false},
    {RecordFormat::kV1, "v1", false},
    {RecordFormat::kV2, "v2", false},
    {RecordFormat::kInfo2, "info2", true},
    {RecordFormat::kContent, "content", false},
};

constexpr std::string_view kWarningNames[kWarningCount] = {
    "cannot-open",    "truncated",      "unknown-version",    "name-length-mismatch",
    "size-mismatch",  "time-out-of-range", "lone-surrogate", "restored-or-purged",
    "recovered",      "one-byte-short", "size-out-of-range", "codepage-undefined",
    "scanned",        "companion-deleted"};

constexpr std::string_view kCompanionKindNames[] = {"missing", "file", "directory", "other"};

}  // namespace

const RecordFormatRow& record_format_row(RecordFormat format) {
  for (const RecordFormatRow& row : kRecordFormats)
    if (row.format == format) return row;
  return kRecordFormats[0];
}

std::string_view record_format_name(const RecycleRecord& record) {
  return record.opened ? record_format_row(record.format).name : kRecordFormats[0].name;
}

std::string_view companion_kind_name(CompanionKind kind) {
  const size_t index = static_cast<size_t>(kind);
  return index < sizeof kCompanionKindNames / sizeof kCompanionKindNames[0]
             ? kCompanionKindNames[index]
             : kCompanionKindNames[0];
}

std::string_view warning_name(int index) {
  return index >= 0 && index < kWarningCount ? kWarningNames[index] : "";
}
