// The layout of a recycle-bin index file ($I file), versions 1 and 2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decode/record_parser.h"
#include "decode/recycle_record.h"
#include "platform/platform.h"

constexpr size_t kVersion1NameOffset = 24;
constexpr size_t kVersion2NameOffset = 28;

// Version 1 files of 543 bytes copied from some Vista bins lost a byte of
// their size field: the deletion time starts at byte 15, the path at 23.
constexpr size_t kOneByteShortSize = 543;
constexpr size_t kOneByteShortTimeOffset = 15;
constexpr size_t kOneByteShortPathOffset = 23;

// Fills the index file's part of `record` (format, fields, original path
// and the warnings the bytes alone give) from the `size` bytes read from it.
// `run_start` is when the run started, for implausible deletion times.
void decode_index_bytes(const unsigned char* data, size_t size, FileTime run_start,
                        RecycleRecord* record);
// Reads a version 1 file of kOneByteShortSize bytes (`data`, decoded into
// `record` as laid out) one byte early when its bytes there hold a
// plausible deletion time and a whole path: the record then carries those,
// no size, the fields as laid out (for the seed report) and the warning
// "one-byte-short".  False, leaving the record as it is, otherwise.
bool read_one_byte_short(const unsigned char* data, FileTime run_start, RecycleRecord* record);
// True when a deletion time is implausible: 0, not convertible, outside the
// years 1601 to 9999, before 1995, or more than a day after the run started.
bool deletion_time_implausible(FileTime deleted, FileTime run_start);
// Whether UTF-16LE text holds a surrogate without its partner.
bool has_lone_surrogate(const unsigned char* units, size_t count);

// The parser of index files: it takes every file (an unknown layout is a
// record of unknown version), so it is the table's last.
const RecordParser& index_file_parser();
