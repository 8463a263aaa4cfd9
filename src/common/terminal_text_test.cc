#include "common/terminal_text.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

std::string shown(const std::string& text, bool utf8) {
  std::string out = "<";
  append_terminal_text(&out, text.data(), text.size(), utf8);
  return out;
}

TEST(TerminalText, SingleByteConsoleKeepsLatin1) {
  EXPECT_EQ(shown(std::string("a\0b\x1b[2J\x07\x7f", 9), false), "<a?b?[2J??");
  EXPECT_EQ(shown("\x80\x9b\x9f\xa0\xe9\xff", false), "<???\xa0\xe9\xff");
  // UTF-8 bytes are single bytes here: the C1 range of their second byte too.
  EXPECT_EQ(shown("\xc3\xa9\xc2\x85", false), "<\xc3\xa9\xc2?");
}

TEST(TerminalText, Utf8ConsoleKeepsWholeCharacters) {
  // Two, three and four bytes, and a name that is all of them.
  EXPECT_EQ(shown("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", true),
            "<caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
  EXPECT_EQ(shown("\xc2\xa0\xdf\xbf\xef\xbf\xbd\xf4\x8f\xbf\xbf", true),
            "<\xc2\xa0\xdf\xbf\xef\xbf\xbd\xf4\x8f\xbf\xbf");
  // Control characters: C0, DEL and each C1 character (U+0080 to U+009F)
  // one "?".
  EXPECT_EQ(shown("a\x1b[2J\x7f\xc2\x80\xc2\x9b\xc2\x9f" "b", true), "<a?[2J????b");
}

TEST(TerminalText, Utf8ConsoleMarksEveryByteThatIsNotUtf8) {
  const struct {
    std::string in, want;
  } cases[] = {
      {"\xe9", "<?"},                      // Latin-1
      {"\xff\xfe", "<??"},                 // never in UTF-8
      {"\x80x", "<?x"},                    // a stray continuation byte
      {"\xc3(", "<?("},                    // a sequence cut by another character
      {"\xe2\x82", "<??"},                 // cut by the end
      {"\xc0\xaf", "<??"},                 // overlong "/"
      {"\xe0\x80\xaf", "<???"},            // overlong, three bytes
      {"\xed\xa0\x80", "<???"},            // an encoded surrogate
      {"\xf4\x90\x80\x80", "<????"},       // above U+10FFFF
      {"\xc2\x9b[2J", "<?[2J"},            // CSI, the one-character escape
  };
  for (const auto& c : cases) EXPECT_EQ(shown(c.in, true), c.want) << c.in;
}

TEST(TerminalText, TheConsolesCharacterSetDecides) {
  std::string a, b;
  const std::string name = "\xc3\xa9\xe9";
  append_terminal_text(&a, name.data(), name.size());
  append_terminal_text(&b, name.data(), name.size(), console_uses_utf8());
  EXPECT_EQ(a, b);
}

}  // namespace
