#include "options/path_list.h"

#include <gtest/gtest.h>

#include <chrono>
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
  void add(std::string name) { ::add_path(&options_, name.data()); }
  void add_path(char* name) { ::add_path(&options_, name); }
  void add_file_pattern(const char* pattern) { ::add_file_pattern(&options_, pattern); }
  void add_bare_argument(const char* argument) { ::add_bare_argument(&options_, argument); }
  Options options_;
  std::vector<std::string>& g_path_list = options_.path_list;
  std::vector<std::string>& g_pattern_list = options_.pattern_list;
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

TEST_F(PathListTest, AHundredThousandDirectoriesAreListedInLinearTime) {
  // Every name twice, the second time after all the others: the first one
  // wins and the order is kept.
  constexpr int kCount = 100000;
  Strings expected;
  for (int i = 0; i < kCount; ++i) expected.push_back("/evidence/d" + std::to_string(i));
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < 2; ++round)
    for (const std::string& name : expected) add(name);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(g_path_list, expected);
  EXPECT_LT(seconds, 5.0);  // a test against every entry took minutes
}

TEST_F(PathListTest, TheDuplicateTestFollowsAListChangedFromOutside) {
  add("/a");
  g_path_list.clear();  // as the option tests do between runs
  add("/a");
  EXPECT_EQ(g_path_list, Strings{"/a"});
  g_path_list.push_back("/b");
  add("/b");
  add("/c");
  EXPECT_EQ(g_path_list, (Strings{"/a", "/b", "/c"}));
  // A bare argument whose directory is listed exactly adds only its pattern.
  add_bare_argument("/c/$I*");
  EXPECT_EQ(g_path_list, (Strings{"/a", "/b", "/c"}));
  EXPECT_EQ(g_pattern_list, Strings{"$I*"});
}

}  // namespace
