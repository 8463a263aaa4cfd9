#include "report/report_row.h"

#include <cstring>

const char kNoCompanionColumns[] = " N/A | N/A | N/A | N/A | N/A | N/A | ";

void RowBuffer::grow(size_t more) { text_.resize((size_ + more) * 2); }

void RowBuffer::put_number(uint64_t value, size_t width, char fill) {
  char digits[24];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (n < width) put_padding(fill, width - n);
  if (text_.size() - size_ < n) grow(n);
  while (n > 0) text_[size_++] = digits[--n];
}

namespace {

uint16_t unit_at(const unsigned char* units, size_t i) {
  return static_cast<uint16_t>(units[2 * i] | units[2 * i + 1] << 8);
}

// Characters that would break a row apart: control characters (a newline
// would split the row, escape sequences would rewrite the screen) and the
// column separator.  Windows allows neither in a path, so they come only
// from damaged or forged data, and are written as "?".
bool breaks_row(unsigned c) { return c < 0x20 || c == '|'; }

bool is_high_surrogate(uint16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(uint16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Walks the characters of a UTF-16 text; calls emit(byte) for each.
template <typename Emit>
size_t for_each_char(const unsigned char* units, size_t count, size_t max_chars, Emit emit) {
  size_t chars = 0;
  for (size_t i = 0; i < count && chars < max_chars; ++i, ++chars) {
    const uint16_t u = unit_at(units, i);
    if (u >= 1 && u <= 0xFF && !breaks_row(u)) {
      emit(static_cast<char>(u));
      continue;
    }
    if (is_high_surrogate(u) && i + 1 < count && is_low_surrogate(unit_at(units, i + 1))) ++i;
    emit('?');
  }
  return chars;
}

void put_two(RowBuffer* row, int value) {
  row->put_number(static_cast<uint64_t>(value < 0 ? 0 : value), 2, '0');
}

void append_companion_pair(RowBuffer* row, const FileTimeParts& t, char suffix) {
  row->put("  ", 2);
  row->put_number(static_cast<uint64_t>(t.year < 0 ? 0 : t.year), 4, '0');
  row->put('-');
  put_two(row, t.month);
  row->put('-');
  put_two(row, t.day);
  row->put('|');
  put_two(row, t.hour);
  row->put(':');
  put_two(row, t.minute);
  row->put(':');
  put_two(row, t.second);
  row->put(suffix);
  row->put('|');
}

}  // namespace

size_t append_utf16_as_latin1(RowBuffer* row, const unsigned char* units, size_t count,
                              size_t max_chars) {
  return for_each_char(units, count, max_chars, [row](char c) { row->put(c); });
}

size_t utf16_char_count(const unsigned char* units, size_t count, size_t max_chars) {
  return for_each_char(units, count, max_chars, [](char) {});
}

void append_name_column(RowBuffer* row, const char* file_name) {
  append_name_column(row, file_name, strlen(file_name));
}

void append_name_column(RowBuffer* row, const char* file_name, size_t len) {
  if (len < 20) row->put_padding(' ', 20 - len);
  append_report_text(row, file_name, len);
  row->put('|');
}

void append_report_text(RowBuffer* row, const char* text, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    row->put(breaks_row(c) ? '?' : static_cast<char>(c));
  }
}

namespace {

size_t last_dot(const unsigned char* name, size_t units) {
  for (size_t i = units; i > 0; --i)
    if (name[2 * (i - 1)] == '.' && name[2 * (i - 1) + 1] == 0) return i;
  return kNoExtension;
}

}  // namespace

bool seed_view(const RecycleRecord& record, SeedFields* out) {
  if (!record.has_fields) return false;
  // A file read one byte early shows its fields where the layout puts them.
  const bool laid_out = (record.warnings & kWarnOneByteShort) != 0;
  out->file_size = laid_out ? record.laid_out.size : record.size;
  out->deleted_time = laid_out ? record.laid_out.deleted : record.deleted;
  out->deleted_time_valid = file_time_to_system_time(out->deleted_time, &out->deleted);
  out->original_name = laid_out ? record.laid_out.path_utf16 : record.path_utf16;
  out->name_units = laid_out ? record.laid_out.path_units : record.path_units;
  out->extension_start = last_dot(out->original_name, out->name_units);
  return true;
}

void append_record_columns(RowBuffer* row, const SeedFields& record) {
  append_size_and_time_columns(row, record.file_size, record.deleted_time_valid, record.deleted);

  // The extension: at most 10 characters, right-aligned in 10.
  if (record.extension_start == kNoExtension) {
    row->put("      NONE|");
  } else {
    const unsigned char* ext = record.original_name + 2 * record.extension_start;
    const size_t ext_units = record.name_units - record.extension_start;
    const size_t chars = utf16_char_count(ext, ext_units, 10);
    row->put_padding(' ', 10 - chars);
    append_utf16_as_latin1(row, ext, ext_units, 10);
    row->put('|');
  }

  append_utf16_as_latin1(row, record.original_name, record.name_units, SIZE_MAX);
  row->put('|');
}

void append_size_and_time_columns(RowBuffer* row, int64_t size, bool deleted_valid,
                                  const SystemTime& deleted) {
  // "% 12I64d|": a sign place (space or minus) before the digits.
  const uint64_t magnitude =
      size < 0 ? static_cast<uint64_t>(0) - static_cast<uint64_t>(size) : static_cast<uint64_t>(size);
  char digits[24];
  size_t n = 0;
  uint64_t v = magnitude;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (n + 1 < 12) row->put_padding(' ', 12 - (n + 1));
  row->put(size < 0 ? '-' : ' ');
  while (n > 0) row->put(digits[--n]);
  row->put('|');

  // "  %4d-%02d-%02d|" and "    %02d:%02d:%02d|"
  if (deleted_valid) {
    const SystemTime& t = deleted;
    row->put("  ", 2);
    row->put_number(t.year, 4, ' ');
    row->put('-');
    row->put_number(t.month, 2, '0');
    row->put('-');
    row->put_number(t.day, 2, '0');
    row->put("|    ", 5);
    row->put_number(t.hour, 2, '0');
    row->put(':');
    row->put_number(t.minute, 2, '0');
    row->put(':');
    row->put_number(t.second, 2, '0');
    row->put('|');
  } else {
    row->put("  0000-00-00|    00:00:00|");
  }
}

void append_companion_columns(RowBuffer* row, const CompanionTimes* times) {
  if (!times) {
    row->put(kNoCompanionColumns, sizeof kNoCompanionColumns - 1);
    return;
  }
  append_companion_pair(row, times->modified, 'm');
  append_companion_pair(row, times->accessed, 'a');
  append_companion_pair(row, times->created, 'c');
}
