#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/temp_dir_test.h"

namespace fs = std::filesystem;

namespace {

void touch(const std::string& path, const std::string& content = "") {
  std::ofstream(path, std::ios::binary) << content;
}

// Makes `relative` below `base` one component at a time (the whole path may
// be longer than the system takes in one call), and a file "$IA" in it.
void make_deep(const std::string& base, const std::string& relative) {
  int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  size_t i = 0;
  while (i < relative.size()) {
    size_t end = relative.find('/', i);
    if (end == std::string::npos) end = relative.size();
    const std::string part = relative.substr(i, end - i);
    i = end + 1;
    mkdirat(fd, part.c_str(), 0755);
    const int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(next, 0);
    fd = next;
  }
  const int f = openat(fd, "$IA", O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(f, 0);
  ASSERT_EQ(write(f, "abc", 3), 3);
  close(f);
  close(fd);
}

// Removes a tree whose paths may be too long for std::filesystem.
void remove_deep(int parent, const char* name) {
  const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) {
    unlinkat(parent, name, 0);
    return;
  }
  std::vector<std::string> entries;
  for (const auto& e : fs::directory_iterator("/proc/self/fd/" + std::to_string(fd)))
    entries.push_back(e.path().filename().string());
  for (const std::string& e : entries) remove_deep(fd, e.c_str());
  close(fd);
  unlinkat(parent, name, AT_REMOVEDIR);
}

struct Listed {
  std::string name;
  EntryKind kind;
  bool directory;
  bool operator<(const Listed& o) const { return name < o.name; }
};

class Collect final : public DirEntryVisitor {
 public:
  bool visit(const DirEntry& e) override {
    entries.push_back({std::string(e.name, e.name_length), e.kind, e.directory});
    return true;
  }
  std::vector<Listed> entries;
};

// Opens a directory of the real file system, failing the test when it can't.
DirRef open_dir(const std::string& path) {
  std::string error;
  const DirRef d = real_file_system()->open_directory(path.c_str(), &error);
  EXPECT_NE(d, kNoDir) << path << ": " << error;
  return d;
}

TEST(RealFileSystem, ListsMatchingEntriesWithTheirKindsAgainAndAgain) {
  TempDir dir;
  touch(dir / "$IAAA.txt");
  touch(dir / "$IBBB");
  touch(dir / "other.txt");
  fs::create_directory(dir / "$ISUB");
  fs::create_directory_symlink(dir / "$ISUB", dir / "$ILINK");
  FileSystem* rfs = real_file_system();
  const DirRef d = open_dir(dir.path());
  for (int pass = 0; pass < 2; ++pass) {
    Collect c;
    std::string error;
    ASSERT_TRUE(rfs->list_directory(d, "$I*.*", &c, &error)) << error;
    std::set<std::string> names;
    for (const Listed& e : c.entries) {
      names.insert(e.name);
      EXPECT_EQ(e.directory, e.name == "$ISUB") << e.name;
      if (e.name == "$ILINK") {
        EXPECT_EQ(e.kind, EntryKind::kLink);
      }
      if (e.name == "$IBBB") {
        EXPECT_EQ(e.kind, EntryKind::kRegular);
      }
    }
    EXPECT_EQ(names, (std::set<std::string>{"$IAAA.txt", "$IBBB", "$ISUB", "$ILINK"}));
  }
  Collect none;
  std::string error;
  EXPECT_TRUE(rfs->list_directory(d, "nothing*", &none, &error));
  EXPECT_TRUE(none.entries.empty());
  rfs->close_directory(d);
  EXPECT_EQ(rfs->open_directory((dir / "missing").c_str(), &error), kNoDir);
  EXPECT_EQ(error, "No such file or directory");
}

TEST(RealFileSystem, SubdirectoriesAreNeverOpenedThroughALink) {
  TempDir dir;
  fs::create_directory(dir / "real");
  fs::create_directory_symlink(dir / "real", dir / "link");
  FileSystem* rfs = real_file_system();
  const DirRef d = open_dir(dir.path());
  std::string error;
  const DirRef sub = rfs->open_subdirectory(d, "real", &error);
  ASSERT_NE(sub, kNoDir) << error;
  // Back up again, to the same directory.
  const DirRef up = rfs->open_parent(sub, &error);
  DirIdentity a, b;
  ASSERT_TRUE(rfs->identify_directory(d, &a));
  ASSERT_TRUE(rfs->identify_directory(up, &b));
  EXPECT_EQ(a, b);
  EXPECT_EQ(rfs->open_subdirectory(d, "link", &error), kNoDir);
  for (DirRef r : {d, sub, up}) rfs->close_directory(r);
}

TEST(RealFileSystem, PathsOfAnyLengthOpen) {
  TempDir dir;
  // A directory whose path is exactly 4,096 bytes, and one longer still.
  std::string relative;
  const std::string base = dir.path() + "/";
  while (base.size() + relative.size() + 101 < 4096) relative += std::string(100, 'x') + "/";
  relative += std::string(4096 - base.size() - relative.size(), 'y');
  const std::string exact = base + relative;
  ASSERT_EQ(exact.size(), 4096u);
  make_deep(dir.path(), relative + "/" + std::string(200, 'z'));
  make_deep(dir.path(), relative);
  const DirRef d = open_dir(exact);
  FileSystem* rfs = real_file_system();
  const FileRef f = rfs->open_file(d, "$IA", EntryKind::kUnknown);
  ASSERT_NE(f, kNoFile);
  char buf[8];
  EXPECT_EQ(rfs->read_file(f, buf, sizeof buf), 3u);
  rfs->close_file(f);
  rfs->close_directory(d);
  rfs->close_directory(open_dir(exact + "/" + std::string(200, 'z') + "/"));
  const int top = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  remove_deep(top, relative.substr(0, relative.find('/')).c_str());
  close(top);
}

TEST(RealFileSystem, OnlyRegularFilesOpen) {
  TempDir dir;
  touch(dir / "file", "abc");
  fs::create_directory(dir / "dir");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_symlink(dir / "file", dir / "link");
  fs::create_symlink(dir / "gone", dir / "dangling");
  FileSystem* rfs = real_file_system();
  const DirRef d = open_dir(dir.path());
  for (EntryKind hint : {EntryKind::kUnknown, EntryKind::kOther, EntryKind::kLink}) {
    EXPECT_EQ(rfs->open_file(d, "dir", hint), kNoFile);
    EXPECT_EQ(rfs->open_file(d, "fifo", hint), kNoFile);
    EXPECT_EQ(rfs->open_file(d, "dangling", hint), kNoFile);
  }
  const FileRef f = rfs->open_file(d, "link", EntryKind::kLink);
  ASSERT_NE(f, kNoFile);
  char buf[8];
  EXPECT_EQ(rfs->read_file(f, buf, sizeof buf), 3u);
  rfs->close_file(f);
  rfs->close_directory(d);
}

TEST(RealFileSystem, LookupAndExactRestoreThroughTheOpenFile) {
  TempDir dir;
  const std::string f = dir / "$R1";
  touch(f, "12345");
  struct timespec ts[2] = {{1600000000, 123456789}, {1500000000, 987654321}};
  ASSERT_EQ(utimensat(AT_FDCWD, f.c_str(), ts, 0), 0);
  FileSystem* rfs = real_file_system();
  const DirRef d = open_dir(dir.path());
  EntryInfo e;
  ASSERT_TRUE(rfs->lookup(d, "$R1", &e));
  EXPECT_EQ(e.kind, EntryKind::kRegular);
  EXPECT_EQ(e.size, 5u);
  EXPECT_EQ(e.times.last_access, (1600000000ULL + 11644473600ULL) * 10000000ULL + 1234567);
  EXPECT_EQ(e.times.last_write, (1500000000ULL + 11644473600ULL) * 10000000ULL + 9876543);
  EXPECT_FALSE(rfs->lookup(d, "$R2", &e));
  fs::create_symlink(dir / "gone", dir / "$RLINK");
  ASSERT_TRUE(rfs->lookup(d, "$RLINK", &e));  // the link itself
  EXPECT_EQ(e.kind, EntryKind::kLink);

  const FileRef file = rfs->open_file(d, "$R1", EntryKind::kRegular);
  ASSERT_NE(file, kNoFile);
  SavedTimes saved;
  ASSERT_TRUE(rfs->capture_times(file, &saved));
  EXPECT_TRUE(saved.is_regular);
  char buf[8];
  rfs->read_file(file, buf, sizeof buf);
  struct timespec later[2] = {{1700000000, 1}, {1700000000, 2}};
  ASSERT_EQ(utimensat(AT_FDCWD, f.c_str(), later, 0), 0);
  // The name now leads elsewhere: only the file that was read is set back.
  const std::string other = dir / "other";
  touch(other);
  ASSERT_EQ(utimensat(AT_FDCWD, other.c_str(), later, 0), 0);
  fs::rename(f, dir / "moved");
  fs::create_symlink(other, f);
  ASSERT_TRUE(rfs->restore_times(file, saved));
  rfs->close_file(file);
  struct stat st;
  ASSERT_EQ(stat((dir / "moved").c_str(), &st), 0);
  EXPECT_EQ(st.st_atim.tv_sec, 1600000000);
  EXPECT_EQ(st.st_atim.tv_nsec, 123456789);
  EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);
  ASSERT_EQ(stat(other.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1700000000);
  rfs->close_directory(d);
}

TEST(RealFileSystem, NamedStreamsCountedFromUserAttributes) {
  TempDir dir;
  FileSystem* rfs = real_file_system();
  int failure = -1, line = 0;
  DirRef d = open_dir(dir.path());
  EXPECT_EQ(rfs->count_streams(d, &failure, &line), 0);
  EXPECT_EQ(failure, 0);
  rfs->close_directory(d);
  if (setxattr(dir.path().c_str(), "user.Zone.Identifier", "1", 1, 0) != 0)
    GTEST_SKIP() << "this file system keeps no user attributes";
  ASSERT_EQ(setxattr(dir.path().c_str(), "user.second", "22", 2, 0), 0);
  d = open_dir(dir.path());
  EXPECT_EQ(rfs->count_streams(d, &failure, &line), 2);
  rfs->close_directory(d);
}

}  // namespace

