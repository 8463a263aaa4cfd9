// Registry hives read for the user names they hold (user_names.h): a
// SOFTWARE hive's ProfileList, a SAM hive's local accounts.  Hives are read
// with hivex, loaded when the first hive is read (a run that reads none
// never loads it), and only ever from a sealed copy in memory, never from
// the file itself: a hive file is copied in first, a hive inside an image
// is copied in piece by piece (HiveCopy).  Nothing is written to a disk.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "users/user_names.h"

// Whether this build reads hives (hivex was found when it was built).
extern const bool kHiveSupport;
// What reading a hive says in a build that cannot.
extern const char kHiveUnsupportedMessage[];
// The name hivex is loaded by (its SONAME); empty in a build without it.
extern const char kHiveLibrary[];

// Whether hivex has been loaded into this process.
bool hive_library_loaded();

// What reading one hive came to: the hive (its path, or the label its
// reader gave), read whole, or why it could not be, with the library's or
// the system's own reason.
class [[nodiscard]] HiveStatus {
 public:
  static HiveStatus read(std::string_view hive);
  static HiveStatus failed(std::string_view hive, std::string_view reason);
  bool ok() const { return !failed_; }
  const std::string& hive() const { return hive_; }
  const std::string& reason() const { return reason_; }
  // "Can't read registry hive HIVE: REASON", for the error stream (the
  // caller makes the name safe for the terminal).
  std::string message() const;

 private:
  bool failed_ = false;
  std::string hive_, reason_;
};

// A hive's bytes copied into memory (a memory file, never a file on a
// disk), in order, piece by piece: how a hive inside an evidence image is
// handed over, so that it is read without being held twice.
class HiveCopy {
 public:
  HiveCopy() = default;
  HiveCopy(HiveCopy&& other) noexcept;
  HiveCopy& operator=(HiveCopy&& other) noexcept;
  HiveCopy(const HiveCopy&) = delete;
  HiveCopy& operator=(const HiveCopy&) = delete;
  ~HiveCopy();

  // Starts an empty copy; false with the reason (a build without hives
  // cannot make one).
  bool begin(std::string* reason);
  // Appends the next `size` bytes; false with the system's reason.
  bool append(const void* data, size_t size, std::string* reason);
  // The memory file (kInvalidHandle before begin()).
  FileHandle file() const { return file_; }

 private:
  FileHandle file_ = kInvalidHandle;
};

// Reads the names of the hive file at `path` into `out` (its kind and its
// names): the file, which must be a regular file, is copied into memory
// and read there.  On failure `out` keeps what was read before it and the
// status names `path`.
HiveStatus read_hive_file(const std::string& path, HiveNames* out);
// The same for a copy made with HiveCopy, which is used up; `label` names
// the hive in the status ("IMAGE:p2:/Windows/System32/config/SAM").
HiveStatus read_hive_copy(std::string_view label, HiveCopy copy, HiveNames* out);
// The same for bytes already in memory (they are copied).
HiveStatus read_hive_bytes(std::string_view label, std::string_view bytes, HiveNames* out);
