// What the run reads of a record's companion beyond its folder entry: the
// digests of its bytes (file_digests.h) and what its Zone.Identifier
// stream says (zone_identifier.h), each given the file system, the folder
// and the name, so that every record that names a file gets them by the
// same call.  This folder includes only common/ and platform/.
//
// FileDigests: a file read once, in one buffer made beforehand, for every
// digest asked for, its bytes also handed to a sink (a copy being written)
// when one is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/digests.h"
#include "platform/file_system.h"

// Takes the bytes of the file being read, in order.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // False stops the reading (the sink could not keep them).
  virtual bool write(const unsigned char* data, size_t size) = 0;
};

// How reading a file ended.
enum class DigestOutcome : uint8_t {
  kDone,        // read whole; the digests are set
  kNotOpened,   // it could not be opened (not a regular file, or gone)
  kReadFailed,  // it could not be read whole; `reason` says why
  kSinkFailed,  // the sink refused the bytes
};

class FileDigests {
 public:
  // `kinds` the digests to make (0: none, the bytes only read for the
  // sink); `reset_times`: each file's access and modification times are
  // set back after it is read, through the open file.
  FileDigests(unsigned kinds, bool reset_times);
  ~FileDigests();
  // Loads the library; false with the reason when it cannot be had.
  bool open(std::string* reason);
  unsigned kinds() const { return kinds_; }

  // Reads the file `name` of `dir` once, to its end, into every digest and
  // `sink` (may be null).  `size` receives the bytes read.
  DigestOutcome read(FileSystem* fs, DirRef dir, const char* name, ByteSink* sink, uint64_t* size,
                     std::string* reason);
  // The digest of `kind` of the last file read whole, in lower-case hex;
  // empty when not asked for or when the file was not read whole.
  std::string_view hex(int kind) const;
  // Forgets the last file's digests.
  void clear();
  // Whether a file's times could not be set back after reading (the file
  // was read; its times may have changed).
  bool restore_failed() const { return restore_failed_; }

 private:
  unsigned kinds_;
  bool reset_times_;
  std::unique_ptr<DigestEngine> engine_;
  std::vector<unsigned char> buffer_;
  char hex_[kDigestKindCount][2 * kLargestDigest + 1] = {};
  size_t hex_length_[kDigestKindCount] = {};
  bool restore_failed_ = false;
};
