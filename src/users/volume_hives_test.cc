// The hives of a volume's Windows/System32/config, found whatever the case
// of their names and read through the volume's file system (here one in
// memory, which hands its bytes out a piece at a time, as an image's
// volume may).
#include "users/volume_hives.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/memory_file_system.h"
#include "users/test_hives.h"
#include "users/user_names.h"

namespace {

TEST(VolumeHives, EveryHiveOfTheConfigFolderWhateverTheCaseOfItsNames) {
  if (!kHiveSupport) GTEST_SKIP() << "this build reads no hives";
  NEED_HIVE_TOOLS("");
  const std::string sam = test_hives::read_file(test_hives::sam_sample());
  ASSERT_FALSE(sam.empty());
  MemoryFileSystem fs;
  fs.set_read_limit(4096);
  fs.add_file("WINDOWS/system32/Config/sam", sam);
  fs.add_file("WINDOWS/system32/Config/SOFTWARE", sam.substr(0, 8192));  // cut short
  fs.add_file("WINDOWS/system32/Config/SYSTEM", sam);                     // not asked for
  fs.add_file("Windows.old/System32/config/SAM", sam);                    // another folder
  fs.add_file("WINDOWS/System32/config", "");                             // not a folder
  VolumeHives found;
  read_volume_hives(&fs, "IMAGE:p2:", &found);
  ASSERT_EQ(found.sam.size(), 1u);
  EXPECT_TRUE(found.software.empty());
  ASSERT_EQ(found.failed.size(), 1u);
  EXPECT_EQ(found.failed[0].hive(), "IMAGE:p2:/WINDOWS/system32/Config/SOFTWARE");
  EXPECT_FALSE(found.failed[0].reason().empty());
  UserNames names;
  names.add(found.sam[0]);
  EXPECT_EQ(names.name_of(std::string(test_hives::kMachineSid) + "-500"), "Administrator");
  EXPECT_EQ(names.name_of(std::string(test_hives::kMachineSid) + "-1000"), "Preston");
  EXPECT_EQ(fs.open_directories(), 0u);
  EXPECT_EQ(fs.open_files(), 0u);
}

TEST(VolumeHives, AVolumeWithoutWindowsHasNone) {
  MemoryFileSystem fs;
  fs.add_file("$Recycle.Bin/S-1-5-18/$IABC", "x");
  fs.add_file("Windows/System32/notes.txt", "x");
  VolumeHives found;
  read_volume_hives(&fs, "IMAGE:p3:", &found);
  EXPECT_TRUE(found.sam.empty());
  EXPECT_TRUE(found.software.empty());
  EXPECT_TRUE(found.failed.empty());
}

}  // namespace
