// A run over an evidence image: which folders of which volumes are walked,
// in what order, what is recovered from the volumes' metadata afterwards,
// and what is said about everything that cannot be read.
#pragma once

#include <string>
#include <vector>

#include "platform/image_file_system.h"

// What the run does with the folders and files the image gives it.
class ImageRunHooks {
 public:
  virtual ~ImageRunHooks() = default;
  // Walks `directory` (inside `volume`, from "/" and ending with "/") as a
  // listed directory is walked on a mounted volume.
  virtual void walk(ImageVolume* volume, const std::string& directory) = 0;
  // Decodes one index file recovered from the volume's metadata.
  virtual void decode_carved(ImageVolume* volume, const CarvedIndexFile& file) = 0;
  // Writes a message about what cannot be read to the error stream, on a
  // line of its own.
  virtual void message(const std::string& text) = 0;
};

struct ImageRunResult {
  bool incomplete = false;  // something could not be read: the run ends with 10
  bool any_volume = false;
  FileSystemKind first_kind = FileSystemKind::kOther;  // of the first volume read
};

// Reads the image `image_path`: in each of its volumes, in the order of the
// partition table, the folders `paths` (written with "/", taken from the
// volume's root) or, when there are none, the recycle-bin folders at its
// root; then, with `carve`, the index files no folder holds any more.
ImageRunResult run_image(const std::string& image_path, const std::vector<std::string>& paths,
                         bool carve, ImageRunHooks* hooks);

// A path as the run shows it inside a volume: from "/", ending with "/".
std::string volume_directory(const std::string& path);
