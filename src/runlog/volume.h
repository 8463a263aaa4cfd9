// The kind of file system the run reads.
#pragma once

enum class VolumeType { kOther = 1, kNtfs = 2, kFat32 = 4 };

extern VolumeType g_volume_type;

VolumeType identify_volume(const char* path);
