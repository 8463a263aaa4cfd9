// Volume Shadow Copy stores: the snapshots Windows keeps of an NTFS volume,
// each the whole volume as it was when the snapshot was taken.  A store's
// bytes are an ImageReader, which The Sleuth Kit reads as an image of its
// own; the stores are found and read from the volume's own bytes.  Nothing
// is ever written to the volume.
//
// Stores are read by the readers of a table (image_backends.cc): libyal's
// libvshadow (vshadow_reader.cc), loaded only when a run asks for shadow
// copies.  A build without any refuses --shadows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "image/image_reader.h"

// The bytes of one volume, from which its stores are read.
class VolumeBytes {
 public:
  virtual ~VolumeBytes() = default;
  // The volume's size in bytes.
  virtual uint64_t size() const = 0;
  // Reads `size` bytes at `offset`; false with the reason when any of them
  // cannot be read.
  virtual bool read(uint64_t offset, void* buffer, size_t size, std::string* reason) = 0;
};

// The stores of one volume, numbered as Windows' catalog lists them (and
// libvshadow's vshadowinfo shows them): 0 here is store 1, the oldest.
class ShadowCopies {
 public:
  virtual ~ShadowCopies() = default;
  virtual size_t count() const = 0;
  // Store `index` as it reads: its bytes, every one that cannot be read
  // known as such.  Null with the reader's reason when the store cannot be
  // opened.  The reader must be destroyed before this object.
  virtual std::unique_ptr<ImageReader> open_store(size_t index, std::string* error) = 0;
};

// A way of reading shadow copies: a row of the table of readers.
struct ShadowCopyReader {
  const char* name;  // "libvshadow"
  // The stores of `volume` (which must outlive the result), as
  // open_shadow_copies says.
  std::unique_ptr<ShadowCopies> (*open)(VolumeBytes* volume, std::string* error);
};

// The readers this build has; the first reads every volume.
std::span<const ShadowCopyReader> shadow_copy_readers();

// Whether this build can read shadow copies at all.
extern const bool kShadowCopySupport;
// What a run that asks for shadow copies says when the build cannot read
// them.
extern const char kShadowCopyUnsupportedMessage[];

// The stores of the volume whose bytes `volume` gives: none when the volume
// holds no shadow copy at all.  Null with the reason when the reader cannot
// be loaded, or the volume's shadow-copy header or catalog cannot be read.
std::unique_ptr<ShadowCopies> open_shadow_copies(VolumeBytes* volume, std::string* error);
