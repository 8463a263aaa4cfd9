#include "runlog/volume.h"

#include "platform/platform.h"

VolumeType g_volume_type = VolumeType::kOther;
FileSystemKind (*g_file_system_probe)(const char* path) = file_system_kind;

VolumeType identify_volume(const char* path) {
  switch (g_file_system_probe(path)) {
    case FileSystemKind::kNtfs: return VolumeType::kNtfs;
    case FileSystemKind::kFat32: return VolumeType::kFat32;
    case FileSystemKind::kOther: break;
  }
  return VolumeType::kOther;
}
