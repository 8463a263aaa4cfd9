#include "report/record_text.h"
#include "decode/test_index_files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using test_index::filetime_utc;

namespace {

std::string le16(const std::u16string& s) { return test_index::utf16(s); }

struct Decoded {
  std::string text;
  bool lone = false;
};

Decoded decode(const std::u16string& s) {
  const std::string bytes = le16(s);
  Decoded d;
  d.lone = append_utf16le_as_utf8(reinterpret_cast<const unsigned char*>(bytes.data()), s.size(),
                                  &d.text);
  return d;
}

std::string iso(FileTime t) {
  std::string out = "prefix:";
  if (!append_iso8601(t, &out)) return out == "prefix:" ? "<refused>" : "<refused, wrote>";
  return out.substr(7);
}

TEST(Utf16ToUtf8, AsciiLatinAndBmp) {
  const Decoded d = decode(u"C:\\Temp\\caf\u00e9 \u90a8\u95aa.txt");
  EXPECT_EQ(d.text, "C:\\Temp\\caf\xC3\xA9 \xE9\x82\xA8\xE9\x96\xAA.txt");
  EXPECT_FALSE(d.lone);
}

TEST(Utf16ToUtf8, SurrogatePairIsOneCharacter) {
  // U+28CCA and U+28D99, the first two characters of a real Windows 10 name.
  const Decoded d = decode(u"\U00028CCA\U00028D99");
  EXPECT_EQ(d.text, "\xF0\xA8\xB3\x8A\xF0\xA8\xB6\x99");
  EXPECT_FALSE(d.lone);
  // The highest and lowest characters above the BMP.
  EXPECT_EQ(decode(u"\U00010000\U0010FFFF").text, "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
}

TEST(Utf16ToUtf8, LoneSurrogatesBecomeReplacementCharacter) {
  const std::string fffd = "\xEF\xBF\xBD";
  // A high surrogate at the end, a low one alone, a high one before a letter,
  // two high ones in a row (the second pairs with the low one after it).
  EXPECT_EQ(decode(u"a\xD860").text, "a" + fffd);
  EXPECT_TRUE(decode(u"a\xD860").lone);
  EXPECT_EQ(decode(u"\xDC82" u"b").text, fffd + "b");
  EXPECT_TRUE(decode(u"\xDC82").lone);
  EXPECT_EQ(decode(u"\xD860.").text, fffd + ".");
  EXPECT_EQ(decode(u"\xD800\xD800\xDF30").text, fffd + "\xF0\x90\x8C\xB0");
  // A low surrogate followed by a high one is not a pair.
  EXPECT_EQ(decode(u"\xDC00\xD800").text, fffd + fffd);
}

TEST(Utf16ToUtf8, AppendsAndCountsUnitsOnly) {
  std::string out = "x";
  const std::string bytes = le16(u"ab\xD800");
  // Two units only: the surrogate after them is not looked at.
  EXPECT_FALSE(append_utf16le_as_utf8(reinterpret_cast<const unsigned char*>(bytes.data()), 2,
                                      &out));
  EXPECT_EQ(out, "xab");
  EXPECT_FALSE(append_utf16le_as_utf8(nullptr, 0, &out));
  EXPECT_EQ(out, "xab");
}

TEST(ValidUtf8, KeepsWellFormedAndReplacesTheRest) {
  const std::string fffd = "\xEF\xBF\xBD";
  std::string out;
  append_valid_utf8("plain \xC3\xA9 \xF0\x9F\x98\x80", &out);
  EXPECT_EQ(out, "plain \xC3\xA9 \xF0\x9F\x98\x80");
  const struct {
    std::string in, want;
  } cases[] = {
      {"a\xE9" "b", "a" + fffd + "b"},                  // Latin-1 byte
      {"\x80", fffd},                                    // stray continuation
      {"\xC3", fffd},                                    // cut off
      {"\xC0\xAF", fffd + fffd},                         // overlong "/"
      {"\xE0\x80\xAF", fffd + fffd + fffd},              // overlong
      {"\xED\xA0\x80", fffd + fffd + fffd},              // encoded surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},   // above U+10FFFF
      {"\xE9\x82" "x", fffd + fffd + "x"},               // cut-off three-byte form
  };
  for (const auto& c : cases) {
    out.clear();
    append_valid_utf8(c.in, &out);
    EXPECT_EQ(out, c.want) << c.in;
  }
}

TEST(Iso8601, FullPrecision) {
  EXPECT_EQ(iso(filetime_utc(2015, 4, 7, 23, 32, 7, 1234567)), "2015-04-07T23:32:07.1234567Z");
  EXPECT_EQ(iso(filetime_utc(2000, 2, 29, 0, 0, 0)), "2000-02-29T00:00:00.0000000Z");
  EXPECT_EQ(iso(filetime_utc(1999, 12, 31, 23, 59, 59, 9999999)), "1999-12-31T23:59:59.9999999Z");
}

TEST(Iso8601, EdgesOfTheRange) {
  EXPECT_EQ(iso(0), "<refused>");
  EXPECT_EQ(iso(1), "1601-01-01T00:00:00.0000001Z");
  EXPECT_EQ(iso(filetime_utc(1601, 12, 31, 23, 59, 59)), "1601-12-31T23:59:59.0000000Z");
  const FileTime year_10000 = filetime_utc(10000, 1, 1, 0, 0, 0);
  EXPECT_EQ(iso(year_10000 - 1), "9999-12-31T23:59:59.9999999Z");
  EXPECT_EQ(iso(year_10000), "<refused>");
  EXPECT_EQ(iso(UINT64_C(0x7FFFFFFFFFFFFFFF)), "<refused>");
  EXPECT_EQ(iso(UINT64_C(0x8000000000000000)), "<refused>");
  EXPECT_EQ(iso(UINT64_C(0xFFFFFFFFFFFFFFFF)), "<refused>");
}

TEST(UnixSeconds, WholeSecondsRoundedDown) {
  int64_t s = 99;
  EXPECT_TRUE(filetime_to_unix_seconds(filetime_utc(1970, 1, 1, 0, 0, 0), &s));
  EXPECT_EQ(s, 0);
  EXPECT_TRUE(filetime_to_unix_seconds(filetime_utc(2015, 4, 7, 23, 32, 7, 9999999), &s));
  EXPECT_EQ(s, 1428449527);
  EXPECT_TRUE(filetime_to_unix_seconds(filetime_utc(1969, 12, 31, 23, 59, 59), &s));
  EXPECT_EQ(s, -1);
  EXPECT_TRUE(filetime_to_unix_seconds(1, &s));
  EXPECT_EQ(s, -11644473600);
  EXPECT_TRUE(filetime_to_unix_seconds(filetime_utc(10000, 1, 1, 0, 0, 0) - 1, &s));
  EXPECT_EQ(s, 253402300799);
}

TEST(UnixSeconds, UnknownIsZero) {
  int64_t s = 99;
  EXPECT_FALSE(filetime_to_unix_seconds(0, &s));
  EXPECT_EQ(s, 0);
  s = 99;
  EXPECT_FALSE(filetime_to_unix_seconds(UINT64_C(0x8000000000000001), &s));
  EXPECT_EQ(s, 0);
  s = 99;
  EXPECT_FALSE(filetime_to_unix_seconds(filetime_utc(10000, 1, 1, 0, 0, 0), &s));
  EXPECT_EQ(s, 0);
}

TEST(Extension, AfterTheLastDotOfTheLastComponent) {
  EXPECT_EQ(path_extension("C:\\Temp\\foobat.txt.txt"), "txt");
  EXPECT_EQ(path_extension("C:\\Temp\\largesparsefile"), "");
  EXPECT_EQ(path_extension("C:\\a.dir\\file"), "");
  EXPECT_EQ(path_extension("C:\\a.dir\\file."), "");
  EXPECT_EQ(path_extension("C:\\a\\.hidden"), "hidden");
  EXPECT_EQ(path_extension("noslash.tar.gz"), "gz");
  EXPECT_EQ(path_extension(""), "");
  EXPECT_EQ(path_extension("D:\\\xE9\x82\xA8.\xE9\x96\xAA\xE9\x96\xAA"), "\xE9\x96\xAA\xE9\x96\xAA");
  // A long extension is kept whole (the 10-character column is the seed report's).
  EXPECT_EQ(path_extension("C:\\x.averyverylongextension"), "averyverylongextension");
  // "/" is an ordinary character in a Windows path.
  EXPECT_EQ(path_extension("C:\\a.b/c"), "b/c");
}

TEST(Decimal, SignedAndUnsigned) {
  std::string out;
  append_decimal(0, &out);
  out.push_back(' ');
  append_decimal(-9223372036854755328LL, &out);
  out.push_back(' ');
  append_decimal(INT64_MIN, &out);
  out.push_back(' ');
  append_decimal(INT64_MAX, &out);
  out.push_back(' ');
  append_unsigned(UINT64_MAX, &out);
  EXPECT_EQ(out,
            "0 -9223372036854755328 -9223372036854775808 9223372036854775807 "
            "18446744073709551615");
}

TEST(Csv, QuotesOnlyWhenNeeded) {
  const struct {
    std::string in, want;
  } cases[] = {
      {"plain", "plain"},
      {"", ""},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"line\nbreak", "\"line\nbreak\""},
      {"cr\rhere", "\"cr\rhere\""},
      {"tab\there\\", "tab\there\\"},
      {"\"", "\"\"\"\""},
  };
  for (const auto& c : cases) {
    std::string out = "<";
    append_csv_field(c.in, &out);
    EXPECT_EQ(out, "<" + c.want) << c.in;
  }
}

TEST(Tsv, EscapesSeparatorsAndBackslash) {
  std::string out;
  append_tsv_field("C:\\a\tb\r\nc,\"d\"", &out);
  EXPECT_EQ(out, "C:\\\\a\\tb\\r\\nc,\"d\"");
}

TEST(Json, EscapesAndStaysValid) {
  std::string out;
  append_json_string("C:\\a \"b\" \x01\x1F\x7F/\xE9\x82\xA8", &out);
  EXPECT_EQ(out, "\"C:\\\\a \\\"b\\\" \\u0001\\u001F\\u007F/\xE9\x82\xA8\"");
  out.clear();
  append_json_string(std::string_view("a\0b", 3), &out);
  EXPECT_EQ(out, "\"a\\u0000b\"");
  out.clear();
  append_json_string("bad \xFF\xC3", &out);
  EXPECT_EQ(out, "\"bad \xEF\xBF\xBD\xEF\xBF\xBD\"");
  out.clear();
  append_json_string("", &out);
  EXPECT_EQ(out, "\"\"");
}

TEST(Json, LineSeparatorsAreEscaped) {
  // U+2028 and U+2029 end a line for a JavaScript reader; their neighbours
  // (U+2027, U+202A) and a cut sequence of the same bytes stay as they are.
  std::string out;
  append_json_string("a\xE2\x80\xA8" "b\xE2\x80\xA9" "c\xE2\x80\xA7\xE2\x80\xAA", &out);
  EXPECT_EQ(out, "\"a\\u2028b\\u2029c\xE2\x80\xA7\xE2\x80\xAA\"");
  out.clear();
  append_json_string("\xE2\x80\xA8\xE2\x80", &out);
  EXPECT_EQ(out, "\"\\u2028\xEF\xBF\xBD\xEF\xBF\xBD\"");
}

TEST(Spreadsheet, FormulaStarts) {
  for (const char* text : {"=1+2", "+1", "-1", "@SUM(A1)", "\tx", "\rx", "=", "-"})
    EXPECT_TRUE(starts_like_formula(text)) << text;
  for (const char* text : {"", "C:\\=x", " =1", "'=1", "1-2", "\n=1", "\xEF\xBC\x9D" "1"})
    EXPECT_FALSE(starts_like_formula(text)) << text;
}

TEST(BodyName, PipeAndControlCharacters) {
  std::string out;
  append_body_name("a|b\nc\x7F" "d\xC2\x85" "e\xC2\xA0" "f\xE9\x82\xA8", &out);
  EXPECT_EQ(out, "a?b?c?d?e\xC2\xA0" "f\xE9\x82\xA8");
}

TEST(Appending, ReusedStringKeepsItsCapacity) {
  std::string out;
  out.reserve(256);
  const char* before = out.data();
  for (int i = 0; i < 100; ++i) {
    out.clear();
    append_iso8601(filetime_utc(2015, 4, 7, 23, 32, 7), &out);
    append_csv_field("a,b", &out);
    append_json_string("x\"y", &out);
  }
  EXPECT_EQ(out.data(), before);
}

}  // namespace
