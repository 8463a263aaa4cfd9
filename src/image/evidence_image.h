// Evidence images read in place (the image/ folder): every volume of a
// disk image (each partition, or the whole image when it holds one file
// system) as a FileSystem of its own, so that the walk, the patterns, the
// exclusions and the decoder work on it as on a mounted volume.  Nothing is
// ever written to the image.  Deleted index files can also be recovered
// from the metadata of an NTFS volume, and the volume's shadow copies read
// as volumes of their own.
//
// Images are opened by the backends of a table (image_backends.cc), The
// Sleuth Kit's the first (tsk_image.cc, which keeps its own table of
// containers); the files of an image's set are found and checked first
// (image_set.h), and raw and EWF bytes are read by this program's readers
// (image_reader.h).  The image's volumes reach the run as a volume source
// (image_source.h).  This folder includes walk/, common/ and platform/, and
// only it includes The Sleuth Kit's headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "walk/volume_source.h"

// Whether this build can read evidence images at all: the table of
// backends has a row.
extern const bool kImageSupport;
// What an image run says when the build cannot read images.
extern const char kImageUnsupportedMessage[];

// An index file that no folder lists any more, recovered from an
// unallocated metadata entry, as a volume source hands it on.
using CarvedIndexFile = RecoveredFile;

class CarvedFileVisitor {
 public:
  virtual ~CarvedFileVisitor() = default;
  // Whether the entry `name` of `directory` (as CarvedIndexFile has them)
  // is wanted at all; only a wanted entry is opened and visited.
  // `parent_known` is false for an orphan.
  virtual bool wanted(std::string_view directory, std::string_view name, bool parent_known) = 0;
  // Called once per wanted entry; false stops the search.
  virtual bool visit(const CarvedIndexFile& file) = 0;
  // `done` of the volume's `total` metadata entries are searched; called
  // for every entry, so it must be cheap.
  virtual void searched(uint64_t done, uint64_t total) = 0;
};

// What an image run is told while the image is read: every part of it that
// cannot be read, and what is worth knowing though nothing was lost.  Each
// text names the image and, where there is one, the partition, and gives
// the reason.
class ImageMessages {
 public:
  virtual ~ImageMessages() = default;
  // Something could not be read: the run is incomplete.
  virtual void problem(const std::string& text) = 0;
  // Nothing was lost (a partition that repeats another, an image read as
  // raw after its container's reader failed).
  virtual void note(const std::string& text) = 0;
};

// One volume of an image.  Paths inside it are written with "/" and start
// at its root ("/$Recycle.Bin" and "$Recycle.Bin" are the same folder).
// On NTFS a listing shows each metadata entry once per volume, in the
// folder and under the name its own metadata gives it, and a folder listed
// before in the volume lists nothing more (unless open_parent opened it
// again); a name passed over is told through the messages.
class ImageVolume : public FileSystem {
 public:
  // "p2": the partition's address in the image's volume system ("p0" for
  // an image that is one file system).
  virtual const std::string& name() const = 0;
  // "IMAGE:p2:", what a record's source begins with.
  virtual const std::string& source_prefix() const = 0;
  virtual FileSystemKind kind() const = 0;
  // Whether names are found whatever their case (NTFS, FAT, exFAT).
  virtual bool names_fold_case() const = 0;
  // The file system's name as The Sleuth Kit gives it ("ntfs", "fat32").
  virtual const char* type_name() const = 0;

  // After open_directory failed: true when the path does not exist in this
  // volume (as opposed to a folder that exists but cannot be read).
  virtual bool last_open_missing() const = 0;

  // The recycle-bin folders at the root ("$Recycle.Bin", "RECYCLER",
  // "RECYCLED", in any case) as the volume writes their names, in that
  // order.  False with the reason when the root cannot be read.
  virtual bool find_bin_folders(std::vector<std::string>* out, std::string* error) = 0;

