// Evidence images read in place: every volume of a disk image (each
// partition, or the whole image when it holds one file system) as a
// FileSystem of its own, so that the walk, the patterns, the exclusions and
// the decoder work on it as on a mounted volume.  Nothing is ever written to
// the image.  Deleted index files can also be recovered from the metadata
// of an NTFS volume.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

// Whether this build can read evidence images at all.
extern const bool kImageSupport;
// What an image run says when the build cannot read images.
extern const char kImageUnsupportedMessage[];

// An index file that no folder lists any more, recovered from an
// unallocated metadata entry.  Every field stays valid until the visitor
// returns.
struct CarvedIndexFile {
  // The folder whose listing still named the entry, opened in the volume
  // (the companion is looked up there); kNoDir when the parent is unknown
  // (an orphan) or cannot be opened.
  DirRef parent = kNoDir;
  // The folder's path inside the volume as the file system's metadata
  // gives it, from "/" and ending with "/" ("/$OrphanFiles/" for an orphan).
  std::string_view directory;
  std::string_view name;   // the entry's file name
  // The entry's data, open for reading; when its data can no longer be read
  // (its clusters were given to another file, or the runs are lost) it is
  // open all the same and reads nothing.
  FileRef file = kNoFile;
  bool data_readable = false;
  uint64_t entry = 0;      // the metadata (MFT) entry number
};

class CarvedFileVisitor {
 public:
  virtual ~CarvedFileVisitor() = default;
  // Called once per entry; false stops the search.
  virtual bool visit(const CarvedIndexFile& file) = 0;
};

// One volume of an image.  Paths inside it are written with "/" and start
// at its root ("/$Recycle.Bin" and "$Recycle.Bin" are the same folder).
class ImageVolume : public FileSystem {
 public:
  // "p2": the partition's address in the image's volume system ("p0" for
  // an image that is one file system).
  virtual const std::string& name() const = 0;
  // "IMAGE:p2:", what a record's source begins with.
  virtual const std::string& source_prefix() const = 0;
  virtual FileSystemKind kind() const = 0;
  // The file system's name as The Sleuth Kit gives it ("ntfs", "fat32").
  virtual const char* type_name() const = 0;

  // After open_directory failed: true when the path does not exist in this
  // volume (as opposed to a folder that exists but cannot be read).
  virtual bool last_open_missing() const = 0;

  // The recycle-bin folders at the root ("$Recycle.Bin", "RECYCLER",
  // "RECYCLED", in any case) as the volume writes their names, in that
  // order.  False with the reason when the root cannot be read.
  virtual bool find_bin_folders(std::vector<std::string>* out, std::string* error) = 0;

  // Whether carve_index_files can find anything here (NTFS only).
  virtual bool can_carve() const = 0;
  // Visits every unallocated metadata entry whose file name starts with "$I"
  // (any case): deleted names in folders first, in folder order, then
  // entries that no folder names; each entry once.  False with the reason
  // when the metadata could not be searched (entries visited before stand).
  virtual bool carve_index_files(CarvedFileVisitor* visitor, std::string* error) = 0;
};

// Every file an image run reads for the image `path`: the image file itself,
// then each further segment, extent or parent file its container names
// (split raw .002 on, E01 .E02 on, VMDK extents, VHD parents), as the paths
// the container reader opens.  Files that do not exist are left out.  The
// run compares every file it writes with these, so that nothing it writes
// can land on the evidence.
std::vector<std::string> evidence_files(const char* path);

class EvidenceImage {
 public:
  virtual ~EvidenceImage() = default;

  // Opens the image file `path` (raw, split raw, E01, VMDK, VHD, AFF) and
  // every volume in it.  Null, with a message naming the image and the
  // reason, when it is not an image that holds a partition table or a file
  // system this build can read.  Volumes that cannot be opened beside
  // others that can are listed by volume_errors().
  static std::unique_ptr<EvidenceImage> open(const char* path, std::string* error);

  // The volumes that could be opened, in the order of the volume system.
  virtual size_t volume_count() const = 0;
  virtual ImageVolume* volume(size_t index) = 0;
  // One message per volume that could not be opened, naming the image, the
  // partition and the reason.
  virtual const std::vector<std::string>& volume_errors() const = 0;
};
