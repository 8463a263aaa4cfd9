// The fields of a record as the UTF-8 formats write them (csv, tsv, jsonl
// and the body file), in their order, filled once per record into strings
// that are kept from record to record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "decode/recycle_record.h"
#include "report/report_writer.h"

enum RecordField {
  kSource,
  kUserSid,
  kFormat,
  kSize,
  kDeleted,
  kOriginalPath,
  kExtension,
  kCompanion,
  kCompanionSize,
  kCompanionModified,
  kCompanionAccessed,
  kCompanionCreated,
  kWarnings,
  kEntryName,
  kIndexCreated,
  kIndexModified,
  kCompanionChanged,
  kImage,
  kVolume,
  kEntry,
  kOffset,
  kUserName,
  kParentSource,
  kCompanionMd5,
  kCompanionSha1,
  kCompanionSha256,
  kZoneId,
  kHostUrl,
  kReferrerUrl,
  kFieldCount
};

// The field's name, as the header lines and the JSON keys give it.
const char* record_field_name(int field);
// Whether the field is a number (a JSON number, never changed in csv and
// tsv), when it is not empty.
bool record_field_is_number(int field);

class RecordFields {
 public:
  RecordFields();
  // Fills every field from `record`; INFO2 ANSI paths are decoded from
  // `codepage`.
  void fill(const RecycleRecord& record, const char* codepage);
  const std::string& operator[](int field) const { return field_[field]; }
  // The warnings as bits (those the record carries, and those found while
  // filling); the kWarnings field holds their names joined with ";".
  uint32_t warnings() const { return warnings_; }
  // The deletion time the deleted field shows; 0 when it shows none.
  FileTime deleted() const { return deleted_; }

 private:
  std::string field_[kFieldCount];
  uint32_t warnings_ = 0;
  FileTime deleted_ = 0;
};

// Appends the header line of a delimited format: the field names, then
// `line_end`.
void append_delimited_header(char separator, const char* line_end, std::string* line);
// Appends the fields as one line of a delimited format (csv with ',', tsv
// with a tab), then `line_end`.  A text field that a spreadsheet would take
// for a formula gets a "'" before it; `scratch` is room for that.
void append_delimited_line(const RecordFields& fields, char separator, const char* line_end,
                           std::string* scratch, std::string* line);
