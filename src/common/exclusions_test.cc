#include "common/exclusions.h"

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
  ExclusionList exclusions;
  exclusions.clear();
  exclusions.add("$i*.tmp");
  exclusions.add("[a-f]x");
  EXPECT_EQ(exclusions.patterns().front(), "$I*.TMP");
  EXPECT_TRUE(exclusions.excludes("$I1A2B3C.TMP"));
  EXPECT_TRUE(exclusions.excludes("$i1a2b3c.tmp"));
  EXPECT_TRUE(exclusions.excludes("bx"));
  EXPECT_FALSE(exclusions.excludes("gx"));
  EXPECT_FALSE(exclusions.excludes("$R1A2B3C.TMP"));
  exclusions.clear();
  EXPECT_FALSE(exclusions.excludes("$I1A2B3C.TMP"));
}

}  // namespace
