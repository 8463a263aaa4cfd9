// The registry hives of a Windows installation on a volume: the SOFTWARE
// and SAM hives of Windows/System32/config (every folder and file of those
// names, matched in any case), read through the volume's file system (an
// evidence image's volume) and copied into memory piece by piece, never
// onto a disk.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "users/hive_reader.h"

// What the hives of one volume (or of several) gave.
struct VolumeHives {
  std::vector<HiveNames> software;  // the SOFTWARE hives, in the order found
  std::vector<HiveNames> sam;       // the SAM hives
  std::vector<HiveStatus> failed;   // the hives that could not be read
};

// Reads every Windows/System32/config/SOFTWARE and .../SAM of `fs`, whose
// paths start at its root with "/"; each hive is named by `label_prefix`
// and its path ("IMAGE:p2:/Windows/System32/config/SAM").  A folder on the
// way that cannot be read is passed over: a volume without Windows is the
// usual case, and the walk names the folders it cannot read.
void read_volume_hives(FileSystem* fs, std::string_view label_prefix, VolumeHives* out);
