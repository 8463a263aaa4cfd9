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

#include "platform/temp_dir_test.h"

namespace fs = std::filesystem;

namespace {

void touch(const std::string& path, const std::string& content = "") {
  std::ofstream(path, std::ios::binary) << content;
}

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

TEST(RegularFiles, ConfigurationFilesNeverBlock) {
  TempDir dir;
  touch(dir / "plain.ini", "KEY=1\n");
  ASSERT_EQ(mkfifo((dir / "fifo.ini").c_str(), 0644), 0);
  ASSERT_EQ(symlink("/dev/zero", (dir / "zero.ini").c_str()), 0);
  ASSERT_EQ(mkdir((dir / "dir.ini").c_str(), 0755), 0);
  FILE* f = open_regular_file((dir / "plain.ini").c_str(), false);
  ASSERT_NE(f, nullptr);
  char line[16] = {};
  ASSERT_NE(fgets(line, sizeof line, f), nullptr);
  EXPECT_STREQ(line, "KEY=1\n");
  fclose(f);
  for (const char* name : {"fifo.ini", "zero.ini", "dir.ini", "missing.ini"})
    EXPECT_EQ(open_regular_file((dir / name).c_str(), true), nullptr) << name;
}

TEST(OutputFiles, HeldByOneWriterAndEmptiedOnlyWhenHeld) {
  TempDir dir;
  const std::string path = dir / "report.txt";
  touch(path, "earlier\n");
  const FileHandle first = create_output_file(path.c_str(), false);
  ASSERT_NE(first, kInvalidHandle);
  EXPECT_EQ(fs::file_size(path), 0u);
  EXPECT_EQ(fcntl(static_cast<int>(first), F_GETFL) & O_ACCMODE, O_WRONLY);
  ASSERT_TRUE(write_handle(first, "row\n", 4));
  // A second opener in any mode fails and leaves the content alone.
  EXPECT_EQ(create_output_file(path.c_str(), false), kInvalidHandle);
  EXPECT_EQ(open_existing_output_file(path.c_str()), kInvalidHandle);
  EXPECT_EQ(fs::file_size(path), 4u);
  close_file(first);
  const FileHandle again = open_existing_output_file(path.c_str());
  ASSERT_NE(again, kInvalidHandle);
  ASSERT_TRUE(write_handle(again, "more\n", 5));
  close_file(again);
  EXPECT_EQ(fs::file_size(path), 9u);
  // A memo file on it holds it too.
  FILE* memo = open_memo_file(path.c_str());
  ASSERT_NE(memo, nullptr);
  EXPECT_EQ(create_output_file(path.c_str(), false), kInvalidHandle);
  FILE* second_memo = open_memo_file(path.c_str());  // memo files may share
  EXPECT_NE(second_memo, nullptr);
  if (second_memo) fclose(second_memo);
  fclose(memo);
}

TEST(OutputFiles, NothingThatCouldBlockOrIsADevice) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  EXPECT_EQ(create_output_file((dir / "fifo").c_str(), false), kInvalidHandle);  // no reader
  EXPECT_EQ(create_output_file(dir.path().c_str(), false), kInvalidHandle);
  EXPECT_EQ(open_existing_output_file(dir.path().c_str()), kInvalidHandle);
  EXPECT_EQ(create_output_file("/dev/zero", false), kInvalidHandle);
  EXPECT_EQ(open_existing_output_file("/dev/full"), kInvalidHandle);
  const FileHandle null_device = create_output_file("/dev/null", false);
  EXPECT_NE(null_device, kInvalidHandle);
  const FileHandle second_null = open_existing_output_file("/dev/null");
  EXPECT_NE(second_null, kInvalidHandle);  // the null device is never held
  close_file(null_device);
  close_file(second_null);
  // With a reader, a FIFO takes the report, and writes wait as usual.
  const int reader = open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const FileHandle writer = create_output_file((dir / "fifo").c_str(), false);
  ASSERT_NE(writer, kInvalidHandle);
  EXPECT_EQ(fcntl(static_cast<int>(writer), F_GETFL) & O_NONBLOCK, 0);
  close_file(writer);
  close(reader);
}

TEST(StandardStreams, AClosedStreamGetsTheNullDevice) {
  // In a child, so that the test's own streams stay as they are.
  EXPECT_EXIT(
      {
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
        const int closed = ensure_standard_streams();
        char target[64] = {};
        const ssize_t n = readlink("/proc/self/fd/1", target, sizeof target - 1);
        const bool ok = closed == (kStdinWasClosed | kStdoutWasClosed) && n > 0 &&
                        std::string(target) == "/dev/null" && fcntl(STDIN_FILENO, F_GETFD) != -1 &&
                        ensure_standard_streams() == 0;
        _exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
