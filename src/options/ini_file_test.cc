#include "options/ini_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/test_tree.h"
#include "options/test_options.h"

namespace {

using Strings = std::vector<std::string>;

class IniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_option_state();
    saved_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(tree.dir());
  }
  void TearDown() override { std::filesystem::current_path(saved_cwd_); }
  void read(std::vector<std::string> args = {}) {
    ArgVector v(args);
    read_ini_file(v.argv(), &g_options);
  }
  TestTree tree;
  std::filesystem::path saved_cwd_;
};

TEST_F(IniTest, KeysInTheirOrderWithTheirMatching) {
  apply_ini_line("recurse=off", &g_options);
  EXPECT_EQ(g_options.recurse, 0);
  apply_ini_line("RECURSE=NONE", &g_options);  // contains ON
  EXPECT_EQ(g_options.recurse, 1);
  apply_ini_line("reset = on and off", &g_options);  // the off test wins
  EXPECT_EQ(g_options.reset_times, 0);
  apply_ini_line("PATH=C:\\PROTOTYPE", &g_options);  // a TYPE line
  EXPECT_TRUE(g_options.path_list.empty());
  apply_ini_line("PATH=/Evidence/Bin", &g_options);
  EXPECT_EQ(g_options.path_list, Strings{"/Evidence/Bin"});
  apply_ini_line("FILE=$i*.*", &g_options);
  EXPECT_EQ(g_options.pattern_list, Strings{"$I*.*"});
  apply_ini_line("Exclude=*.tmp", &g_options);
  EXPECT_EQ(g_options.exclude_list.patterns(), Strings{"*.TMP"});
  EXPECT_EQ(g_options.exclude_active, 1);
  apply_ini_line("QUIET=ON", &g_options);
  EXPECT_EQ(g_options.no_header, 1);
  apply_ini_line("binary=off", &g_options);
  EXPECT_EQ(g_options.no_header, 1);
  apply_ini_line("append=yes", &g_options);
  EXPECT_EQ(g_options.append, 1);
  apply_ini_line("output=Report.Out", &g_options);
  EXPECT_EQ(g_options.output_to_file, 1);
  EXPECT_EQ(std::filesystem::path(g_options.output_name).filename(), "Report.Out");
  EXPECT_EQ(g_options.append, 1);
  // The delimiter line is also compared with the keys after it.
  apply_ini_line("DELIMITER=, recurse off", &g_options);
  EXPECT_EQ(g_options.recurse, 0);
  apply_ini_line("MEMO=off", &g_options);
  EXPECT_EQ(g_options.memo_active, 0);
  apply_ini_line("MEMO", &g_options);
  EXPECT_EQ(g_options.memo_active, 1);
}

TEST_F(IniTest, AfterTheDelimiterEveryKeyThatFollowsIsTested) {
  // Keys 5 to 10 come right after the delimiter: the first of them that
  // the line holds handles it, and no later key does.
  for (const char* line : {"DELIMITER=,TYPE,RECURSE=OFF", "DELIMETER=;INDIV=x;RECURSE=OFF",
                           "delimiter=, stars recurse=off", "DELIMITER=,DOC_ID RESET=ON"}) {
    reset_option_state();
    apply_ini_line(line, &g_options);
    EXPECT_EQ(g_options.recurse, 1) << line;
    EXPECT_EQ(g_options.reset_times, 0) << line;
  }
  // A key after them still handles a delimiter line that holds none of them.
  reset_option_state();
  apply_ini_line("DELIMITER=,QUIET=ON", &g_options);
  EXPECT_EQ(g_options.no_header, 1);
}

TEST_F(IniTest, TheOwnFileWinsAndNeedsNoSection) {
  tree.file("binsift_tests.ini", "[anything]\nrecurse=off\n");
  tree.file("QUILLORY.INI", "[BINSIFT_TESTS]\nRESET=ON\n");
  read();
  EXPECT_EQ(g_options.recurse, 0);
  EXPECT_EQ(g_options.reset_times, 0);
}

TEST_F(IniTest, TheSharedFileReadsOnlyItsSection) {
  tree.file("QUILLORY.INI",
            "RESET=ON\n[other]\nFILE=a\n[binsift_tests]\n; a comment\nFILE=$i*\n"
            "recurse=off\n[next]\nFILE=b\n");
  read();
  EXPECT_EQ(g_options.pattern_list, Strings{"$I*"});
  EXPECT_EQ(g_options.recurse, 0);
  EXPECT_EQ(g_options.reset_times, 0);
}

TEST_F(IniTest, DotIniAnywhereSkipsIt) {
  tree.file("binsift_tests.ini", "recurse=off\n");
  read({"-p", "x", "-.INI"});
  EXPECT_EQ(g_options.recurse, 1);
}

}  // namespace
