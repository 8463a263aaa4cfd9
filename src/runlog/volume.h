// The kind of file system the run reads.
#pragma once

#include "platform/platform.h"

enum class VolumeType { kOther = 1, kNtfs = 2, kFat32 = 4 };

extern VolumeType g_volume_type;

VolumeType identify_volume(const char* path);

// How identify_volume asks the system; tests put a fake in its place.
extern FileSystemKind (*g_file_system_probe)(const char* path);