  // The run's file patterns, up to the first that starts with "-": the
  // data of the files they select may be read with their folder's
  // metadata, ahead of open_file.
  virtual void expect_files(const std::vector<std::string>& patterns) { (void)patterns; }

  // Whether carve_index_files can find anything here (NTFS only).
  virtual bool can_carve() const = 0;
  // Visits every unallocated metadata entry whose file name starts with "$I"
  // (any case), each entry once: first the names that the folders `folders`
  // list (and, with `recurse`, the folders below them, deleted ones too),
  // folder by folder, each folder read once, a folder's own entries before
  // those below it: deleted names, and names a folder index still lists
  // for an entry no longer in use; then the entries no such folder lists:
  // orphans (their folder is gone), and entries of a folder elsewhere.
  // False with the reason when the metadata could not be searched (entries
  // visited before stand).
  virtual bool carve_index_files(const std::vector<std::string>& folders, bool recurse,
                                 CarvedFileVisitor* visitor, std::string* error) = 0;

  // The volume's unallocated clusters, as the file system's allocation
  // gives them (The Sleuth Kit's block walk with its unallocated flag), in
  // order, at their offsets in the volume; reads that fail are told
  // through the messages.  Null, with the reason, when they cannot be told.
  virtual std::unique_ptr<ScanBytes> unallocated_space(std::string* error) = 0;
};

// The Volume Shadow Copy stores of one NTFS volume, each the whole volume
// as it was when its snapshot was taken, read as a volume of its own:
// named "p2:vss1" (store numbers as libvshadow's vshadowinfo gives them, 1
// the oldest), its records' source beginning "IMAGE:p2:vss1:", its times
// the store's.  Nothing is ever written to the volume.
class ShadowStores {
 public:
  virtual ~ShadowStores() = default;
  // How many stores the volume keeps.
  virtual size_t count() const = 0;
  // Opens store `index` (0 the oldest) as a volume.  Null when it cannot be
  // read (told through the messages).  A store is destroyed before the next
  // is opened, and before this object.
  virtual std::unique_ptr<ImageVolume> open_store(size_t index) = 0;
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
  // its partition table, after checking every file of its set (each a
  // regular file or a disk, none missing or short).  What is wrong with the
  // set, and later every read that fails, is told through `messages`, which
  // must outlive the image.  Null, with a message naming the image and the
  // reason, when it holds neither a partition table nor a file system this
  // build can read.
  // The backends are asked in the order of their table: the first that
  // opens the image reads it.
  static std::unique_ptr<EvidenceImage> open(const char* path, ImageMessages* messages,
                                             std::string* error);

  // How many volumes the image may hold: the partitions of its table, in
  // its order, or 1 for an image that is one file system.
  virtual size_t volume_count() const = 0;
  // Opens volume `index` on its own.  Null when there is nothing to read
  // there: a partition that by its type holds no file system, one that
  // names the same sectors as an earlier one, or one that cannot be read
  // (the last two told through the messages).  A volume is destroyed
  // before the next is opened, and before the image.
  virtual std::unique_ptr<ImageVolume> open_volume(size_t index) = 0;
  // The shadow-copy stores of volume `index`, which open_volume opened
  // (and which may be closed again): none when it keeps none.  Null when
  // they cannot be read (told through the messages).  Destroyed before the
  // image.
  virtual std::unique_ptr<ShadowStores> open_shadow_stores(size_t index) = 0;
};

// A way of reading evidence images: a row of the table of backends.
struct ImageBackend {
  const char* name;  // "The Sleuth Kit"
  // Opens an image, as EvidenceImage::open says.
  std::unique_ptr<EvidenceImage> (*open)(const char* path, ImageMessages* messages,
                                         std::string* error);
  // The files of an image's set, as evidence_files() says.
  std::vector<std::string> (*evidence_files)(const char* path);
};

// The backends this build has, in the order they are asked.
std::span<const ImageBackend> image_backends();
