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

TEST(DirectorySearch, YieldsMatchingEntriesWithTheirKinds) {
  TempDir dir;
  touch(dir / "$IAAA.txt");
  touch(dir / "$IBBB");
  touch(dir / "other.txt");
  fs::create_directory(dir / "$ISUB");
  fs::create_directory_symlink(dir / "$ISUB", dir / "$ILINK");
  std::set<std::string> names;
  FindData data;
  DirSearch* s = find_first((dir / "$I*.*").c_str(), &data);
  ASSERT_NE(s, nullptr);
  do {
    names.insert(data.name);
    const bool is_dir = (data.attributes & kAttrDirectory) != 0;
    EXPECT_EQ(is_dir, std::string(data.name) == "$ISUB") << data.name;
    if (std::string(data.name) == "$ILINK") {
      EXPECT_EQ(data.kind, EntryKind::kLink);
    }
    if (std::string(data.name) == "$IBBB") {
      EXPECT_EQ(data.kind, EntryKind::kRegular);
    }
  } while (find_next(s, &data));
  find_close(s);
  EXPECT_EQ(names, (std::set<std::string>{"$IAAA.txt", "$IBBB", "$ISUB", "$ILINK"}));
  EXPECT_EQ(find_first((dir / "nothing*").c_str(), &data), nullptr);
  EXPECT_EQ(find_first((dir / "missing/*.*").c_str(), &data), nullptr);
}

TEST(InputFiles, OnlyRegularFilesOpen) {
  TempDir dir;
  touch(dir / "file", "abc");
  fs::create_directory(dir / "dir");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_symlink(dir / "file", dir / "link");
  fs::create_symlink(dir / "gone", dir / "dangling");
  for (EntryKind hint : {EntryKind::kUnknown, EntryKind::kOther, EntryKind::kLink}) {
    EXPECT_EQ(open_input_file((dir / "dir").c_str(), hint), kInvalidHandle);
    EXPECT_EQ(open_input_file((dir / "fifo").c_str(), hint), kInvalidHandle);
    EXPECT_EQ(open_input_file((dir / "dangling").c_str(), hint), kInvalidHandle);
  }
  const FileHandle h = open_input_file((dir / "link").c_str(), EntryKind::kLink);
  ASSERT_NE(h, kInvalidHandle);
  char buf[8];
  EXPECT_EQ(read_block(h, buf, sizeof buf), 3u);
  close_file(h);
}

TEST(EntryTimes, LookupAndExactRestore) {
  TempDir dir;
  const std::string f = dir / "$R1";
  touch(f);
  struct timespec ts[2] = {{1600000000, 123456789}, {1500000000, 987654321}};
  ASSERT_EQ(utimensat(AT_FDCWD, f.c_str(), ts, 0), 0);
  EntryTimes e;
  ASSERT_TRUE(lookup_entry_times(f.c_str(), &e));
  EXPECT_EQ(e.last_access, (1600000000ULL + 11644473600ULL) * 10000000ULL + 1234567);
  EXPECT_EQ(e.last_write, (1500000000ULL + 11644473600ULL) * 10000000ULL + 9876543);
  EXPECT_FALSE(lookup_entry_times((dir / "$R2").c_str(), &e));

  SavedTimes saved;
  ASSERT_TRUE(capture_file_times(f.c_str(), &saved));
  EXPECT_TRUE(saved.is_regular);
  struct timespec later[2] = {{1700000000, 1}, {1700000000, 2}};
  ASSERT_EQ(utimensat(AT_FDCWD, f.c_str(), later, 0), 0);
  ASSERT_TRUE(restore_file_times(f.c_str(), saved));
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_atim.tv_sec, 1600000000);
  EXPECT_EQ(st.st_atim.tv_nsec, 123456789);
  EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);
  fs::remove(f);
  EXPECT_FALSE(restore_file_times(f.c_str(), saved));
}

TEST(EntryTimes, ADanglingLinkIsAnEntryOfItsOwn) {
  TempDir dir;
  fs::create_symlink(dir / "gone", dir / "$RLINK");
  EntryTimes e;
  EXPECT_TRUE(lookup_entry_times((dir / "$RLINK").c_str(), &e));
}

TEST(NamedStreams, CountedFromUserAttributes) {
  TempDir dir;
  int failure = -1, line = 0;
  EXPECT_EQ(count_named_streams(dir.path().c_str(), &failure, &line), 0);
  EXPECT_EQ(failure, 0);
  if (setxattr(dir.path().c_str(), "user.Zone.Identifier", "1", 1, 0) != 0)
    GTEST_SKIP() << "this file system keeps no user attributes";
  ASSERT_EQ(setxattr(dir.path().c_str(), "user.second", "22", 2, 0), 0);
  EXPECT_EQ(count_named_streams(dir.path().c_str(), &failure, &line), 2);
  EXPECT_EQ(count_named_streams((dir / "missing").c_str(), &failure, &line), 0);
  EXPECT_EQ(failure, 0);
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
