#include "walk/tree_source.h"

#include "platform/ascii.h"
#include "platform/platform.h"

VolumeType identify_volume(FileSystem* fs, const char* path) {
  return volume_type_of(fs->volume_kind(path));
}

VolumeType volume_type_of(FileSystemKind kind) {
  switch (kind) {
    case FileSystemKind::kNtfs: return VolumeType::kNtfs;
    case FileSystemKind::kFat32: return VolumeType::kFat32;
    case FileSystemKind::kOther: break;
  }
  return VolumeType::kOther;
}

TreeSource::TreeSource(FileSystem* fs, std::vector<std::string>* paths)
    : fs_(fs), paths_(paths), type_(identify_volume(fs, paths->front().c_str())) {}

SourceResult TreeSource::read(VolumeVisitor* visitor) {
  SourceResult result;
  Volume volume;
  volume.fs = fs_;
  volume.count_streams = type_ == VolumeType::kNtfs;
  for (std::string& entry : *paths_) {
    if (entry.empty() || entry.back() != kPathSeparator) entry.push_back(kPathSeparator);
    if (kUpperCaseFirstLetter && !entry.empty()) entry[0] = ascii_upper(entry[0]);
    result.status = visitor->walk(volume, entry);
    if (!result.status.ok()) break;
  }
  return result;
}