namespace {

// The files a walk would open next, from a fixed list.
class ListedAhead final : public UpcomingFiles {
 public:
  explicit ListedAhead(std::vector<std::string> names) : names_(std::move(names)) {}
  bool upcoming(size_t ahead, const char** name, EntryKind* kind) override {
    if (next_ + ahead > names_.size()) return false;
    *name = names_[next_ + ahead - 1].c_str();
    *kind = EntryKind::kRegular;
    return true;
  }
  void opened() { ++next_; }

 private:
  std::vector<std::string> names_;
  size_t next_ = 0;
};

size_t open_descriptors() {
  size_t n = 0;
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) n += !e.path().empty();
  return n;
}

std::string read_all(FileRef file) {
  std::string text;
  char buffer[7];  // several reads a file
  for (size_t n; (n = real_file_system()->read_file(file, buffer, sizeof buffer)) > 0;)
    text.append(buffer, n);
  return text;
}

}  // namespace

// Files whose data is not in memory make the next ones told be opened and
// asked for ahead; each still reads as itself, from its start, whether it
// was opened ahead or not, in step or not, and those the walk does not take
// are closed.
TEST(RealFileSystem, FilesOpenedAheadReadAsThemselves) {
  TempDir dir;
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) {
    names.push_back("$I" + std::to_string(i));
    std::string content(100 + i * 300, static_cast<char>('a' + i % 26));
    touch(dir / names.back(), content);
    const int fd = open((dir / names.back()).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);  // out of memory, where the system allows
    close(fd);
  }
  FileSystem* fsys = real_file_system();
  const size_t before = open_descriptors();
  const DirRef d = open_dir(dir.path());
  ListedAhead ahead(names);
  fsys->set_upcoming(d, &ahead);
  for (size_t i = 0; i < names.size(); ++i) {
    if (i == 20) {  // out of step: 20 is passed over
      ahead.opened();
      continue;
    }
    const FileRef f = fsys->open_file(d, names[i].c_str(), EntryKind::kRegular);
    ASSERT_NE(f, kNoFile) << names[i];
    ahead.opened();
    EXPECT_EQ(read_all(f), std::string(100 + i * 300, static_cast<char>('a' + i % 26))) << names[i];
    fsys->close_file(f);
    if (i == 30) break;  // the walk stops
  }
  fsys->set_upcoming(d, nullptr);
  fsys->close_directory(d);
  EXPECT_EQ(open_descriptors(), before);
}
