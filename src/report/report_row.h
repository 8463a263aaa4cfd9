// Formatting of one report row, built in a buffer that is reused for every
// file so that the row can be written with one call.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "decode/recycle_record.h"
#include "platform/platform.h"
#include "report/companion_times.h"

constexpr size_t kNoExtension = SIZE_MAX;

// The fields of a decoded record that the seed report's row is made from.
// The name points into the bytes that were read; it is UTF-16LE,
// `name_units` code units long, without its terminator.
struct SeedFields {
  int64_t file_size = 0;
  FileTime deleted_time = 0;
  bool deleted_time_valid = false;  // false when the time cannot be broken down
  SystemTime deleted;               // UTC breakdown of deleted_time
  const unsigned char* original_name = nullptr;
  size_t name_units = 0;
  // Index of the first code unit after the name's last ".", or kNoExtension.
  size_t extension_start = kNoExtension;
};

// The seed view of a record; false when it has no fixed fields to show.
bool seed_view(const RecycleRecord& record, SeedFields* out);

// The characters are put straight into a buffer that is big enough for any
// row of an index file (its name is read from at most 64 KiB); a longer text
// makes it grow.
class RowBuffer {
 public:
  RowBuffer() : text_(96 * 1024) {}
  void clear() { size_ = 0; }
  void put(char c) {
    if (size_ == text_.size()) grow(1);
    text_[size_++] = c;
  }
  void put(const char* s, size_t n) {
    if (text_.size() - size_ < n) grow(n);
    memcpy(text_.data() + size_, s, n);
    size_ += n;
  }
  void put(const char* s) { put(s, strlen(s)); }
  void put_padding(char c, size_t n) {
    if (text_.size() - size_ < n) grow(n);
    memset(text_.data() + size_, c, n);
    size_ += n;
  }
  // An unsigned number, right-aligned in `width` characters filled with `fill`.
  void put_number(uint64_t value, size_t width, char fill);
  const char* data() const { return text_.data(); }
  size_t size() const { return size_; }

 private:
  void grow(size_t more);

  std::vector<char> text_;
  size_t size_ = 0;
};

// The literal that stands for the six companion columns when the $R entry
// is gone.
extern const char kNoCompanionColumns[];

// Appends "%20s|": the index file's name right-aligned in 20 characters.
void append_name_column(RowBuffer* row, const char* file_name);
void append_name_column(RowBuffer* row, const char* file_name, size_t length);
// Appends columns 2 to 4: size, deletion date and time (the zero date when
// `deleted_valid` is false).
void append_size_and_time_columns(RowBuffer* row, int64_t size, bool deleted_valid,
                                  const SystemTime& deleted);
// Appends columns 2 to 6 of a decoded record: size, deletion date and time,
// extension and original name.
void append_record_columns(RowBuffer* row, const SeedFields& record);
// Appends the six companion columns, or the N/A literal when `times` is null.
void append_companion_columns(RowBuffer* row, const CompanionTimes* times);

// Appends 8-bit text (a file name or path) for the report: control
// characters and "|", which would break the row apart, as "?".
void append_report_text(RowBuffer* row, const char* text, size_t len);

// Writes UTF-16LE code units as 8-bit text: U+0020 to U+00FF as that byte,
// every other character (a surrogate pair is one, and so is a control
// character or "|") as "?".  At most
// `max_chars` characters; returns how many were written.
size_t append_utf16_as_latin1(RowBuffer* row, const unsigned char* units, size_t count,
                              size_t max_chars);
// How many characters append_utf16_as_latin1 would write, at most `max_chars`.
size_t utf16_char_count(const unsigned char* units, size_t count, size_t max_chars);
