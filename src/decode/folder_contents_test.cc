#include "decode/folder_contents.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/test_allocations.h"
#include "platform/memory_file_system.h"

namespace {

// What one record handed on says, kept as text.
struct Seen {
  std::string source, content_path, parent_source, user_name;
  RecordFormat format;
  CompanionKind kind;
  uint64_t size;
  FileTime modified;
  bool has_deleted;
  FileTime deleted;
  bool has_entry;   // of the index file
  std::string location;  // the entry's own name, through its location
  std::string data;      // a file's bytes, read through its location
};

class Collector final : public RecordSink {
 public:
  bool take(const RecycleRecord& r) override {
    ++count;
    if (quiet) return count != fail_at;
    Seen s;
    s.source = std::string(r.source_prefix) + std::string(r.directory) + std::string(r.file_name);
    s.content_path = r.content_path;
    s.parent_source = r.parent_source;
    s.user_name = r.user_name;
    s.format = r.format;
    s.kind = r.companion.kind;
    s.size = r.companion.size;
    s.modified = r.companion.times.last_write;
    s.has_deleted = r.has_deleted;
    s.deleted = r.deleted;
    s.has_entry = r.has_entry;
    s.location = r.companion.name;
    if (r.format == RecordFormat::kContent && r.companion.kind == CompanionKind::kFile) {
      // Read by the same calls as the walk reads, as a digest would be.
      FileSystem* fs = r.companion.fs;
      const std::string name(r.companion.name);
      const FileRef file = fs->open_file(r.companion.folder, name.c_str(), EntryKind::kRegular);
      if (file != kNoFile) {
        char buffer[64];
        size_t got;
        while ((got = fs->read_file(file, buffer, sizeof buffer)) > 0) s.data.append(buffer, got);
        fs->close_file(file);
      }
    }
    seen.push_back(s);
    return count != fail_at;
  }
  std::vector<Seen> seen;
  size_t count = 0;
  size_t fail_at = 0;  // the record whose writing fails (1 the first); 0 none
  bool quiet = false;
};

std::vector<std::string> sources(const std::vector<Seen>& seen) {
  std::vector<std::string> out;
  for (const Seen& s : seen) out.push_back(s.source);
  return out;
}

class FolderContentsTest : public ::testing::Test {
 protected:
  // The record of the index file `index` of bin/ whose companion is the
  // folder "$R" + the rest of its name, handed to the contents' sink.
  bool take(const std::string& index, CompanionKind kind = CompanionKind::kDirectory) {
    std::string error;
    bin = fs.open_directory("bin", &error);
    EXPECT_NE(bin, kNoDir) << error;
    companion = "$R" + index.substr(2);
    RecycleRecord r;
    r.source_prefix = "IMAGE:p2:";
    r.directory = "/bin/";
    r.file_name = index;
    r.entry_name = index;
    r.user_sid = "S-1-5-21-1-2-3-1001";
    r.user_name = "alice";
    r.opened = true;
    r.format = RecordFormat::kV2;
    r.has_size = r.has_deleted = true;
    r.size = 1234;
    r.deleted = 130000000000000000;
    r.has_entry = true;
    r.entry = 64;
    r.companion.kind = kind;
    r.companion.fs = &fs;
    r.companion.folder = bin;
    r.companion.name = companion;
    const bool written = contents.take(r);
    fs.close_directory(bin);
    return written;
  }

