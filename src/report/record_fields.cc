#include "report/record_fields.h"

#include "decode/record_formats.h"
#include "platform/codepage.h"
#include "report/record_text.h"

namespace {

constexpr const char* kFieldNames[kFieldCount] = {
    "source",         "user_sid",           "format",             "size",
    "deleted",        "original_path",      "extension",          "companion",
    "companion_size", "companion_modified", "companion_accessed", "companion_created",
    "warnings",       "entry_name",         "index_created",      "index_modified",
    "companion_changed", "image",           "volume",             "entry",
    "offset",         "user_name",          "parent_source",      "companion_md5",
    "companion_sha1", "companion_sha256",   "zone_id",            "host_url",
    "referrer_url"};

}  // namespace

const char* record_field_name(int field) { return kFieldNames[field]; }

bool record_field_is_number(int field) {
  switch (field) {
    case kSize: case kCompanionSize: case kEntry: case kOffset: case kZoneId: return true;
    default: return false;
  }
}

RecordFields::RecordFields() {
  for (std::string& f : field_) f.reserve(256);
}

void RecordFields::fill(const RecycleRecord& record, const char* codepage) {
  for (std::string& f : field_) f.clear();
  warnings_ = record.warnings;
  deleted_ = 0;
  if (!record.opened) warnings_ |= kWarnCannotOpen;

  std::string& source = field_[kSource];
  append_valid_utf8(record.source_prefix, &source);
  append_valid_utf8(record.directory, &source);
  append_valid_utf8(record.file_name, &source);
  append_valid_utf8(record.user_sid, &field_[kUserSid]);
  field_[kFormat].append(record_format_name(record));

  if (record.opened) {
    if (record.has_size) append_decimal(record.size, &field_[kSize]);
    if (record.has_deleted && append_iso8601(record.deleted, &field_[kDeleted]))
      deleted_ = record.deleted;
    std::string& path = field_[kOriginalPath];
    if (record.path_utf16) {
      if (append_utf16le_as_utf8(record.path_utf16, record.path_units, &path)) {
        warnings_ |= kWarnLoneSurrogate;
      }
    } else if (record.path_ansi) {
      if (record.drive_letter != 0) path.push_back(record.drive_letter);
      if (append_codepage_as_utf8(codepage, record.path_ansi, record.path_ansi_length, &path))
        warnings_ |= kWarnCodepageUndefined;
    }
    if (record.format == RecordFormat::kContent) {
      // An entry inside a recycled folder: where it was below the folder.
      path.push_back('\\');
      append_valid_utf8(record.content_path, &path);
    }
    field_[kExtension].append(path_extension(path));
  }

  const CompanionInfo& companion = record.companion;
  field_[kCompanion].append(companion_kind_name(companion.kind));
  if (companion.kind == CompanionKind::kFile) append_unsigned(companion.size, &field_[kCompanionSize]);
  if (companion.kind != CompanionKind::kMissing) {
    append_iso8601(companion.times.last_write, &field_[kCompanionModified]);
    append_iso8601(companion.times.last_access, &field_[kCompanionAccessed]);
    append_iso8601(companion.times.creation, &field_[kCompanionCreated]);
    append_iso8601(companion.times.change, &field_[kCompanionChanged]);
  }

  std::string& warnings = field_[kWarnings];
  for (int i = 0; i < kWarningCount; ++i) {
    if (!(warnings_ & (1u << i))) continue;
    if (!warnings.empty()) warnings.push_back(';');
    warnings.append(warning_name(i));
  }

  append_valid_utf8(record.entry_name, &field_[kEntryName]);
  append_iso8601(record.index_created, &field_[kIndexCreated]);
  append_iso8601(record.index_modified, &field_[kIndexModified]);
  append_valid_utf8(record.image, &field_[kImage]);
  append_valid_utf8(record.volume, &field_[kVolume]);
  if (record.has_entry) append_unsigned(record.entry, &field_[kEntry]);
  if (record.has_offset) append_unsigned(record.offset, &field_[kOffset]);
  append_valid_utf8(record.user_name, &field_[kUserName]);
  append_valid_utf8(record.parent_source, &field_[kParentSource]);
  field_[kCompanionMd5].append(companion.md5);
  field_[kCompanionSha1].append(companion.sha1);
  field_[kCompanionSha256].append(companion.sha256);
  if (companion.has_zone_id) append_decimal(companion.zone_id, &field_[kZoneId]);
  append_valid_utf8(companion.host_url, &field_[kHostUrl]);
  append_valid_utf8(companion.referrer_url, &field_[kReferrerUrl]);
}

void append_delimited_header(char separator, const char* line_end, std::string* line) {
  for (int f = 0; f < kFieldCount; ++f) {
    if (f > 0) line->push_back(separator);
    line->append(kFieldNames[f]);
  }
  line->append(line_end);
}

void append_delimited_line(const RecordFields& fields, char separator, const char* line_end,
                           std::string* scratch, std::string* line) {
  for (int f = 0; f < kFieldCount; ++f) {
    if (f > 0) line->push_back(separator);
    std::string_view text = fields[f];
    // A spreadsheet must not take a name for a formula.
    if (!record_field_is_number(f) && starts_like_formula(text)) {
      scratch->clear();
      scratch->push_back('\'');
      scratch->append(text);
      text = *scratch;
    }
    if (separator == ',') {
      append_csv_field(text, line);
    } else {
      append_tsv_field(text, line);
    }
  }
  line->append(line_end);
}
