#include "walk/exclude.h"

#include <gtest/gtest.h>

namespace {

struct Case {
  const char* pattern;
  const char* name;
  bool matches;
};

TEST(WildcardMatch, FollowsTheListedRules) {
  const Case cases[] = {
      {"*", "ANYTHING", true},
      {"*", "", true},
      {"$I*", "$I1A2B3C.TMP", true},
      {"$I*", "$R1A2B3C.TMP", false},
      {"*.LNK", "SHORTCUT.LNK", true},
      {"*.LNK", "SHORTCUT.LNKX", false},
      {"A?", "AB", true},
      {"A?", "A", false},
      {"*/*", "A/B", true},
      {"*", ".HIDDEN", true},
      {"[A-F]*", "BETA", true},
      {"[A-F]*", "GAMMA", false},
      {"[!A-F]*", "GAMMA", true},
      {"[^A-F]*", "BETA", false},
      {"[]]", "]", true},
      {"[!]]", "]", false},
      {"[A-]", "-", true},
      {"[\\]]", "]", true},
      {"[A-\\]]", "B", true},
      {"[:ALPHA:]", "A", true},
      {"[:ALPHA:]", ":", true},
      {"[:ALPHA:]", "[", false},
      {"[[]", "[", true},
      {"[ABC", "A", false},
      {"[ABC", "[ABC", false},
      {"AB\\", "AB\\", false},
      {"AB\\", "AB", false},
      {"\\*", "*", true},
      {"\\*", "X", false},
      {"*A*B*C", "XAXXBXXC", true},
      {"*A*B*C", "XAXXBXXD", false},
      {"\xE9*", "\xE9T\xE9", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(wildcard_match(c.pattern, c.name), c.matches) << c.pattern << " against " << c.name;
}

TEST(IsExcluded, UpperCasesBothSides) {
  clear_exclusions();
  add_exclusion("$i*.tmp");
  add_exclusion("[a-f]x");
  EXPECT_EQ(g_exclude_list.front(), "$I*.TMP");
  EXPECT_TRUE(is_excluded("$I1A2B3C.TMP"));
  EXPECT_TRUE(is_excluded("$i1a2b3c.tmp"));
  EXPECT_TRUE(is_excluded("bx"));
  EXPECT_FALSE(is_excluded("gx"));
  EXPECT_FALSE(is_excluded("$R1A2B3C.TMP"));
  clear_exclusions();
  EXPECT_FALSE(is_excluded("$I1A2B3C.TMP"));
}

}  // namespace