  MemoryFileSystem fs;
  Collector sink;
  FolderContents contents{&sink};
  DirRef bin = kNoDir;
  std::string companion;
};

TEST_F(FolderContentsTest, EveryEntryDepthFirstEachFolderBeforeItsEntriesInListingOrder) {
  fs.add_file("bin/$IK3J9Q2", "index");
  fs.add_file("bin/$RK3J9Q2/b.txt", "bee", {0, 0, 130000000000000007, 0});
  fs.add_directory("bin/$RK3J9Q2/sub");
  fs.add_file("bin/$RK3J9Q2/sub/$IFAKE01.txt", "not an index file");
  fs.add_directory("bin/$RK3J9Q2/sub/empty");
  fs.add_file("bin/$RK3J9Q2/sub/z", "zz");
  fs.add_file("bin/$RK3J9Q2/a.txt", "a");
  fs.add_link("bin/$RK3J9Q2/link");
  fs.add_other("bin/$RK3J9Q2/fifo");
  fs.add_file("bin/$RK3J9Q2/link-target/x", "x");
  ASSERT_TRUE(take("$IK3J9Q2"));

  const std::string top = "IMAGE:p2:/bin/$RK3J9Q2/";
  EXPECT_EQ(sources(sink.seen),
            (std::vector<std::string>{"IMAGE:p2:/bin/$IK3J9Q2", top + "b.txt", top + "sub",
                                      top + "sub/$IFAKE01.txt", top + "sub/empty", top + "sub/z",
                                      top + "a.txt", top + "link", top + "fifo",
                                      top + "link-target", top + "link-target/x"}));
  // The index record comes through as it was.
  EXPECT_EQ(sink.seen[0].format, RecordFormat::kV2);
  EXPECT_EQ(sink.seen[0].content_path, "");
  EXPECT_TRUE(sink.seen[0].has_entry);

  const std::vector<std::string> paths = {"b.txt", "sub", "sub\\$IFAKE01.txt", "sub\\empty",
                                          "sub\\z", "a.txt", "link", "fifo", "link-target",
                                          "link-target\\x"};
  const std::vector<CompanionKind> kinds = {
      CompanionKind::kFile, CompanionKind::kDirectory, CompanionKind::kFile,
      CompanionKind::kDirectory, CompanionKind::kFile, CompanionKind::kFile,
      CompanionKind::kOther, CompanionKind::kOther, CompanionKind::kDirectory,
      CompanionKind::kFile};
  for (size_t i = 1; i < sink.seen.size(); ++i) {
    const Seen& s = sink.seen[i];
    SCOPED_TRACE(s.source);
    EXPECT_EQ(s.format, RecordFormat::kContent);
    EXPECT_EQ(s.content_path, paths[i - 1]);
    EXPECT_EQ(s.kind, kinds[i - 1]);
    // The index record's deletion and user, and its source as the parent.
    EXPECT_TRUE(s.has_deleted);
    EXPECT_EQ(s.deleted, 130000000000000000);
    EXPECT_EQ(s.user_name, "alice");
    EXPECT_EQ(s.parent_source, "IMAGE:p2:/bin/$IK3J9Q2");
    // No index file of its own.
    EXPECT_FALSE(s.has_entry);
    // Its own name in its own folder: the file can be read from there.
    EXPECT_EQ(s.location, s.source.substr(s.source.rfind('/') + 1));
  }
  EXPECT_EQ(sink.seen[1].size, 3u);
  EXPECT_EQ(sink.seen[1].modified, 130000000000000007);
  EXPECT_EQ(sink.seen[1].data, "bee");
  EXPECT_EQ(sink.seen[3].data, "not an index file");
  EXPECT_EQ(sink.seen[10].data, "x");
  EXPECT_EQ(sink.seen[2].size, 0u);  // a folder has no size
  EXPECT_EQ(contents.unreadable_directories(), 0);
  EXPECT_EQ(fs.open_directories(), 0u);
  EXPECT_EQ(fs.open_files(), 0u);
}

TEST_F(FolderContentsTest, OnlyAFolderCompanionHasContents) {
  fs.add_file("bin/$IAAA", "index");
  fs.add_file("bin/$RAAA", "a file");
  fs.add_file("bin/$IBBB", "index");
  ASSERT_TRUE(take("$IAAA", CompanionKind::kFile));
  ASSERT_TRUE(take("$IBBB", CompanionKind::kMissing));
  EXPECT_EQ(sources(sink.seen),
            (std::vector<std::string>{"IMAGE:p2:/bin/$IAAA", "IMAGE:p2:/bin/$IBBB"}));
}

TEST_F(FolderContentsTest, AnEmptyFolderHasNoContents) {
  fs.add_directory("bin/$REMPTY");
  ASSERT_TRUE(take("$IEMPTY"));
  EXPECT_EQ(sources(sink.seen), (std::vector<std::string>{"IMAGE:p2:/bin/$IEMPTY"}));
}

TEST_F(FolderContentsTest, AFolderThatCannotBeReadIsNamedAndTheRestWritten) {
  fs.add_file("bin/$RDIR/a", "a");
  fs.add_file("bin/$RDIR/locked/secret", "s");
  fs.add_file("bin/$RDIR/z", "z");
  fs.make_unreadable("bin/$RDIR/locked");
  testing::internal::CaptureStderr();
  ASSERT_TRUE(take("$IDIR"));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Can't read directory /bin/$RDIR/locked/: "), std::string::npos) << err;
  EXPECT_EQ(contents.unreadable_directories(), 1);
  const std::string top = "IMAGE:p2:/bin/$RDIR/";
  EXPECT_EQ(sources(sink.seen), (std::vector<std::string>{"IMAGE:p2:/bin/$IDIR", top + "a",
                                                          top + "locked", top + "z"}));
}

TEST_F(FolderContentsTest, AFolderTenThousandDeepWithinAFewOpenFolders) {
  constexpr int kDepth = 10000;
  fs.add_chain("bin/$RDEEP", kDepth);
  fs.set_budget(4);
  sink.quiet = true;
  ASSERT_TRUE(take("$IDEEP"));
  // Each level: its folder and its file.
  EXPECT_EQ(sink.count, 1u + 2u * kDepth);
  EXPECT_LE(fs.most_open_directories(), 1u + 8u);
  EXPECT_EQ(fs.open_directories(), 0u);
  EXPECT_EQ(contents.unreadable_directories(), 0);
}

TEST_F(FolderContentsTest, TheDeepestEntryHasTheWholePath) {
  fs.add_chain("bin/$RDEEP", 30);
  ASSERT_TRUE(take("$IDEEP"));
  std::string path;
  for (int i = 0; i < 30; ++i) path += "d" + std::to_string(i) + "\\";
  path += "$I29";
  EXPECT_EQ(sink.seen.back().content_path, path);
  EXPECT_EQ(sink.seen[1].content_path, "d0");
  EXPECT_EQ(sink.seen[2].content_path, "d0\\$I0");
}

TEST_F(FolderContentsTest, AFolderLargerThanABatchIsListedWholeInOrder) {
  constexpr int kFiles = 10000;
  std::vector<std::string> expected = {"IMAGE:p2:/bin/$IBIG"};
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "f" + std::to_string(i);
    fs.add_file("bin/$RBIG/" + name, "");
    expected.push_back("IMAGE:p2:/bin/$RBIG/" + name);
    if (i == 5000) {
      fs.add_file("bin/$RBIG/sub/inner", "");
      expected.push_back("IMAGE:p2:/bin/$RBIG/sub");
      expected.push_back("IMAGE:p2:/bin/$RBIG/sub/inner");
    }
  }
  ASSERT_TRUE(take("$IBIG"));
  EXPECT_EQ(sources(sink.seen), expected);
}

