// Volume sources: where the walk's volumes come from.  A mounted tree, an
// evidence image's volumes (and, later, the stores of its shadow copies)
// each hand the run their volumes one at a time, with the folders to walk
// in each, and the index files a volume's metadata still holds.  The run
// (VolumeVisitor) walks and decodes what it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/status.h"
#include "platform/file_system.h"

// One volume as the run reads it.
struct Volume {
  FileSystem* fs = nullptr;
  // The image as the run was given it; "" on a mounted tree.
  std::string_view image;
  // "p2": the partition's address in an image ("p0" for an image that is
  // one file system); "" on a mounted tree.
  std::string_view name;
  // What a record's source begins with: "" on a mounted tree,
  // "IMAGE:p2:" in an image.
  std::string_view source_prefix;
  // The walk counts each folder's named streams (a mounted NTFS volume).
  bool count_streams = false;
};

// An index file that no folder lists any more, recovered from an
// unallocated metadata entry.  Every field stays valid until the visitor
// returns.
struct RecoveredFile {
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
  // Where its data starts in the volume, when it lies in clusters of its
  // own that can still be read (a scan of the volume's free space finds
  // the same record there).
  bool has_data_offset = false;
  uint64_t data_offset = 0;
};

// Raw bytes to be scanned for index records: a volume's unallocated
// clusters, or a file.  Read piece by piece, in the order of their offsets.
class ScanBytes {
 public:
  virtual ~ScanBytes() = default;
  // How many bytes there are to scan in all.
  virtual uint64_t total() const = 0;
  // Reads the next bytes, up to `size`, into `buffer`, and the offset of
  // the first into *offset (in the volume, or the file); bytes that do not
  // follow those read before lie elsewhere.  0 when none are left.  Bytes
  // that cannot be read are told (the source is then incomplete).
  virtual size_t read(unsigned char* buffer, size_t size, uint64_t* offset) = 0;
};

// What the run does with what a source gives it.  A status that is not ok
// ends the reading, and the source returns it.
class VolumeVisitor {
 public:
  virtual ~VolumeVisitor() = default;
  // Walks `directory` of the volume (ending with its separator), as a
  // listed directory is walked.
  virtual Status walk(const Volume& volume, const std::string& directory) = 0;
  // Decodes one index file recovered from the volume's metadata.
  virtual Status decode_recovered(const Volume& volume, const RecoveredFile& file) = 0;
  // `done` of the `total` metadata entries of the volume are searched for
  // recoverable index files; called often, so it must be cheap.
  virtual void carving(const Volume& volume, uint64_t done, uint64_t total) = 0;
  // Scans raw bytes of the volume for index records (`bytes`: its
  // unallocated clusters; their offsets are the volume's).  A record at one
  // of the offsets `given` (sorted: the data of index files the walk or the
  // carving gave) is not repeated.
  virtual Status scan(const Volume& volume, ScanBytes* bytes, std::span<const uint64_t> given) = 0;
  // Writes a message about the source to the error stream, on a line of
  // its own.
  virtual void message(const std::string& text) = 0;
  // Whether the run reads something of every volume before it walks any
  // (survey()).
  virtual bool surveys() const { return false; }
  // Reads what the run needs of `volume` before the first volume is walked
  // (the registry hives that name the users).  What cannot be read there is
  // the visitor's to tell; the source tells it nothing of the volume.
  virtual void survey(const Volume& volume) { (void)volume; }
};

// How reading a source ended.
struct SourceResult {
  Status status;            // not ok: the visitor ended the run
  bool incomplete = false;  // something could not be read: the run ends with 10
};

class VolumeSource {
 public:
  virtual ~VolumeSource() = default;
  // Hands every folder to walk of every volume, in order, to `visitor`, and
  // then (where asked for) what each volume's metadata still holds.
  virtual SourceResult read(VolumeVisitor* visitor) = 0;
};
