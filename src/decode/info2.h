// The INFO2 index of a pre-Vista recycle bin (RECYCLER\<SID>\INFO2 on NTFS,
// RECYCLED\INFO2 or, on Windows 95, RECYCLED\INFO on FAT): one file for the
// whole folder, the items themselves renamed Dc<N><ext>.
//
// Layout, little-endian: a 20-byte header (bytes 0-3 the version, 0, 2, 4 or
// 5; bytes 4-11 counters that are not trusted; bytes 12-15 the record size,
// 280 or 800; bytes 16-19 unused here), then records of that size:
//
//   0    260  original path, system ANSI code page, NUL-terminated
//   260    4  record number N (the item is Dc<N><ext>)
//   264    4  drive number, 0 = A: ... 25 = Z:, 26 = network share
//   268    8  deletion time, FILETIME
//   276    4  original size, unsigned
//   280  520  (800-byte records) original path, UTF-16LE, NUL-terminated
//
// A record whose first ANSI byte is 0 names an item that was restored or
// purged.  Everything here is a view over the caller's buffer: nothing is
// copied or allocated, and nothing outside the buffer is ever read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "decode/record_parser.h"
#include "platform/codepage.h"
#include "platform/platform.h"

constexpr size_t kInfo2HeaderSize = 20;
constexpr uint32_t kInfo2ShortRecord = 280;  // Windows 95, 98, Me
constexpr uint32_t kInfo2LongRecord = 800;   // NT 4, 2000, XP, Server 2003
constexpr size_t kInfo2AnsiPathBytes = 260;
constexpr size_t kInfo2RecordNumberOffset = 260;
constexpr size_t kInfo2DriveOffset = 264;
constexpr size_t kInfo2TimeOffset = 268;
constexpr size_t kInfo2SizeOffset = 276;
constexpr size_t kInfo2Utf16PathOffset = 280;
constexpr size_t kInfo2Utf16PathUnits = 260;
constexpr uint32_t kInfo2NetworkDrive = 26;

// True for "INFO2" and "INFO" in any case.
bool is_info2_name(const char* name);

// The two header fields that are checked; the counters are not kept.
struct Info2Header {
  uint32_t version = 0;
  uint32_t record_size = 0;
};

bool info2_version_known(uint32_t version);          // 0, 2, 4 or 5
bool info2_record_size_known(uint32_t record_size);  // 280 or 800

// Reads the header of the `size` bytes of an INFO2 file.  True when the
// header is whole and both its version and its record size are known; the
// file is then read as INFO2.  False otherwise, and the file is an ordinary
// file of unknown version; `header` still receives the fields that were
// whole in the data (the rest stay 0), so that the caller can say which
// check failed.
bool parse_info2_header(const unsigned char* data, size_t size, Info2Header* header);

// Records in `size` bytes of a file whose header checked out: the whole
// ones, and whether a partial record follows them.  Only the file's length
// counts, never the header's counters.
size_t info2_whole_records(const Info2Header& header, size_t size);
bool info2_has_partial_record(const Info2Header& header, size_t size);
// Whole records plus the partial one, if any: the entries to show.
size_t info2_entry_count(const Info2Header& header, size_t size);

// One record, as views into the file's bytes.
struct Info2Entry {
  // The last record of a file that ends inside it.  Only the fields that
  // lie wholly inside the file are present (the has_ flags); a path field
  // cut short holds the bytes that are there and is not terminated.
  bool truncated = false;

  // The ANSI path without its terminator.  For a restored or purged record
  // (first byte 0) it is the rest of the field after that byte.
  const unsigned char* ansi_path = nullptr;
  size_t ansi_length = 0;
  bool ansi_terminated = false;  // a NUL ends it within the field (and the file)

  bool restored_or_purged = false;
  // For a restored or purged record whose remaining ANSI path is not empty:
  // the character the zeroed first byte held, from the drive number
  // ('A' + drive for 0 to 25, '\\' for a network share); otherwise 0.
  char drive_prefix = 0;

  bool has_record_number = false;
  bool has_drive_number = false;
  bool has_deleted = false;
  bool has_size = false;
  uint32_t record_number = 0;
  uint32_t drive_number = 0;
  FileTime deleted = 0;
  uint32_t size = 0;

  // 800-byte records: the UTF-16LE path without its terminator (units of
  // two bytes; a cut record keeps its whole units only).
  bool has_utf16_field = false;
  const unsigned char* utf16_path = nullptr;
  size_t utf16_units = 0;
  bool utf16_terminated = false;

  // The UTF-16 path names the item when the record has one that is not
  // empty; otherwise the ANSI path does (with drive_prefix before it).  In
  // a record cut short, a UTF-16 path that is cut too gives way to an ANSI
  // path that is whole.
  bool uses_utf16() const {
    if (!has_utf16_field || utf16_units == 0) return false;
    return utf16_terminated || !truncated || !ansi_terminated;
  }
  // Whether the path that names the item ends with its terminator.
  bool display_path_terminated() const {
    return uses_utf16() ? utf16_terminated : ansi_terminated;
  }
};

// Fills `entry` with record `index` (0-based; index info2_whole_records()
// is the partial record when there is one).  False when there is no such
// record.
bool get_info2_entry(const unsigned char* data, size_t size, const Info2Header& header,
                     size_t index, Info2Entry* entry);

// Fills `entry` from one record of `record_size` bytes (280 or 800) of which
// the first `avail` (1 to record_size) are at `record`: fewer is the last
// record of a file that ends inside it.  Nothing past `avail` is read.  A
// file's records can so be read piece by piece, in order.
void parse_info2_record(const unsigned char* record, size_t avail, uint32_t record_size,
                        Info2Entry* entry);

// Appends the ANSI path that names the item, as bytes: drive_prefix (if
// any), then the ANSI path.  The report of the system's own layout writes
// names this way.
void append_info2_ansi_path(std::string* out, const Info2Entry& entry);

// Appends the path that names the item as UTF-8: the UTF-16 path when
// uses_utf16() (a lone surrogate becomes U+FFFD and sets *lone_surrogate),
// else the ANSI path decoded from `codepage`.
void append_info2_path_utf8(std::string* out, const Info2Entry& entry, const char* codepage,
                            bool* lone_surrogate);

// Appends the name of the item in the bin, "Dc<N><ext>": N the record number
// in decimal, <ext> the dot and the text after the last "." of the last
// component (after the last "\", or "/", which Windows also takes as a
// separator, so that no crafted path names a file outside the bin) of the
// path that names the item, when that text is not empty.  The name is looked up in the file system as UTF-8, the
// way Linux presents both NTFS and FAT long names: a UTF-16 extension is
// encoded as UTF-8 (a lone surrogate as U+FFFD), an ANSI extension is
// decoded from `codepage` (only when the path holds a byte above 0x7F;
// otherwise its bytes are copied).  False, with nothing appended, when the
// record number is not in the data.
bool append_dc_name(std::string* out, const Info2Entry& entry,
                    const char* codepage = kDefaultCodepage);

// Fills the record's format, fields, path and the warnings the bytes alone
// give from one INFO2 record (`run_start`: when the run started, for
// implausible deletion times).
void fill_info2_record(const Info2Entry& entry, FileTime run_start, RecycleRecord* record);

// The parser of INFO2 files (info2_parser.cc): it claims the names
// is_info2_name() accepts and declines a file whose header does not check
// out.
const RecordParser& info2_parser();