TEST_F(FolderContentsTest, AReportThatCannotBeWrittenEndsTheListing) {
  fs.add_file("bin/$RDIR/a/b/c", "");
  fs.add_file("bin/$RDIR/d", "");
  sink.fail_at = 3;
  EXPECT_FALSE(take("$IDIR"));
  EXPECT_EQ(sink.count, 3u);
  EXPECT_FALSE(contents.aborted());
  EXPECT_EQ(fs.open_directories(), 0u);
}

TEST_F(FolderContentsTest, NoAllocationPerEntryOnceWarmedUp) {
  for (int i = 0; i < 200; ++i) fs.add_file("bin/$RDIR/sub/f" + std::to_string(i), "");
  sink.quiet = true;
  ASSERT_TRUE(take("$IDIR"));  // warms up the buffers
  fs.add_file("bin/$RDIR/sub/more", "");
  std::string error;
  bin = fs.open_directory("bin", &error);
  ASSERT_NE(bin, kNoDir);
  companion = "$RDIR";
  RecycleRecord r;
  r.directory = "/bin/";
  r.file_name = "$IDIR";
  r.opened = true;
  r.format = RecordFormat::kV2;
  r.companion.kind = CompanionKind::kDirectory;
  r.companion.fs = &fs;
  r.companion.folder = bin;
  r.companion.name = companion;
  // The memory file system allocates for each folder it opens; nothing
  // else may grow with the entries.
  const long before = test_allocations();
  ASSERT_TRUE(contents.take(r));
  const long used = test_allocations() - before;
  fs.close_directory(bin);
  EXPECT_EQ(sink.count, 202u + 203u);
  EXPECT_LT(used, 20) << "allocations for 203 entries";
}

}  // namespace
