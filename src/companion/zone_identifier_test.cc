#include "companion/zone_identifier.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/memory_file_system.h"

namespace {

TEST(ZoneIdentifier, WindowsTextWithCrLf) {
  ZoneIdentifier z;
  ASSERT_TRUE(parse_zone_identifier(
      "[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=https://example.com/p\r\n"
      "HostUrl=https://cdn.example.com/f.zip\r\n",
      &z));
  EXPECT_TRUE(z.has_zone_id);
  EXPECT_EQ(z.zone_id, 3);
  EXPECT_EQ(z.host_url, "https://cdn.example.com/f.zip");
  EXPECT_EQ(z.referrer_url, "https://example.com/p");
}

TEST(ZoneIdentifier, BomLineEndsCaseAndSpaces) {
  ZoneIdentifier z;
  ASSERT_TRUE(parse_zone_identifier("\xEF\xBB\xBF[zonetransfer]\nzoneid = 4 \rHOSTURL= a=b\n", &z));
  EXPECT_EQ(z.zone_id, 4);
  EXPECT_EQ(z.host_url, "a=b");  // the first "=" splits
  EXPECT_EQ(z.referrer_url, "");
}

TEST(ZoneIdentifier, MissingKeysStayEmptyAndOldTextHasOnlyTheZone) {
  ZoneIdentifier z;
  ASSERT_TRUE(parse_zone_identifier("[ZoneTransfer]\r\nZoneId=2", &z));
  EXPECT_EQ(z.zone_id, 2);
  EXPECT_TRUE(z.host_url.empty());
  EXPECT_TRUE(z.referrer_url.empty());
  ASSERT_TRUE(parse_zone_identifier("[ZoneTransfer]\r\nHostUrl=about:internet\r\n", &z));
  EXPECT_FALSE(z.has_zone_id);
  EXPECT_EQ(z.host_url, "about:internet");
}

TEST(ZoneIdentifier, KeysOfOtherSectionsAndBadNumbersAreLeftOut) {
  ZoneIdentifier z;
  EXPECT_FALSE(parse_zone_identifier("[Other]\r\nZoneId=3\r\nHostUrl=x\r\n", &z));
  EXPECT_FALSE(z.has_zone_id);
  ASSERT_TRUE(parse_zone_identifier("[ZoneTransfer]\r\nZoneId=3x\r\nHostUrl=h\r\n", &z));
  EXPECT_FALSE(z.has_zone_id);
  ASSERT_TRUE(parse_zone_identifier("ZoneId=99999999999999999999\r\nZoneId=-1", &z));
  EXPECT_EQ(z.zone_id, -1);  // the first one in range counts
  ASSERT_TRUE(parse_zone_identifier("ZoneId=-1\r\nZoneId=3", &z));
  EXPECT_EQ(z.zone_id, -1);
  EXPECT_FALSE(parse_zone_identifier("", &z));
  EXPECT_FALSE(parse_zone_identifier(std::string("\0\0\0", 3), &z));
}

TEST(ZoneIdentifier, ReadThroughTheFileSystemAndCutAtTheLimit) {
  MemoryFileSystem fs;
  fs.add_file("bin/$RA.zip", "data");
  fs.add_file("bin/$RB.zip", "data");
  const std::string url(2 * kZoneStreamLimit, 'u');
  fs.add_stream("bin/$RA.zip", kZoneStream, "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=" + url);
  std::string error;
  const DirRef dir = fs.open_directory("bin", &error);
  ASSERT_NE(dir, kNoDir) << error;
  std::string buffer(kZoneStreamLimit, '\0');
  ZoneIdentifier z;
  ASSERT_TRUE(read_zone_identifier(&fs, dir, "$RA.zip", buffer.data(), &z));
  EXPECT_EQ(z.zone_id, 3);
  EXPECT_EQ(z.host_url.size(), kZoneStreamLimit - 34);
  EXPECT_FALSE(read_zone_identifier(&fs, dir, "$RB.zip", buffer.data(), &z));
  EXPECT_FALSE(z.has_zone_id);
  EXPECT_EQ(fs.stream_reads(), 2u);
  fs.close_directory(dir);
}

}  // namespace
