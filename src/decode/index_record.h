// The layout of a recycle-bin index file ($I file), versions 1 and 2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "decode/recycle_record.h"

constexpr size_t kIndexReadSize = 65536;  // bytes of an index file ever read
constexpr size_t kVersion1NameOffset = 24;
constexpr size_t kVersion2NameOffset = 28;
constexpr size_t kNoExtension = SIZE_MAX;

// The decoded content of one index file.  The name points into the bytes
// that were read; it is UTF-16LE, `name_units` code units long, without its
// terminator.
struct RecycleIndexRecord {
  uint32_t version = 0;
  int64_t file_size = 0;
  FileTime deleted_time = 0;
  bool deleted_time_valid = false;  // false when the time cannot be broken down
  SystemTime deleted;               // UTC breakdown of deleted_time
  const unsigned char* original_name = nullptr;
  size_t name_units = 0;
  // Index of the first code unit after the name's last ".", or kNoExtension.
  size_t extension_start = kNoExtension;
};

// Fills the index file's part of `record` (format, fields, original path
// and the warnings the bytes alone give) from the `size` bytes read from it.
// `run_start` is when the run started, for implausible deletion times.
void decode_index_bytes(const unsigned char* data, size_t size, FileTime run_start,
                        RecycleRecord* record);
// The view of a decoded record that the seed report's row is made from.
// False when the record has no fixed fields to show.
bool seed_view(const RecycleRecord& record, RecycleIndexRecord* out);
// True when a deletion time is implausible: 0, not convertible, outside the
// years 1601 to 9999, before 1995, or more than a day after the run started.
bool deletion_time_implausible(FileTime deleted, FileTime run_start);
// Whether UTF-16LE text holds a surrogate without its partner.
bool has_lone_surrogate(const unsigned char* units, size_t count);
