#include "users/registry_values.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "users/sid.h"

namespace {

std::string utf16(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

std::string name_of_path(const std::string& bytes) {
  return profile_name_of_path(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

TEST(Sid, TheFormOfASid) {
  for (const char* sid : {"S-1-5-18", "s-1-5-21-1760460187-1592185332-161725925-1000", "S-1-0", "S-1-5-0000"})
    EXPECT_TRUE(is_sid(sid)) << sid;
  for (const char* not_sid : {"", "S", "S-1", "S-1-", "S-1-5-", "S-1--5", "S-2-5-18", "S-10-5", "T-1-5-18",
                              "S-1-5-18.bak", "S-1-5-18 ", "S-1-5-x", "desktop.ini"})
    EXPECT_FALSE(is_sid(not_sid)) << not_sid;
}

TEST(Sid, TheLeadingSIsComparedInAnyCase) {
  EXPECT_EQ(compare_sids("s-1-5-18", "S-1-5-18"), 0);
  EXPECT_LT(compare_sids("S-1-5-18", "S-1-5-19"), 0);
  EXPECT_GT(compare_sids("S-1-5-21-1-1000", "s-1-5-21-1-100"), 0);
  // Nothing else is folded.
  EXPECT_NE(compare_sids("S-1-5-18", "S-1-5-018"), 0);
  EXPECT_LT(compare_sids("", "S-1-5-18"), 0);
  EXPECT_EQ(compare_sids("", ""), 0);
}

TEST(Sid, FromItsBinaryForm) {
  std::string text;
  // The SAM sample's machine, as the end of its V value holds it.
  const std::string machine = bytes({1, 4, 0, 0, 0, 0, 0, 5, 0x15, 0, 0, 0, 0x9b, 0x7d, 0xee, 0x68, 0xf4, 0xd1,
                                     0xe6, 0x5e, 0xe5, 0xbd, 0xa3, 0x09});
  ASSERT_TRUE(sid_from_binary(reinterpret_cast<const unsigned char*>(machine.data()), machine.size(), &text));
  EXPECT_EQ(text, "S-1-5-21-1760460187-1592185332-161725925");
  // A 48-bit authority is big-endian; sub-authorities are unsigned.
  const std::string wide = bytes({1, 1, 0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xff, 0xff, 0xff, 0xff});
  ASSERT_TRUE(sid_from_binary(reinterpret_cast<const unsigned char*>(wide.data()), wide.size(), &text));
  EXPECT_EQ(text, "S-1-20015998343868-4294967295");
  // The count must fill the bytes exactly, and name one sub-authority at
  // least.
  const std::string longer = wide + bytes({0});
  for (size_t size : {0, 7, 8, 11, 13})
    EXPECT_FALSE(sid_from_binary(reinterpret_cast<const unsigned char*>(longer.data()), size, &text)) << size;
  const std::string none = bytes({1, 0, 0, 0, 0, 0, 0, 5});
  EXPECT_FALSE(sid_from_binary(reinterpret_cast<const unsigned char*>(none.data()), none.size(), &text));
}

TEST(ProfilePath, TheLastComponentIsTheName) {
  EXPECT_EQ(name_of_path(utf16(u"C:\\Users\\alice") + bytes({0, 0})), "alice");
  EXPECT_EQ(name_of_path(utf16(u"%systemroot%\\system32\\config\\systemprofile")), "systemprofile");
  EXPECT_EQ(name_of_path(utf16(u"C:\\Users\\J\u00fcrgen") + bytes({0, 0})), "J\xc3\xbcrgen");
  EXPECT_EQ(name_of_path(utf16(u"C:\\Users\\\u5831\u544a")), "\xe5\xa0\xb1\xe5\x91\x8a");
  // Trailing separators are passed over; "/" separates as "\" does.
  EXPECT_EQ(name_of_path(utf16(u"C:\\Users\\bob\\\\")), "bob");
  EXPECT_EQ(name_of_path(utf16(u"C:/Users/carol")), "carol");
  EXPECT_EQ(name_of_path(utf16(u"dave")), "dave");
  // The string ends at its first NUL; an odd last byte is dropped.
  EXPECT_EQ(name_of_path(utf16(u"C:\\Users\\eve") + bytes({0, 0}) + utf16(u"\\mallory")), "eve");
  EXPECT_EQ(name_of_path(utf16(u"C:\\Users\\frank") + bytes({'x'})), "frank");
  // A surrogate pair is one character, a lone one U+FFFD.
  EXPECT_EQ(name_of_path(utf16(u"C:\\Users\\g\U0001F600")), "g\xf0\x9f\x98\x80");
  EXPECT_EQ(name_of_path(utf16(u"C:\\Users\\h") + bytes({0x00, 0xd8})), "h\xef\xbf\xbd");
  // No folder, no name.
  for (const std::string& empty : {std::string(), bytes({0, 0}), utf16(u"\\\\"), bytes({'x'})})
    EXPECT_EQ(name_of_path(empty), "");
}

TEST(AccountV, TheMachineSidEndsTheValue) {
  // The last 24 bytes of the SAM sample's V, after bytes of its own.
  std::string v = std::string(200, '\x07') + bytes({1, 4, 0, 0, 0, 0, 0, 5, 0x15, 0, 0, 0, 0x9b, 0x7d, 0xee,
                                                     0x68, 0xf4, 0xd1, 0xe6, 0x5e, 0xe5, 0xbd, 0xa3, 0x09});
  const auto read = [](const std::string& value, std::string* sid) {
    return machine_sid_of_account_v(reinterpret_cast<const unsigned char*>(value.data()), value.size(), sid);
  };
  std::string sid;
  ASSERT_TRUE(read(v, &sid));
  EXPECT_EQ(sid, "S-1-5-21-1760460187-1592185332-161725925");
  EXPECT_TRUE(read(v.substr(200), &sid));
  // Too short, or not a machine's SID: another authority, another first
  // sub-authority, another count, or bytes after it.
  EXPECT_FALSE(read(v.substr(201), &sid));
  for (size_t at : {1u, 7u, 8u}) {
    std::string other = v;
    other[200 + at] = static_cast<char>(other[200 + at] + 1);
    EXPECT_FALSE(read(other, &sid)) << at;
  }
  EXPECT_FALSE(read(v + std::string(4, '\0'), &sid));
}

}  // namespace
