// A file scanned as raw bytes (--scan=FILE: a pagefile, a memory image, an
// exported unallocated-space file, or a disk), read from its start to its
// end in the blocks the scanner asks for.  The file is evidence: it is only
// ever opened for reading, and never in a way that could block.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "walk/volume_source.h"

class FileBytes final : public ScanBytes {
 public:
  // `visitor` is told what cannot be read.
  explicit FileBytes(VolumeVisitor* visitor) : visitor_(visitor) {}
  ~FileBytes() override;
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;

  // Opens `path`, a regular file or a disk; false with the reason when it
  // cannot be opened.
  bool open(const std::string& path, std::string* reason);

  uint64_t total() const override { return size_; }
  size_t read(unsigned char* buffer, size_t size, uint64_t* offset) override;
  // Whether some of its bytes could not be read (each such place was told).
  bool incomplete() const { return incomplete_; }

 private:
  VolumeVisitor* visitor_;
  std::string path_;
  FileHandle handle_ = kInvalidHandle;
  uint64_t size_ = 0;
  uint64_t next_ = 0;
  bool incomplete_ = false;
};
