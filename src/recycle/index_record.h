// The layout of a recycle-bin index file ($I file), versions 1 and 2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

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

// Decodes the `size` bytes read from an index file.  False when they hold no
// record: a version other than 1 or 2, or fewer bytes than the version's
// fixed fields.  A name without terminator runs to the last whole code unit
// read.
bool parse_index_record(const unsigned char* data, size_t size, RecycleIndexRecord* record);
