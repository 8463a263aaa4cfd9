#include "platform/platform.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/binsift-test-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path_); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};


TEST(FileTimeToSystemTime, KnownDates) {
  SystemTime t;
  ASSERT_TRUE(file_time_to_system_time(0, &t));
  EXPECT_EQ(t.year, 1601);
  EXPECT_EQ(t.month, 1);
  EXPECT_EQ(t.day, 1);
  EXPECT_EQ(t.day_of_week, 1);  // a Monday
  // 2016-06-29 21:37:45.618 UTC, as in a real index file.
  ASSERT_TRUE(file_time_to_system_time(131117098656180000ULL, &t));
  EXPECT_EQ(t.year, 2016);
  EXPECT_EQ(t.month, 6);
  EXPECT_EQ(t.day, 29);
  EXPECT_EQ(t.hour, 21);
  EXPECT_EQ(t.minute, 37);
  EXPECT_EQ(t.second, 45);
  EXPECT_EQ(t.milliseconds, 618);
  // 2000-02-29 and 1900-03-01 (1900 is no leap year).
  const uint64_t day = 864000000000ULL;
  ASSERT_TRUE(file_time_to_system_time(day * 145790, &t));
  EXPECT_EQ(t.year, 2000);
  EXPECT_EQ(t.month, 2);
  EXPECT_EQ(t.day, 29);
  ASSERT_TRUE(file_time_to_system_time(day * 109266, &t));
  EXPECT_EQ(t.year, 1900);
  EXPECT_EQ(t.month, 3);
  EXPECT_EQ(t.day, 1);
}

TEST(FileTimeToSystemTime, FailsWithTheTopBitSet) {
  SystemTime t;
  t.year = 1234;
  EXPECT_FALSE(file_time_to_system_time(0x8000000000000000ULL, &t));
  EXPECT_FALSE(file_time_to_system_time(~0ULL, &t));
  EXPECT_EQ(t.year, 1234);
}

TEST(FullPath, FoldsDotsLexically) {
  std::string out;
  ASSERT_TRUE(full_path("/a/./b/../c", &out));
  EXPECT_EQ(out, "/a/c");
  ASSERT_TRUE(full_path("/a/b/", &out));
  EXPECT_EQ(out, "/a/b/");
  ASSERT_TRUE(full_path("/../..", &out));
  EXPECT_EQ(out, "/");
  ASSERT_TRUE(full_path("//x//y", &out));
  EXPECT_EQ(out, "/x/y");
  std::string cwd;
  ASSERT_TRUE(current_directory(&cwd));
  ASSERT_TRUE(full_path("rel/f.txt", &out));
  EXPECT_EQ(out, (cwd == "/" ? "" : cwd) + "/rel/f.txt");
}

}  // namespace
