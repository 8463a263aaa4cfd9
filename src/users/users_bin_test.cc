// The two-partition disk of tests/e2e/hives.py: Windows on the first
// partition (a SOFTWARE hive with a ProfileList, the SAM sample), a
// recycle bin with a folder per user on the second.  The hives are read
// from the image as a run reads them (through the image's file system,
// copied into memory piece by piece), and every user of the bin is named
// in the order a run asks the sources.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "image/test_images.h"
#include "users/hive_reader.h"
#include "users/test_hives.h"
#include "users/user_names.h"

namespace {

struct FolderNames : DirEntryVisitor {
  std::vector<std::string> names;
  bool visit(const DirEntry& e) override {
    std::string name(e.name, e.name_length);
    if (name != "." && name != "..") names.push_back(name);
    return true;
  }
};

// Copies the file `name` of `dir` into memory and reads its names.
HiveStatus read_from_volume(ImageVolume* volume, DirRef dir, const std::string& name, HiveNames* out) {
  const std::string label = volume->source_prefix() + "/Windows/System32/config/" + name;
  const FileRef file = volume->open_file(dir, name.c_str(), EntryKind::kRegular);
  if (file == kNoFile) return HiveStatus::failed(label, "it cannot be opened");
  HiveCopy copy;
  std::string reason;
  bool copied = copy.begin(&reason);
  char buffer[65536];
  size_t got;
  while (copied && (got = volume->read_file(file, buffer, sizeof buffer)) > 0) copied = copy.append(buffer, got, &reason);
  volume->close_file(file);
  if (!copied) return HiveStatus::failed(label, reason);
  return read_hive_copy(label, std::move(copy), out);
}

TEST(UsersBin, EveryUserOfTheBinIsNamedByTheWindowsPartition) {
  if (!kHiveSupport) GTEST_SKIP() << "this build reads no hives";
  NEED_HIVE_TOOLS("");
  NEED_IMAGE(image, "users-bin");
  const test_hives::FileStamp before = test_hives::stamp_of(image);
  std::string error;
  std::unique_ptr<OpenedImage> opened = open_image_at(image, &error);
  ASSERT_NE(opened, nullptr) << error;

  // Every SOFTWARE hive, then every SAM hive, of every volume; and the
  // users' folders of every bin.
  std::vector<HiveNames> software, sam;
  std::vector<std::string> labels, users;
  for (size_t i = 0; i < opened->image->volume_count(); ++i) {
    ImageVolume* volume = opened->open(i);
    if (volume == nullptr) continue;
    const DirRef config = volume->open_directory("/Windows/System32/config", &error);
    if (config != kNoDir) {
      for (const char* name : {"SOFTWARE", "SAM"}) {
        HiveNames names;
        const HiveStatus status = read_from_volume(volume, config, name, &names);
        ASSERT_TRUE(status.ok()) << status.message();
        labels.push_back(status.hive());
        (names.kind == HiveKind::kSoftware ? software : sam).push_back(std::move(names));
      }
      volume->close_directory(config);
    }
    const DirRef bin = volume->open_directory("/$Recycle.Bin", &error);
    if (bin != kNoDir) {
      FolderNames folders;
      ASSERT_TRUE(volume->list_directory(bin, "*", &folders, &error)) << error;
      users.insert(users.end(), folders.names.begin(), folders.names.end());
      volume->close_directory(bin);
    }
  }
  opened.reset();
  EXPECT_EQ(labels, (std::vector<std::string>{"IMAGE:p2:/Windows/System32/config/SOFTWARE",
                                              "IMAGE:p2:/Windows/System32/config/SAM"}));
  ASSERT_EQ(software.size(), 1u);
  ASSERT_EQ(sam.size(), 1u);
  UserNames names;
  for (const HiveNames& hive : software) names.add(hive);
  for (const HiveNames& hive : sam) names.add(hive);

  // Preston's profile folder is not named as his account: the ProfileList
  // comes first.  The Administrator has no profile: the SAM names him.
  // Jürgen, of another machine, is known only to the ProfileList; the last
  // user to nothing.  The service account's folder is not its name.
  const std::map<std::string, std::string> expected = {
      {"S-1-5-21-1760460187-1592185332-161725925-1000", "Preston.EXAMINER-PC"},
      {"S-1-5-21-1760460187-1592185332-161725925-500", "Administrator"},
      {"S-1-5-21-3623811015-3361044348-30300820-1001", "J\xc3\xbcrgen"},
      {"S-1-5-21-3623811015-3361044348-30300820-1002", ""},
      {"S-1-5-18", "SYSTEM"},
  };
  std::map<std::string, std::string> named;
  for (const std::string& sid : users) named[sid] = names.name_of(sid);
  EXPECT_EQ(named, expected);
  // The SAM alone would name Preston by his account.
  UserNames sam_only;
  sam_only.add(sam.front());
  EXPECT_EQ(sam_only.name_of("S-1-5-21-1760460187-1592185332-161725925-1000"), "Preston");

  EXPECT_EQ(test_hives::stamp_of(image), before) << "the image changed";
}

}  // namespace
