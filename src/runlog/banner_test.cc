#include "runlog/banner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(VersionText, FromTheBuildDateAndTime) {
  EXPECT_EQ(make_version_text("Apr 16 2018", "17:42:53", "\xFB"), "18.04.16.17.42\xFB");
  EXPECT_EQ(make_version_text("Apr  6 2018", "07:02:03", nullptr), "18.04.06.07.02");
  EXPECT_EQ(make_version_text("Dec 31 1999", "23:59:59", nullptr), "99.12.31.23.59");
  EXPECT_EQ(make_version_text("Xyz 31 1999", "23:59:59", nullptr), "99..31.23.59");
}

TEST(Banner, RowsAndPositions) {
  const std::string text = banner_text(1, "Apr 16 2018", "17:42:53");
  const std::string blank = "  \xBA" + std::string(74, ' ') + "\xBA\n";
  const std::string word = sizeof(void*) == 8 ? " 64 BIT" : " 32 BIT";
  std::string expected(29, '\n');
  expected += "  \xC9" + std::string(74, '\xCD') + "\xBB\n";
  expected += "  \xBA" + std::string(34, ' ') + "BINSIFT" + std::string(33, ' ') + "\xBA\n";
  expected += "  \xBA" + std::string(24, ' ') + "Ver. 18.04.16.17.42\xFB" + word +
              std::string(23, ' ') + "\xBA\n";
  expected += blank;
  ASSERT_EQ(text.substr(0, expected.size()), expected);
  const std::string bottom = "  \xC8" + std::string(74, '\xCD') + "\xBC\n";
  EXPECT_EQ(text.substr(text.size() - bottom.size()), bottom);
  // Two rows of text between them, each 2 spaces and 76 box characters.
  const std::string rest = text.substr(expected.size(), text.size() - expected.size() - bottom.size());
  ASSERT_EQ(rest.size(), 2u * 79);
  EXPECT_EQ(rest.substr(0, 3), "  \xBA");
  EXPECT_EQ(rest.substr(77, 2), "\xBA\n");
  EXPECT_EQ(banner_text(30, "Apr 16 2018", "17:42:53").substr(0, 3), "  \xC9");
}

}  // namespace
