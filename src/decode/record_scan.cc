#include "decode/record_scan.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "decode/index_record.h"
#include "decode/info2.h"
#include "platform/utf8.h"

static_assert(std::endian::native == std::endian::little,
              "the scan's quick test reads the bytes as little-endian words");

namespace {

constexpr uint64_t kLargestSize = uint64_t{1} << 48;
constexpr size_t kLongestNameUnits = 32767;
// The scanner's buffer: the bytes carried from one block to the next (less
// than the longest record, rounded up) and a block.
constexpr size_t kCarriedBytes = (kLongestScannedRecord + 15) / 8 * 8;
constexpr size_t kScanBufferSize = kCarriedBytes + kScanBlockSize;

bool is_letter(unsigned u) { return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z'); }

// A path as Windows writes an original path: "X:\" or "\\".
bool starts_like_a_path(unsigned u0, unsigned u1, unsigned u2) {
  return (is_letter(u0) && u1 == ':' && u2 == '\\') || (u0 == '\\' && u1 == '\\');
}

unsigned unit_at(const unsigned char* p, size_t i) { return read_le16(p + 2 * i); }

bool plausible_size_and_time(const unsigned char* p, FileTime run_start) {
  return read_le64(p + 8) <= kLargestSize && !deletion_time_implausible(read_le64(p + 16), run_start);
}

RecordFormat version2_at(const unsigned char* p, size_t available, FileTime run_start,
                         size_t* length) {
  if (available < kVersion2NameOffset) return RecordFormat::kUnknown;
  const uint32_t units = read_le32(p + 24);
  if (units < 4 || units > kLongestNameUnits) return RecordFormat::kUnknown;
  const size_t bytes = kVersion2NameOffset + 2 * size_t{units};
  if (available < bytes || !plausible_size_and_time(p, run_start)) return RecordFormat::kUnknown;
  const unsigned char* name = p + kVersion2NameOffset;
  if (unit_at(name, units - 1) != 0) return RecordFormat::kUnknown;
  if (!starts_like_a_path(unit_at(name, 0), unit_at(name, 1), unit_at(name, 2)))
    return RecordFormat::kUnknown;
  *length = bytes;
  return RecordFormat::kV2;
}

RecordFormat version1_at(const unsigned char* p, size_t available, FileTime run_start,
                         size_t* length) {
  if (available < kVersion1NameOffset + 6 || !plausible_size_and_time(p, run_start))
    return RecordFormat::kUnknown;
  const unsigned char* name = p + kVersion1NameOffset;
  if (!starts_like_a_path(unit_at(name, 0), unit_at(name, 1), unit_at(name, 2)))
    return RecordFormat::kUnknown;
  const size_t room = std::min(kVersion1RecordBytes, available) - kVersion1NameOffset;
  for (size_t i = 2; 2 * i + 2 <= room; ++i) {
    if (unit_at(name, i) == 0) {
      *length = std::min(kVersion1RecordBytes, available);
      return RecordFormat::kV1;
    }
  }
  return RecordFormat::kUnknown;
}

RecordFormat info2_at(const unsigned char* p, size_t available, FileTime run_start,
                      size_t* length) {
  if (available < kInfo2ScannedRecordBytes) return RecordFormat::kUnknown;
  const unsigned char* wide = p + kInfo2Utf16PathOffset;
  if (!starts_like_a_path(unit_at(wide, 0), unit_at(wide, 1), unit_at(wide, 2)))
    return RecordFormat::kUnknown;
  // Both paths end within their fields, at the same place, and agree
  // wherever both are ASCII.
  size_t i = 0;
  for (; i < kInfo2AnsiPathBytes; ++i) {
    const unsigned a = p[i], w = unit_at(wide, i);
    if (a == 0 || w == 0) {
      if (a != w) return RecordFormat::kUnknown;
      break;
    }
    if (a < 0x80 && w < 0x80 && a != w) return RecordFormat::kUnknown;
  }
  if (i == kInfo2AnsiPathBytes) return RecordFormat::kUnknown;
  if (deletion_time_implausible(read_le64(p + kInfo2TimeOffset), run_start))
    return RecordFormat::kUnknown;
  *length = kInfo2ScannedRecordBytes;
  return RecordFormat::kInfo2;
}

// A word at a multiple of 4 whose bytes could start an INFO2 record's ANSI
// path: "?:\" or "\\".
bool could_start_info2(uint32_t word) {
  return ((word >> 8) & 0xFFFF) == 0x5C3A || (word & 0xFFFF) == 0x5C5C;
}

}  // namespace

RecordFormat scanned_record_at(const unsigned char* p, size_t available, uint64_t offset,
                               FileTime run_start, size_t* length) {
  if (offset % 8 == 0 && available >= 8) {
    const uint64_t version = read_le64(p);
    if (version == 2) return version2_at(p, available, run_start, length);
    if (version == 1) return version1_at(p, available, run_start, length);
  }
  if (offset % 4 == 0) return info2_at(p, available, run_start, length);
  return RecordFormat::kUnknown;
}

void decode_scanned_record(RecordFormat format, const unsigned char* bytes, size_t length,
                           FileTime run_start, RecycleRecord* record) {
  record->opened = true;
  if (format == RecordFormat::kInfo2) {
    Info2Entry entry;
    parse_info2_record(bytes, std::min(length, kInfo2ScannedRecordBytes), kInfo2LongRecord,
                       &entry);
    fill_info2_record(entry, run_start, record);
    return;
  }
  decode_index_bytes(bytes, length, run_start, record);
}

RecordScanner::RecordScanner(std::vector<unsigned char>* buffer, FileTime run_start,
                             ScanHits* hits)
    : buffer_(*buffer), run_start_(run_start), hits_(hits) {
  if (buffer_.size() < kScanBufferSize) buffer_.resize(kScanBufferSize);
}

unsigned char* RecordScanner::space(size_t* room) {
  *room = std::min(kScanBlockSize, buffer_.size() - end_);
  return buffer_.data() + end_;
}

bool RecordScanner::filled(uint64_t offset, size_t size) {
  if (size == 0) return true;
  if (end_ != 0 && offset != start_ + end_) {
    // A gap: what was held is scanned with the bytes it has, and the new
    // bytes begin anew.
    if (!scan_range(end_, end_)) return false;
    std::memmove(buffer_.data(), buffer_.data() + end_, size);
    end_ = 0;
  }
  if (end_ == 0) {
    start_ = offset;
    next_ = 0;
  }
  end_ += size;
  if (end_ < kLongestScannedRecord) return true;
  // Every position with the longest record's bytes after it, up to a
  // multiple of 8.
  size_t until = end_ - kLongestScannedRecord + 1;
  const size_t misaligned = static_cast<size_t>((start_ + until) % 8);
  if (until < next_ + misaligned) return true;  // nothing to test yet
  until -= misaligned;
  if (!scan_range(until, end_)) return false;
  // The bytes from the next position on are carried to the buffer's start.
  const size_t keep = end_ - next_;
  std::memmove(buffer_.data(), buffer_.data() + next_, keep);
  start_ += next_;
  end_ = keep;
  next_ = 0;
  return true;
}

bool RecordScanner::finish() {
  const bool taken = scan_range(end_, end_);
  end_ = next_ = 0;
  return taken;
}

bool RecordScanner::test_at(size_t position, size_t end) {
  size_t length = 0;
  const uint64_t offset = start_ + position;
  const unsigned char* p = buffer_.data() + position;
  const RecordFormat format = scanned_record_at(p, end - position, offset, run_start_, &length);
  if (format == RecordFormat::kUnknown) return true;
  if (std::binary_search(skip_.begin(), skip_.end(), offset)) return true;
  return hits_->hit(format, offset, p, length);
}

bool RecordScanner::scan_range(size_t until, size_t end) {
  const unsigned char* const b = buffer_.data();
  size_t p = next_;
  // Up to the first multiple of 8.
  while (p < until && (start_ + p) % 8 != 0) {
    if ((start_ + p) % 4 == 0 && !test_at(p, end)) return false;
    ++p;
  }
  // Word by word: only a word that could start a record is looked at more
  // closely.
  for (; p < until && p + 8 <= end; p += 8) {
    uint64_t word;
    std::memcpy(&word, b + p, 8);
    const bool index = word - 1 < 2;
    const bool low = could_start_info2(static_cast<uint32_t>(word));
    const bool high = could_start_info2(static_cast<uint32_t>(word >> 32));
    if (!(index | low | high)) continue;
    if ((index || low) && !test_at(p, end)) return false;
    if (high && !test_at(p + 4, end)) return false;
  }
  // The last few positions, with fewer than 8 bytes after them.
  for (; p < until; ++p) {
    if ((start_ + p) % 4 == 0 && !test_at(p, end)) return false;
  }
  next_ = p;
  return true;
}
