#include "platform/dos_pattern.h"

#include <gtest/gtest.h>

namespace {

struct Case {
  const char* pattern;
  const char* name;
  bool matches;
};

TEST(DosPattern, MatchesAsTheWindowsDirectorySearch) {
  const Case cases[] = {
      // "*.*" is every name, with or without a dot.
      {"*.*", "$IAB12CD.docx", true},
      {"*.*", "$I0JGHX7", true},
      {"*.*", ".", true},
      {"*", "anything.at.all", true},
      // "$I*.*" takes dot-less names as well.
      {"$I*.*", "$IAB12CD.docx", true},
      {"$I*.*", "$I0JGHX7", true},
      {"$I*.*", "$i0jghx7", true},
      {"$I*.*", "$Ia.b.c", true},
      {"$I*.*", "$RAB12CD.docx", false},
      {"$I*.*", "desktop.ini", false},
      // "*." takes only names without a dot.
      {"*.", "README", true},
      {"*.", "notes.txt", false},
      // "?" may match nothing at a dot or at the end.
      {"a??", "a", true},
      {"a??", "ab", true},
      {"a??", "abc", true},
      {"a??", "abcd", false},
      {"??.txt", "a.txt", true},
      {"??.txt", "abc.txt", false},
      // ".*" and ".?" may match nothing at the end.
      {"readme.*", "readme", true},
      {"readme.*", "readme.md", true},
      {"x.?", "x", true},
      {"x.?", "x.c", true},
      // Letters regardless of case; other bytes as they are.
      {"*.TXT", "notes.txt", true},
      {"\xe9*", "\xe9t\xe9", true},
      {"\xe9*", "\xc9t\xe9", false},
      // Trailing dots and spaces of the pattern are dropped.
      {"notes.txt. ", "notes.txt", true},
      // "*" in the middle, with backtracking.
      {"*a*b", "xaxaxb", true},
      {"*a*b", "xaxaxc", false},
      {"$I*", "$I", true},
      {"", "a", false},
  };
  DosPattern p;
  for (const Case& c : cases) {
    p.compile(c.pattern);
    EXPECT_EQ(p.matches(c.name), c.matches) << c.pattern << " against " << c.name;
  }
}

}  // namespace
