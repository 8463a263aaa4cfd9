// The files that make up an evidence image, found and checked before any
// library opens one of them: the segments of a split raw or EWF set, the
// extents and parent of a VMDK disk, the parents of a differencing VHD.
// Only the file headers are read, each file opened without blocking and
// checked to be a regular file or a disk (a block device).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/image_files.h"

// The container an image file is, by its signature.
enum class ImageContainer { kRaw, kEwf, kVmdk, kVhd, kAff };

// A short name for messages ("E01", "VMDK", ...).
const char* container_name(ImageContainer container);

// The container of `path` by its first and last bytes (a stored VHD footer
// is in the last sector); kRaw for a file of no known container, or one that
// cannot be read.
ImageContainer image_container_of(const char* path);

// The name of segment `number` (1 for the first) of a split raw set whose
// first file is `first`, by the naming schemes The Sleuth Kit reads
// (".001", ".000", "_01", ".aa", ".aaa", "x.aa", ".dmg", ".bin"); empty
// for a number past the scheme, or past 1 for a name of no scheme.
std::string split_raw_segment_name(const std::string& first, int number);
// The name of segment `number` of an EWF set whose first file is `first`:
// ".E01" to ".E99", then ".EAA" to ".ZZZ" (".s01", ".L01" and ".Ex01" the
// same way, in the case of the first name); empty past the scheme.
std::string ewf_segment_name(const std::string& first, int number);

// What one EWF segment file's headers say.
struct EwfSegment {
  int number = 0;               // from the file header
  uint64_t chunks = 0;          // chunks its table sections list
  bool last = false;            // it ends with a "done" section
  bool more = false;            // it ends with a "next" section
  // From the volume section (the first segment only), 0 where absent.
  uint64_t sectors_per_chunk = 0;
  uint64_t bytes_per_sector = 0;
  uint64_t sectors = 0;
  std::string damage;           // why the section chain cannot be followed, or empty
};

// Reads the section chain of the EWF segment open as `fd`.  False when the
// file is no EWF segment at all.
bool read_ewf_segment(FileHandle fd, EwfSegment* out);

// The extent files a VMDK descriptor names (relative names taken from
// `directory`, which ends with "/" or is empty), and its parent hint.
struct VmdkDescriptor {
  std::vector<std::string> extents;
  std::string parent;
};
VmdkDescriptor parse_vmdk_descriptor(const std::string& text, const std::string& directory);

// One file of an image set.
struct ImageSetFile {
  std::string path;
  int segment = 0;          // 1, 2, ... for segments; 0 for extents and parents
  bool present = false;     // it exists
  bool usable = false;      // a regular file or a block device, not a FIFO or the like
  uint64_t size = 0;        // bytes, when present and usable
};

struct ImageSet {
  ImageContainer container = ImageContainer::kRaw;
  // The image file first, then the segments in order (missing ones
  // included, with present false), then extents and parents.
  std::vector<ImageSetFile> files;
  // One line per fault, each after "Can't read image FILE: " (a missing
  // or short segment, a file that is not a regular file, a damaged header).
  std::vector<std::string> problems;
  // A file the container's library would open is no regular file: the
  // library must not be given the image at all (it would block).
  bool unsafe = false;
  // EWF: whether the first segment's sections could be followed (the
  // first version of the format, E01, S01, L01), and every segment's
  // header, in segment order, up to the first that is missing, unusable or
  // damaged.
  bool ewf_checked = false;
  std::vector<EwfSegment> ewf;
};

// The split raw layout: where each segment of `set` starts in the disk
// (segment N at N-1 times the segment size, the size of the largest
// segment before the last one there), and the disk's size.  `starts` has
// one entry per file of the set.
struct SplitRawLayout {
  uint64_t segment_size = 0;
  uint64_t size = 0;
  std::vector<uint64_t> starts;
};
SplitRawLayout split_raw_layout(const ImageSet& set);

// Finds and checks the files of the image `path` (which must exist).
ImageSet examine_image_set(const std::string& path);
// The files of the set that exist (the image itself first), as
// evidence_files() gives them; a folder is its own set.
std::vector<std::string> image_set_files(const char* path);

