#include "walk/path_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/test_tree.h"

namespace {

using Strings = std::vector<std::string>;

class PathListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_path_list.clear();
    g_pattern_list.clear();
  }
  void add(std::string name) { add_path(name.data()); }
};

TEST_F(PathListTest, DuplicatesAreTestedBeforeTheSeparatorGoes) {
  char with[] = "/data/";
  add_path(with);
  EXPECT_STREQ(with, "/data");  // the caller's own text is shortened
  add("/data");
  EXPECT_EQ(g_path_list, Strings{"/data"});
  // In the other order the names differ as given: two entries.
  g_path_list.clear();
  add("/data");
  add("/data/");
  EXPECT_EQ(g_path_list, (Strings{"/data", "/data"}));
}

TEST_F(PathListTest, NamesAreCaseSensitiveAndTheRootStays) {
  add("/data/A");
  add("/data/a");
  add("/");
  add("");
  EXPECT_EQ(g_path_list, (Strings{"/data/A", "/data/a", "/"}));
}

TEST_F(PathListTest, ListsHaveNoFixedLimit) {
  for (int i = 0; i < 100; ++i) {
    add("/d" + std::to_string(i));
    add_file_pattern(("p" + std::to_string(i)).c_str());
  }
  const std::string long_name = "/" + std::string(5000, 'x');
  add(long_name);
  EXPECT_EQ(g_path_list.size(), 101u);
  EXPECT_EQ(g_pattern_list.size(), 100u);
  EXPECT_EQ(g_path_list.back(), long_name);
}

TEST_F(PathListTest, BareArguments) {
  TestTree tree;
  tree.file("case/$I1.txt");
  const std::string dir = tree.path("case");
  // A directory adds only itself.
  add_bare_argument(dir.c_str());
  EXPECT_EQ(g_path_list, Strings{dir});
  EXPECT_TRUE(g_pattern_list.empty());
  // A pattern adds its directory (already listed here) and its last part.
  add_bare_argument((dir + "/$I*.*").c_str());
  EXPECT_EQ(g_path_list, Strings{dir});
  EXPECT_EQ(g_pattern_list, Strings{"$I*.*"});
  // A directory that does not exist, written with a trailing separator.
  add_bare_argument((dir + "/gone/").c_str());
  EXPECT_EQ(g_path_list, (Strings{dir, dir + "/gone"}));
  EXPECT_EQ(g_pattern_list, Strings{"$I*.*"});
  // Dots are folded.
  add_bare_argument((dir + "/gone/../other/./x.txt").c_str());
  EXPECT_EQ(g_path_list.back(), dir + "/other");
  EXPECT_EQ(g_pattern_list.back(), "x.txt");
}

}  // namespace
