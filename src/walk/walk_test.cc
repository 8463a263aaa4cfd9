#include "walk/walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/streams.h"
#include "common/test_tree.h"
#include "options/options.h"
#include "runlog/volume.h"
#include "walk/exclude.h"
#include "walk/path_list.h"

namespace {

std::vector<std::string> g_seen;

void record(const char* directory, const char* file_name, EntryKind) {
  g_seen.push_back(std::string(directory) + file_name);
}

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen.clear();
    g_pattern_list = {"*.*"};
    g_options = Options();
    clear_exclusions();
    reserve_walk_buffers();
    g_file_handler = record;
  }
  // The subdirectory names of `dir` in the order the search yields them.
  std::vector<std::string> subdirectories(const std::string& dir) {
    std::vector<std::string> out;
    FindData d;
    DirSearch* s = find_first((dir + "*.*").c_str(), &d);
    if (!s) return out;
    do {
      const std::string n = d.name;
      if ((d.attributes & kAttrDirectory) && n != "." && n != "..") out.push_back(n);
    } while (find_next(s, &d));
    find_close(s);
    return out;
  }
  TestTree tree;
};

TEST_F(WalkTest, DepthFirstWithEachDirectorysFilesAfterItsSubdirectories) {
  tree.file("A/f5");
  tree.file("A/B/f2");
  tree.file("A/B/D/f3");
  tree.file("A/C/f4");
  const std::string a = tree.dir() + "A/";
  walk_directory(a.c_str());

  std::vector<std::string> expected;
  for (const std::string& sub : subdirectories(a)) {
    if (sub == "B") {
      expected.push_back(a + "B/D/f3");
      expected.push_back(a + "B/f2");
    } else {
      expected.push_back(a + "C/f4");
    }
  }
  expected.push_back(a + "f5");
  EXPECT_EQ(g_seen, expected);
}

TEST_F(WalkTest, RecursionOffTakesOnlyTheListedDirectory) {
  tree.file("A/f1");
  tree.file("A/B/f2");
  g_options.recurse = 0;
  walk_directory((tree.dir() + "A/").c_str());
  EXPECT_EQ(g_seen, std::vector<std::string>{tree.dir() + "A/f1"});
}

TEST_F(WalkTest, LinksToDirectoriesAreNeverEntered) {
  tree.file("A/B/f2");
  std::filesystem::create_directory_symlink(tree.path("A/B"), tree.path("A/L"));
  std::filesystem::create_directory_symlink(tree.path("A"), tree.path("A/B/loop"));
  walk_directory((tree.dir() + "A/").c_str());
  // The links are handed over as files (the decoder refuses to open them);
  // nothing below them is walked.
  std::sort(g_seen.begin(), g_seen.end());
  EXPECT_EQ(g_seen, (std::vector<std::string>{tree.dir() + "A/B/f2", tree.dir() + "A/B/loop",
                                              tree.dir() + "A/L"}));
}

TEST_F(WalkTest, PatternsApplyInOrderAndADashEndsTheList) {
  tree.file("$IAAA.txt");
  tree.file("$IBBB");
  tree.file("$RAAA.txt");
  tree.directory("$I123.TXT");
  g_options.recurse = 0;
  g_pattern_list = {"$I*.*", "*.txt", "-stop", "*.*"};
  walk_directory(tree.dir().c_str());
  std::vector<std::string> first(g_seen.begin(), g_seen.begin() + 2);
  std::sort(first.begin(), first.end());
  EXPECT_EQ(first, (std::vector<std::string>{tree.dir() + "$IAAA.txt", tree.dir() + "$IBBB"}));
  std::vector<std::string> second(g_seen.begin() + 2, g_seen.end());
  std::sort(second.begin(), second.end());
  EXPECT_EQ(second, (std::vector<std::string>{tree.dir() + "$IAAA.txt", tree.dir() + "$RAAA.txt"}));
}

TEST_F(WalkTest, ExcludedNamesAreSkipped) {
  tree.file("$IAAA.tmp");
  tree.file("$IBBB.doc");
  add_exclusion("*.TMP");
  g_options.exclude_active = 1;
  walk_directory(tree.dir().c_str());
  EXPECT_EQ(g_seen, std::vector<std::string>{tree.dir() + "$IBBB.doc"});
}

std::vector<std::string> g_probed;
int count_probe(const char* path) {
  g_probed.push_back(path);
  return 0;
}

TEST_F(WalkTest, StreamsAreProbedForEveryDirectoryOnNtfsOnly) {
  tree.file("A/B/f");
  tree.file("A/C/D/f");
  int (*saved_counter)(const char*) = g_stream_counter;
  g_stream_counter = count_probe;
  g_volume_type = VolumeType::kNtfs;
  g_probed.clear();
  walk_directory((tree.dir() + "A/").c_str());
  std::sort(g_probed.begin(), g_probed.end());
  EXPECT_EQ(g_probed, (std::vector<std::string>{tree.dir() + "A", tree.dir() + "A/B",
                                                tree.dir() + "A/C", tree.dir() + "A/C/D"}));
  for (VolumeType other : {VolumeType::kFat32, VolumeType::kOther}) {
    g_volume_type = other;
    g_probed.clear();
    walk_directory((tree.dir() + "A/").c_str());
    EXPECT_TRUE(g_probed.empty());
  }
  g_stream_counter = saved_counter;
}

TEST_F(WalkTest, AMissingDirectoryYieldsNothing) {
  walk_directory((tree.dir() + "missing/").c_str());
  EXPECT_TRUE(g_seen.empty());
}

}  // namespace
