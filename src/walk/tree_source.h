// The volume source of a run without an image: the machine's own file
// system, walked at each listed directory in the order of the list.  The
// kind of file system that holds the first listed directory decides
// whether each folder's named streams are counted (NTFS).
#pragma once

#include <string>
#include <vector>

#include "platform/file_system.h"
#include "walk/volume_source.h"

enum class VolumeType { kOther = 1, kNtfs = 2, kFat32 = 4 };

VolumeType identify_volume(FileSystem* fs, const char* path);
// The type the stream probe goes by for a kind of file system.
VolumeType volume_type_of(FileSystemKind kind);

class TreeSource final : public VolumeSource {
 public:
  // `paths`: the listed directories, each of which gets its separator and
  // the walk's form of its first letter before it is walked.
  TreeSource(FileSystem* fs, std::vector<std::string>* paths);

  // The type of the volume that holds the first listed directory.
  VolumeType volume_type() const { return type_; }

  SourceResult read(VolumeVisitor* visitor) override;

 private:
  FileSystem* fs_;
  std::vector<std::string>* paths_;
  VolumeType type_;
};
