// Index records found by their content in raw bytes (a volume's
// unallocated clusters, a pagefile, a memory image), where no file system
// lists them any more.  Three layouts are recognised:
//
//  - at an offset that is a multiple of 8, a version 2 $I record: the
//    8-byte version 2, a size from 0 to 2^48, a plausible deletion time (1995
//    to a day after the run started), a name length of 4 to 32,767 units,
//    then that many UTF-16 units, the last 0, the first three a letter, ":"
//    and "\" (or the first two "\\");
//  - at a multiple of 8, a version 1 $I record: the 8-byte version 1, the
//    same size and time, and a path that starts the same way and ends with
//    its terminator within the 520 bytes after the fixed fields;
//  - at a multiple of 4, an 800-byte INFO2 record whose UTF-16 path starts
//    the same way, whose ANSI path has the same length and the same
//    characters wherever both are ASCII, and whose deletion time is
//    plausible.
//
// The test is a pure function of a window of bytes.  The scanner feeds it
// blocks read into a buffer of its own, carrying the bytes a record may
// still need across the blocks' boundaries, and hands each record found to
// a ScanHits (the decoder), which decodes it as any index record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "decode/recycle_record.h"
#include "platform/platform.h"

// The most bytes a record can take: a version 2 record with the longest name.
constexpr size_t kLongestScannedRecord = 28 + 2 * 32767;
// The bytes of a version 1 record: the fixed fields and the 520-byte name.
constexpr size_t kVersion1RecordBytes = 24 + 520;
constexpr size_t kInfo2ScannedRecordBytes = 800;
// What the scanner reads at a time.
constexpr size_t kScanBlockSize = size_t{4} << 20;

// Whether the `available` bytes at `p`, which lie at `offset` in what is
// scanned, start a record: its format (kV1, kV2 or kInfo2) and, in
// *length, the bytes it takes (for a version 1 record, the 544 bytes of
// its layout or what is available of them); kUnknown when they do not.
// `run_start` is when the run started (deletion times up to a day later
// are plausible).  Nothing at or beyond p + available is read.
RecordFormat scanned_record_at(const unsigned char* p, size_t available, uint64_t offset,
                               FileTime run_start, size_t* length);

// Fills the bytes' part of `record` from a record found by the scan
// (`format` and `length` as scanned_record_at() gave them), as the parsers
// of index files and of INFO2 files fill it.
void decode_scanned_record(RecordFormat format, const unsigned char* bytes, size_t length,
                           FileTime run_start, RecycleRecord* record);

// Where the scanner's records go.
class ScanHits {
 public:
  virtual ~ScanHits() = default;
  // A record of `format` at `offset`, its `length` bytes at `bytes` (valid
  // during the call).  False ends the scan (the report could not be
  // written).
  virtual bool hit(RecordFormat format, uint64_t offset, const unsigned char* bytes,
                   size_t length) = 0;
};

// Scans bytes handed to it block by block.  Its buffer is made once; no
// block costs an allocation.
class RecordScanner {
 public:
  // `buffer` is grown to the scanner's size once, and may be shared by
  // scans that follow one another.
  RecordScanner(std::vector<unsigned char>* buffer, FileTime run_start, ScanHits* hits);

  // Records at these offsets (sorted) were given already: they are passed
  // over.
  void skip_offsets(std::span<const uint64_t> offsets) { skip_ = offsets; }

  // Where the next bytes go, and how many fit there (kScanBlockSize).
  unsigned char* space(size_t* room);
  // `size` bytes were put at space(), the first at `offset`.  Bytes that do
  // not follow those before them begin anew (a record does not cross the
  // gap).  False when a record could not be taken.
  bool filled(uint64_t offset, size_t size);
  // No more bytes: the last ones are scanned.  False when a record could
  // not be taken.
  bool finish();

 private:
  // Tests the positions from next_ up to `until` (indexes into the
  // buffer), each with the bytes up to `end` at its disposal.
  bool scan_range(size_t until, size_t end);
  bool test_at(size_t position, size_t end);

  std::vector<unsigned char>& buffer_;
  FileTime run_start_;
  ScanHits* hits_;
  std::span<const uint64_t> skip_;
  uint64_t start_ = 0;   // the offset of buffer_[0]
  size_t end_ = 0;       // bytes held
  size_t next_ = 0;      // the next position to test
};
