// The kind of file system the run reads.
#pragma once

#include "platform/file_system.h"

enum class VolumeType { kOther = 1, kNtfs = 2, kFat32 = 4 };

extern VolumeType g_volume_type;

VolumeType identify_volume(FileSystem* fs, const char* path);
// The type the banner and the stream probe go by for a kind of file system.
VolumeType volume_type_of(FileSystemKind kind);
