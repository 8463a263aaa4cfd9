// The bytes of an evidence image as one disk, read by this program from the
// files of its set: raw and split raw images, and EWF sets through libewf.
// Every byte that cannot be read is known as such (a missing or short
// segment, a chunk that fails its checksum, a read error) and never handed
// out as data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image/image_set.h"

// Bytes that could not be read.
struct ReadFailure {
  // Where the unreadable region starts in the disk: the same region is
  // told once, however often it is met.
  uint64_t region = 0;
  // What is wrong there, in words that follow "Can't read image FILE: "
  // ("chunk at offset 65536 fails its checksum").
  std::string reason;
};

class ImageReader {
 public:
  virtual ~ImageReader() = default;
  // The disk's size in bytes.
  virtual uint64_t size() const = 0;
  // Reads `size` bytes at `offset` (inside the disk).  False, with the
  // region and the reason, when any of them cannot be read.
  virtual bool read(uint64_t offset, void* buffer, size_t size, ReadFailure* failure) = 0;
  // The regions known to be unreadable from the set's own files, which
  // the set's problems have told already.
  virtual const std::vector<uint64_t>& told_regions() const = 0;
};

// A raw image or split raw set: segment N starts at N-1 times the segment
// size (that of the largest segment before the last), so that a missing or
// short segment leaves a gap of unreadable bytes, never shifts the bytes
// after it.  Null with the reason when no segment can be opened.
std::unique_ptr<ImageReader> open_raw_reader(const ImageSet& set, std::string* error);

// An EWF set through libewf (loaded when first needed), from its first
// segment up to the first that is missing, unusable or damaged; the bytes
// past those are unreadable.  Null with libewf's reason when it cannot
// open the set.  Up to `chunk_cache_bytes` of decoded chunks are kept, so
// that each is inflated once while the metadata around it is read; with
// `read_ahead` (and chunks kept), a thread of its own inflates the next
// chunks of reads in order on a second handle.
constexpr size_t kEwfChunkCacheBytes = size_t{16} << 20;
std::unique_ptr<ImageReader> open_ewf_reader(const ImageSet& set, std::string* error);
std::unique_ptr<ImageReader> open_ewf_reader(const ImageSet& set, std::string* error,
                                             size_t chunk_cache_bytes, bool read_ahead = false);
