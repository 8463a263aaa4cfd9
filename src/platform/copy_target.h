// A folder that the run writes copies into (--collect), held open: every
// folder and file is made below it relative to its handle, never through a
// link and never over an entry that exists, so that no copy can land
// outside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

using TargetRef = intptr_t;
constexpr TargetRef kNoTarget = -1;

// What opening the target folder found.
enum class TargetOpen : uint8_t {
  kOpened,       // an empty folder, or one made now
  kNotEmpty,     // a folder that holds entries
  kNotAFolder,   // something else has the name
  kFailed,       // it could neither be made nor opened (the reason says why)
};

class CopyTarget {
 public:
  virtual ~CopyTarget() = default;
  // The target folder itself.
  virtual TargetRef root() = 0;
  // The longest name a folder entry may have, in bytes.
  virtual size_t name_limit() const = 0;
  // Writes as "_" what this system cannot hold in a name (beyond "/", NUL,
  // "." and ".."), in place; true when it changed `name`.
  virtual bool mend_name(std::string* name) const = 0;
  // Makes the folder `name` in `parent`; with `reuse`, a folder of that name
  // made before (never a link) is opened instead.  kNoTarget when it cannot
  // be made, with `taken` true when the name is in use.
  virtual TargetRef make_folder(TargetRef parent, const char* name, bool reuse, bool* taken,
                                std::string* reason) = 0;
  // Opens the folder above `folder` again (a folder this target made).
  virtual TargetRef open_parent(TargetRef folder, std::string* reason) = 0;
  // Sets a folder's modification and access times (FILETIMEs, 0 leaves one
  // as it is) and closes it.
  virtual bool close_folder(TargetRef folder, FileTime last_write, FileTime last_access) = 0;
  // Makes the file `name` in `parent`, which must not exist.  kNoTarget when
  // it cannot be made, with `taken` true when the name is in use.
  virtual TargetRef create_file(TargetRef parent, const char* name, bool* taken,
                                std::string* reason) = 0;
  // Writes all of `data`; false with the reason.
  virtual bool write(TargetRef file, const void* data, size_t size, std::string* reason) = 0;
  // Sets the file's modification and access times and closes it; false with
  // the reason when the data may not be on the disk.
  virtual bool finish_file(TargetRef file, FileTime last_write, FileTime last_access,
                           std::string* reason) = 0;
  // Closes the file and removes it (a copy that could not be made whole).
  virtual void discard_file(TargetRef parent, const char* name, TargetRef file) = 0;
};

// Opens the folder `path`, making it (and its missing parents) when it does
// not exist; it must be empty when it does.  Null with the outcome and the
// reason otherwise.
std::unique_ptr<CopyTarget> open_copy_target(const char* path, TargetOpen* outcome,
                                             std::string* reason);

// Whether the folder `inner` (or, when it does not exist yet, the nearest
// folder above it that does) is the folder `outer` or lies below it, by
// what the folders are (links followed), not by their names.
bool folder_within(const char* inner, const char* outer);
