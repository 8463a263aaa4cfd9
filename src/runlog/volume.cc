#include "runlog/volume.h"

VolumeType g_volume_type = VolumeType::kOther;

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
