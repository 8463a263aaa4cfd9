// The volume source of an image run: which folders of which volumes of an
// evidence image are walked, in what order, what is recovered from the
// volumes' metadata, and what is said about everything that cannot be
// read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/exclusions.h"
#include "image/evidence_image.h"
#include "walk/volume_source.h"

struct ImageRunSettings {
  // The folders to walk in every volume (written with "/", taken from the
  // volume's root); none: the recycle-bin folders at each volume's root.
  std::vector<std::string> paths;
  // The walk's file patterns, up to the first that starts with "-".
  std::vector<std::string> patterns;
  bool carve = false;    // recover index files from the volumes' metadata
  // Also read each NTFS volume's shadow-copy stores, as volumes of their
  // own, right after it.
  bool shadows = false;
  // Scan each volume's (and store's) unallocated clusters for index
  // records, after its walk and carving.
  bool scan = false;
  bool recurse = true;   // the walk enters subfolders
  const ExclusionList* exclude = nullptr;  // the exclusions in force, if any
};

struct ImageRunResult {
  Status status;            // not ok: the visitor ended the run
  bool incomplete = false;  // something could not be read: the run ends with 10
  bool any_volume = false;
  FileSystemKind first_kind = FileSystemKind::kOther;  // of the first volume read
};

// Reads the image `image_path` volume by volume, in the order of the
// partition table, each opened only while it is read: its folders are
// walked, then (with carve) the index files no folder holds any more are
// recovered, as far as they lie in the run's scope: a pattern matches the
// name, no exclusion does, and a recovered entry whose folder is known lies
// in a folder the run walks; then (with scan) its unallocated clusters are
// scanned for index records.  With shadows, each NTFS volume's stores
// follow it, oldest first, each read the same way.  A visitor's status that
// is not ok ends it.
ImageRunResult run_image(const std::string& image_path, const ImageRunSettings& settings,
                         VolumeVisitor* visitor);

// The same as a volume source.
class ImageSource final : public VolumeSource {
 public:
  ImageSource(std::string image_path, ImageRunSettings settings)
      : image_path_(std::move(image_path)), settings_(std::move(settings)) {}
  SourceResult read(VolumeVisitor* visitor) override;
  // What the last read() found.
  const ImageRunResult& result() const { return result_; }

 private:
  std::string image_path_;
  ImageRunSettings settings_;
  ImageRunResult result_;
};

// A path as the run shows it inside a volume: from "/", ending with "/".
std::string volume_directory(const std::string& path);

// `path` from "/" and ending with "/", with "." and ".." folded away.
std::string folded_volume_path(const std::string& path);

// Whether the folder `directory` lies at or (when `below` is true) under
// `folder`, both from "/" and ending with "/"; ASCII case is ignored when
// `fold_case` is true.
bool folder_contains(std::string_view folder, std::string_view directory, bool below,
                     bool fold_case);
