#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string decode(const char* page, const std::string& bytes) {
  std::string out;
  append_codepage_as_utf8(page, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                          &out);
  return out;
}

const char kFffd[] = "\xEF\xBF\xBD";

TEST(Codepage, KnownNames) {
  EXPECT_TRUE(codepage_known("CP1252"));
  EXPECT_TRUE(codepage_known("cp1252"));
  EXPECT_TRUE(codepage_known(kDefaultCodepage));
  EXPECT_TRUE(codepage_known("CP932"));
  EXPECT_TRUE(codepage_known("CP936"));
  EXPECT_TRUE(codepage_known("CP950"));
  EXPECT_TRUE(codepage_known("WINDOWS-1252"));
  EXPECT_FALSE(codepage_known("NO-SUCH-PAGE"));
  EXPECT_FALSE(codepage_known(""));
  EXPECT_FALSE(codepage_known(nullptr));
  EXPECT_FALSE(codepage_known("CP1252//TRANSLIT"));
  EXPECT_FALSE(codepage_known(std::string(200, 'A').c_str()));
}

TEST(Codepage, Cp1252) {
  EXPECT_EQ(decode("CP1252", "C:\\abc.txt"), "C:\\abc.txt");
  EXPECT_EQ(decode("CP1252", "caf\xE9"), "caf\xC3\xA9");
  EXPECT_EQ(decode("CP1252", "\x80\x9F\xFF"), "\xE2\x82\xAC\xC5\xB8\xC3\xBF");  // euro, Y-diaeresis, y-diaeresis
  EXPECT_EQ(decode("cp1252", "\xE9"), "\xC3\xA9");
}

TEST(Codepage, UndefinedBytesBecomeReplacementCharacters) {
  // 0x81, 0x8D, 0x8F, 0x90 and 0x9D are not characters of code page 1252.
  EXPECT_EQ(decode("CP1252", "a\x81" "b\x8D\x8F\x90\x9D" "c"),
            std::string("a") + kFffd + "b" + kFffd + kFffd + kFffd + kFffd + "c");
}

TEST(Codepage, Cp932) {
  // "shinki" (new) in kanji, a half-width katakana, and ASCII.
  EXPECT_EQ(decode("CP932", "\x90V\x8BK\xC3.txt"), "\xE6\x96\xB0\xE8\xA6\x8F\xEF\xBE\x83.txt");
  // 0x83 0x5C is one character whose second byte is '\'.
  EXPECT_EQ(decode("CP932", "\x83\x5C"), "\xE3\x82\xBD");
  // A lead byte at the end has no character; one at the start of an ASCII
  // byte gives that byte back after the replacement.
  EXPECT_EQ(decode("CP932", "ab\x82"), std::string("ab") + kFffd);
  EXPECT_EQ(decode("CP932", "\x82" "\x20" "z"), std::string(kFffd) + " z");
  // 0xA0 and 0xFD to 0xFF are not defined.
  EXPECT_EQ(decode("CP932", "\xFF" "a"), std::string(kFffd) + "a");
}

TEST(Codepage, OnlyWellFormedUtf8ComesOut) {
  // Beyond U+10FFFF, a surrogate and an overlong form, read as UTF-8.
  EXPECT_EQ(decode("UTF-8", "\xF4\x90\x80\x80"), std::string(kFffd) + kFffd + kFffd + kFffd);
  EXPECT_EQ(decode("UTF-8", "a\xED\xA0\x80" "b"), std::string("a") + kFffd + kFffd + kFffd + "b");
  EXPECT_EQ(decode("UTF-8", "\xC0\x80"), std::string(kFffd) + kFffd);
  EXPECT_EQ(decode("UTF-8", "\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
}

TEST(Codepage, UnknownPageKeepsAsciiOnly) {
  EXPECT_EQ(decode("NO-SUCH-PAGE", "ab\xE9z"), std::string("ab") + kFffd + "z");
  EXPECT_EQ(decode(nullptr, "x\x80"), std::string("x") + kFffd);
}

TEST(Codepage, AppendsAndHandlesLongInput) {
  std::string out = "kept:";
  const std::string bytes(5000, '\xE9');
  append_codepage_as_utf8("CP1252", reinterpret_cast<const unsigned char*>(bytes.data()),
                          bytes.size(), &out);
  ASSERT_EQ(out.size(), 5u + 2 * 5000);
  EXPECT_EQ(out.compare(0, 5, "kept:"), 0);
  for (size_t i = 5; i < out.size(); i += 2) ASSERT_EQ(out.compare(i, 2, "\xC3\xA9"), 0) << i;
  std::string empty;
  append_codepage_as_utf8("CP1252", nullptr, 0, &empty);
  EXPECT_EQ(empty, "");
}

TEST(Codepage, ManyPagesInTurn) {
  // More code pages than the converters kept at once, asked again and again.
  const char* pages[] = {"CP1252", "CP932", "CP936", "CP950", "CP1251", "CP1250", "UTF-8"};
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(decode("CP1252", "\xE9"), "\xC3\xA9");
    EXPECT_EQ(decode("CP932", "\x83\x5C"), "\xE3\x82\xBD");
    EXPECT_EQ(decode("CP1251", "\xC0"), "\xD0\x90");  // Cyrillic A
    EXPECT_EQ(decode("CP1250", "\xA5"), "\xC4\x84");  // A-ogonek
    EXPECT_EQ(decode("UTF-8", "\xC3\xA9\xC3"), std::string("\xC3\xA9") + kFffd);
    for (const char* p : pages) EXPECT_TRUE(codepage_known(p)) << p;
  }
}

}  // namespace
