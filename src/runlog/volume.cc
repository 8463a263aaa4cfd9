#include "runlog/volume.h"

#include "platform/platform.h"

VolumeType g_volume_type = VolumeType::kOther;

VolumeType identify_volume(const char* path) {
  switch (file_system_kind(path)) {
    case FileSystemKind::kNtfs: return VolumeType::kNtfs;
    case FileSystemKind::kFat32: return VolumeType::kFat32;
    case FileSystemKind::kOther: break;
  }
  return VolumeType::kOther;
}
