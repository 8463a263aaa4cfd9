#include "walk/tree_source.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/memory_file_system.h"

namespace {

TEST(Volume, Classification) {
  EXPECT_EQ(classify_file_system(0x5346544eUL, nullptr), FileSystemKind::kNtfs);
  EXPECT_EQ(classify_file_system(0x4d44UL, nullptr), FileSystemKind::kFat32);
  EXPECT_EQ(classify_file_system(0xEF53UL, nullptr), FileSystemKind::kOther);      // ext4
  EXPECT_EQ(classify_file_system(0x2011BAB0UL, nullptr), FileSystemKind::kOther);  // exFAT
  EXPECT_EQ(classify_file_system(0x65735546UL, "fuseblk /dev/sdb1 rw"), FileSystemKind::kOther);
  EXPECT_EQ(classify_file_system(0x65735546UL, "fuseblk ntfs-3g rw"), FileSystemKind::kNtfs);
  EXPECT_EQ(classify_file_system(0x65735546UL, "fuse.ntfs-3g /dev/sdb1 rw"), FileSystemKind::kNtfs);
}

TEST(Volume, IdentifiedByTheFileSystem) {
  MemoryFileSystem fs;
  fs.set_volume_kind(FileSystemKind::kNtfs);
  EXPECT_EQ(identify_volume(&fs, "/mnt/x"), VolumeType::kNtfs);
  fs.set_volume_kind(FileSystemKind::kFat32);
  EXPECT_EQ(identify_volume(&fs, "/mnt/x"), VolumeType::kFat32);
  EXPECT_EQ(fs.volume_queries(), (std::vector<std::string>{"/mnt/x", "/mnt/x"}));
  EXPECT_EQ(identify_volume(real_file_system(), "/proc"), VolumeType::kOther);
}

}  // namespace
