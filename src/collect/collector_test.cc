#include "collect/collector.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "decode/test_index_files.h"
#include "platform/memory_file_system.h"
#include "platform/temp_dir_test.h"
#include "platform/windows_names.h"

using test_index::filetime_utc;

namespace {

class Messages final : public CollectMessages {
 public:
  void problem(const std::string& text) override { lines.push_back(text); }
  std::vector<std::string> lines;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(CollectorNames, UnsafeNamesAreWrittenWithUnderscores) {
  std::string out;
  EXPECT_FALSE(Collector::safe_component("report.txt", 255, &out));
  EXPECT_EQ(out, "report.txt");
  EXPECT_TRUE(Collector::safe_component("a/b", 255, &out));
  EXPECT_EQ(out, "a_b");
  EXPECT_TRUE(Collector::safe_component(std::string("a\0b", 3), 255, &out));
  EXPECT_EQ(out, "a_b");
  EXPECT_TRUE(Collector::safe_component("..", 255, &out));
  EXPECT_EQ(out, "__");
  EXPECT_TRUE(Collector::safe_component(".", 255, &out));
  EXPECT_EQ(out, "_");
  EXPECT_TRUE(Collector::safe_component("", 255, &out));
  EXPECT_EQ(out, "_");
  EXPECT_FALSE(Collector::safe_component("...", 255, &out));  // a name Linux can write
  // Cut at a character's start: "é" is two bytes.
  EXPECT_TRUE(Collector::safe_component("ab\xC3\xA9", 3, &out));
  EXPECT_EQ(out, "ab");
}

TEST(CollectorNames, NumbersGoBeforeTheExtensionWithinTheLimit) {
  std::string out;
  Collector::numbered("report.txt", 2, 255, &out);
  EXPECT_EQ(out, "report (2).txt");
  Collector::numbered("archive.tar.gz", 3, 255, &out);
  EXPECT_EQ(out, "archive.tar (3).gz");
  Collector::numbered(".profile", 2, 255, &out);
  EXPECT_EQ(out, ".profile (2)");
  Collector::numbered("noext", 12, 255, &out);
  EXPECT_EQ(out, "noext (12)");
  Collector::numbered(std::string(20, 'x') + ".txt", 2, 16, &out);
  EXPECT_EQ(out, "xxxxxxxx (2).txt");
  EXPECT_EQ(out.size(), 16u);
}

class CollectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    target_path = dir / "out";
    TargetOpen outcome;
    std::string reason;
    auto target = open_copy_target(target_path.c_str(), &outcome, &reason);
    ASSERT_TRUE(target) << reason;
    std::string error;
    ASSERT_TRUE(digests.open(&error)) << error;
    collector = std::make_unique<Collector>(std::move(target), &digests, &messages);
    ASSERT_TRUE(collector->start(&reason)) << reason;
  }
  void collect(const char* name, EntryKind kind, const CollectItem& item) {
    std::string error;
    const DirRef d = fs.open_directory("bin/S-1-5-21-1-2-3-1001", &error);
    ASSERT_NE(d, kNoDir) << error;
    EntryInfo info;
    ASSERT_TRUE(fs.lookup(d, name, &info));
    collector->collect(&fs, d, kind, info.times, item);
    fs.close_directory(d);
  }
  static CollectItem item(const char* entry, const char* original, const char* source,
                          const char* name) {
    CollectItem i;
    i.user_sid = "S-1-5-21-1-2-3-1001";
    i.entry_name = entry;
    i.original_path = original;
    i.source = source;
    i.companion_name = name;
    return i;
  }

  TempDir dir;
  std::string target_path;
  MemoryFileSystem fs;
  FileDigests digests{digest_bit(kDigestSha256), false};
  Messages messages;
  std::unique_ptr<Collector> collector;
};

TEST_F(CollectorTest, AFileAndAFolderTreeWithTimesAndManifest) {
  const FileTime written = filetime_utc(2019, 4, 2, 9, 45, 30, 1234567);
  const FileTime accessed = filetime_utc(2019, 5, 2, 10, 15, 45, 7654321);
  fs.add_file("bin/S-1-5-21-1-2-3-1001/$RAB12CD.txt", "abc", {0, accessed, written, 0});
  fs.add_file("bin/S-1-5-21-1-2-3-1001/$RFOLDER/one.txt", "1");
  fs.add_file("bin/S-1-5-21-1-2-3-1001/$RFOLDER/sub/two.txt", "22");
  fs.add_link("bin/S-1-5-21-1-2-3-1001/$RFOLDER/link");
  collect("$RAB12CD.txt", EntryKind::kRegular,
          item("$IAB12CD.txt", "C:\\Users\\u\\report.txt", "/b/$RAB12CD.txt", "$RAB12CD.txt"));
  EXPECT_TRUE(collector->last_read_whole());
  collect("$RFOLDER", EntryKind::kDirectory,
          item("$IFOLDER", "C:\\Users\\u\\Docs", "/b/$RFOLDER", "$RFOLDER"));
  ASSERT_TRUE(collector->finish());
  EXPECT_TRUE(messages.lines.empty());
  EXPECT_FALSE(collector->read_failed());
  EXPECT_FALSE(collector->write_failed());

  const std::string base = target_path + "/S-1-5-21-1-2-3-1001/";
  struct stat st;  // before the copy is read, which sets its access time
  ASSERT_EQ(stat((base + "$IAB12CD.txt/report.txt").c_str(), &st), 0);
  EXPECT_EQ(slurp(base + "$IAB12CD.txt/report.txt"), "abc");
  const auto to_unix_ns = [](FileTime t) {
    return (static_cast<int64_t>(t) - 116444736000000000LL) * 100;
  };
  EXPECT_EQ(st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec, to_unix_ns(written));
  EXPECT_EQ(st.st_atim.tv_sec * 1000000000LL + st.st_atim.tv_nsec, to_unix_ns(accessed));
  EXPECT_EQ(slurp(base + "$IFOLDER/Docs/one.txt"), "1");
  EXPECT_EQ(slurp(base + "$IFOLDER/Docs/sub/two.txt"), "22");
  EXPECT_FALSE(std::filesystem::exists(base + "$IFOLDER/Docs/link"));
  EXPECT_EQ(slurp(target_path + "/manifest.jsonl"),
            "{\"source\":\"/b/$RAB12CD.txt\",\"original_path\":\"C:\\\\Users\\\\u\\\\report.txt\","
            "\"copy\":\"S-1-5-21-1-2-3-1001/$IAB12CD.txt/report.txt\",\"size\":3,"
            "\"sha256\":\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\","
            "\"renamed\":false}\n"
            "{\"source\":\"/b/$RFOLDER/one.txt\",\"original_path\":\"C:\\\\Users\\\\u\\\\Docs\\\\one.txt\","
            "\"copy\":\"S-1-5-21-1-2-3-1001/$IFOLDER/Docs/one.txt\",\"size\":1,"
            "\"sha256\":\"6b86b273ff34fce19d6b804eff5a3f5747ada4eaa22f1d49c01e52ddb7875b4b\","
            "\"renamed\":false}\n"
            "{\"source\":\"/b/$RFOLDER/sub/two.txt\",\"original_path\":"
            "\"C:\\\\Users\\\\u\\\\Docs\\\\sub\\\\two.txt\","
            "\"copy\":\"S-1-5-21-1-2-3-1001/$IFOLDER/Docs/sub/two.txt\",\"size\":2,"
            "\"sha256\":\"785f3ec7eb32f30b90cd0fcf3657d388b5ff4297f2f9716ff66e9b69c05ddd09\","
            "\"renamed\":false}\n");
}

TEST_F(CollectorTest, NothingIsOverwrittenAndUnsafeNamesStayInside) {
  fs.add_file("bin/S-1-5-21-1-2-3-1001/$RA.txt", "first");
  fs.add_file("bin/S-1-5-21-1-2-3-1001/$RB.txt", "second");
  fs.add_file("bin/S-1-5-21-1-2-3-1001/$RC", "third");
  collect("$RA.txt", EntryKind::kRegular, item("$IA.txt", "C:\\a\\same.txt", "s1", "$RA.txt"));
  // The same entry name again (another volume's bin): a number.
  collect("$RB.txt", EntryKind::kRegular, item("$IA.txt", "C:\\b\\same.txt", "s2", "$RB.txt"));
  // A forged path whose last component climbs out.
  collect("$RC", EntryKind::kRegular, item("../..", "C:\\x\\..", "s3", "$RC"));
  ASSERT_TRUE(collector->finish());
  const std::string base = target_path + "/S-1-5-21-1-2-3-1001/";
  EXPECT_EQ(slurp(base + "$IA.txt/same.txt"), "first");
  EXPECT_EQ(slurp(base + "$IA.txt/same (2).txt"), "second");
  EXPECT_EQ(slurp(base + ".._../__"), "third");
  const std::string manifest = slurp(target_path + "/manifest.jsonl");
  EXPECT_NE(manifest.find("\"copy\":\"S-1-5-21-1-2-3-1001/$IA.txt/same (2).txt\",\"size\":6,"),
            std::string::npos);
  EXPECT_NE(manifest.find("\"copy\":\"S-1-5-21-1-2-3-1001/.._../__\""), std::string::npos);
  EXPECT_EQ(std::count(manifest.begin(), manifest.end(), '\n'), 3);
  // Every line but the first says it was renamed.
  size_t renamed = 0;
  for (size_t at = manifest.find("\"renamed\":true"); at != std::string::npos;
       at = manifest.find("\"renamed\":true", at + 1))
    ++renamed;
  EXPECT_EQ(renamed, 2u);
  EXPECT_FALSE(std::filesystem::exists(dir / "a"));
}

TEST_F(CollectorTest, AnUnreadableFileLeavesNoCopyAndIsNamed) {
  fs.add_file("bin/S-1-5-21-1-2-3-1001/$RBAD.bin", std::string(5000, 'x'));
  fs.fail_reads("bin/S-1-5-21-1-2-3-1001/$RBAD.bin", 100, "Input/output error");
  collect("$RBAD.bin", EntryKind::kRegular, item("$IBAD.bin", "C:\\bad.bin", "src/$RBAD.bin",
                                                  "$RBAD.bin"));
  ASSERT_TRUE(collector->finish());
  EXPECT_TRUE(collector->read_failed());
  EXPECT_FALSE(collector->write_failed());
  EXPECT_FALSE(collector->last_read_whole());
  ASSERT_EQ(messages.lines.size(), 1u);
  EXPECT_EQ(messages.lines[0], "Can't read src/$RBAD.bin: Input/output error");
  EXPECT_FALSE(std::filesystem::exists(target_path + "/S-1-5-21-1-2-3-1001/$IBAD.bin/bad.bin"));
  EXPECT_EQ(slurp(target_path + "/manifest.jsonl"), "");
}

TEST(CopyTarget, OnlyAnEmptyOrNewFolderIsTaken) {
  TempDir dir;
  TargetOpen outcome;
  std::string reason;
  EXPECT_TRUE(open_copy_target((dir / "new/deeper").c_str(), &outcome, &reason));
  EXPECT_EQ(outcome, TargetOpen::kOpened);
  EXPECT_TRUE(std::filesystem::is_directory(dir / "new/deeper"));
  std::ofstream(dir / "file") << "x";
  EXPECT_FALSE(open_copy_target(dir.path().c_str(), &outcome, &reason));
  EXPECT_EQ(outcome, TargetOpen::kNotEmpty);
  EXPECT_FALSE(open_copy_target((dir / "file").c_str(), &outcome, &reason));
  EXPECT_EQ(outcome, TargetOpen::kNotAFolder);
}

TEST(CopyTarget, FoldersWithinAreToldByWhatTheyAre) {
  TempDir dir;
  std::filesystem::create_directories(dir / "tree/a/b");
  std::filesystem::create_directories(dir / "other");
  std::filesystem::create_directory_symlink(dir / "tree/a", dir / "other/link");
  const std::string tree = dir / "tree";
  EXPECT_TRUE(folder_within((dir / "tree").c_str(), tree.c_str()));
  EXPECT_TRUE(folder_within((dir / "tree/a/b").c_str(), tree.c_str()));
  EXPECT_TRUE(folder_within((dir / "tree/a/b/not/yet").c_str(), tree.c_str()));
  EXPECT_TRUE(folder_within((dir / "other/link/new").c_str(), tree.c_str()));
  EXPECT_FALSE(folder_within((dir / "other").c_str(), tree.c_str()));
  EXPECT_FALSE(folder_within((dir / "other/new").c_str(), tree.c_str()));
  EXPECT_FALSE(folder_within(dir.path().c_str(), tree.c_str()));
}

}  // namespace

namespace {

TEST_F(CollectorTest, AFolderOfAnyDepthIsCopiedWithFewFoldersOpen) {
  constexpr int kDepth = 300;
  fs.add_chain("bin/S-1-5-21-1-2-3-1001/$RDEEP", kDepth);
  collect("$RDEEP", EntryKind::kDirectory, item("$IDEEP", "C:\\deep", "src", "$RDEEP"));
  ASSERT_TRUE(collector->finish());
  EXPECT_TRUE(messages.lines.empty()) << messages.lines[0];
  EXPECT_FALSE(collector->read_failed());
  // The source's folders held open at once stay few, whatever the depth.
  EXPECT_LE(fs.most_open_directories(), 70u);
  EXPECT_EQ(fs.open_directories(), 0u);
  std::string path = target_path + "/S-1-5-21-1-2-3-1001/$IDEEP/deep";
  for (int i = 0; i < kDepth; ++i) {
    path += "/d" + std::to_string(i);
    ASSERT_TRUE(std::filesystem::is_regular_file(path + "/$I" + std::to_string(i))) << i;
  }
  const std::string manifest = slurp(target_path + "/manifest.jsonl");
  EXPECT_EQ(std::count(manifest.begin(), manifest.end(), '\n'), kDepth);
}

}  // namespace

namespace {

// The POSIX target with the rules of a system that holds fewer names, as
// the Windows target has them.
class WindowsRulesTarget final : public CopyTarget {
 public:
  explicit WindowsRulesTarget(std::unique_ptr<CopyTarget> real) : real_(std::move(real)) {}
  TargetRef root() override { return real_->root(); }
  size_t name_limit() const override { return real_->name_limit(); }
  bool mend_name(std::string* name) const override { return mend_windows_name(name); }
  TargetRef make_folder(TargetRef parent, const char* name, bool reuse, bool* taken,
                        std::string* reason) override {
    return real_->make_folder(parent, name, reuse, taken, reason);
  }
  TargetRef open_parent(TargetRef folder, std::string* reason) override {
    return real_->open_parent(folder, reason);
  }
  bool close_folder(TargetRef folder, FileTime last_write, FileTime last_access) override {
    return real_->close_folder(folder, last_write, last_access);
  }
  TargetRef create_file(TargetRef parent, const char* name, bool* taken,
                        std::string* reason) override {
    return real_->create_file(parent, name, taken, reason);
  }
  bool write(TargetRef file, const void* data, size_t size, std::string* reason) override {
    return real_->write(file, data, size, reason);
  }
  bool finish_file(TargetRef file, FileTime last_write, FileTime last_access,
                   std::string* reason) override {
    return real_->finish_file(file, last_write, last_access, reason);
  }
  void discard_file(TargetRef parent, const char* name, TargetRef file) override {
    real_->discard_file(parent, name, file);
  }

 private:
  std::unique_ptr<CopyTarget> real_;
};

TEST(CollectorOnWindowsRules, NamesWindowsCannotHoldAreRenamedEverywhereInThePath) {
  TempDir dir;
  const std::string target_path = dir / "out";
  TargetOpen outcome;
  std::string reason;
  auto real = open_copy_target(target_path.c_str(), &outcome, &reason);
  ASSERT_TRUE(real) << reason;
  FileDigests digests{digest_bit(kDigestSha256), false};
  std::string error;
  ASSERT_TRUE(digests.open(&error)) << error;
  Messages messages;
  Collector collector(std::make_unique<WindowsRulesTarget>(std::move(real)), &digests, &messages);
  ASSERT_TRUE(collector.start(&reason)) << reason;

  MemoryFileSystem fs;
  fs.add_file("bin/S-1-5-21-1-2-3-1001/$RQ.txt", "q");
  fs.add_file("bin/S-1-5-21-1-2-3-1001/$RC1.txt", "c1");
  fs.add_file("bin/S-1-5-21-1-2-3-1001/$RC2.txt", "c2");
  fs.add_file("bin/S-1-5-21-1-2-3-1001/$RDIR/nul.txt", "n");
  fs.add_file("bin/S-1-5-21-1-2-3-1001/$RDIR/ok.txt", "ok");
  const DirRef d = fs.open_directory("bin/S-1-5-21-1-2-3-1001", &error);
  ASSERT_NE(d, kNoDir) << error;
  const auto copy = [&](const char* companion, EntryKind kind, const char* entry,
                        const char* original) {
    CollectItem i;
    i.user_sid = "S-1-5-21-1-2-3-1001";
    i.entry_name = entry;
    i.original_path = original;
    i.source = companion;
    i.companion_name = companion;
    EntryInfo info;
    ASSERT_TRUE(fs.lookup(d, companion, &info));
    collector.collect(&fs, d, kind, info.times, i);
  };
  copy("$RQ.txt", EntryKind::kRegular, "$IQ.txt", "C:\\x\\what? a:b.txt");
  copy("$RC1.txt", EntryKind::kRegular, "$IC.txt", "C:\\x\\CON.txt");
  copy("$RC2.txt", EntryKind::kRegular, "$IC.txt", "D:\\y\\CON.txt");
  // A forged entry name, and a folder whose name and whose entry are devices.
  copy("$RDIR", EntryKind::kDirectory, "$I:DIR", "C:\\x\\aux");
  fs.close_directory(d);
  ASSERT_TRUE(collector.finish());
  EXPECT_TRUE(messages.lines.empty()) << messages.lines[0];

  const std::string base = target_path + "/S-1-5-21-1-2-3-1001/";
  EXPECT_EQ(slurp(base + "$IQ.txt/what_ a_b.txt"), "q");
  EXPECT_EQ(slurp(base + "$IC.txt/CON_.txt"), "c1");
  EXPECT_EQ(slurp(base + "$IC.txt/CON_ (2).txt"), "c2");
  EXPECT_EQ(slurp(base + "$I_DIR/aux_/nul_.txt"), "n");
  EXPECT_EQ(slurp(base + "$I_DIR/aux_/ok.txt"), "ok");
  const std::string manifest = slurp(target_path + "/manifest.jsonl");
  for (const char* line : {"\"copy\":\"S-1-5-21-1-2-3-1001/$IQ.txt/what_ a_b.txt\"",
                           "\"copy\":\"S-1-5-21-1-2-3-1001/$IC.txt/CON_.txt\"",
                           "\"copy\":\"S-1-5-21-1-2-3-1001/$IC.txt/CON_ (2).txt\"",
                           "\"copy\":\"S-1-5-21-1-2-3-1001/$I_DIR/aux_/nul_.txt\"",
                           "\"copy\":\"S-1-5-21-1-2-3-1001/$I_DIR/aux_/ok.txt\""})
    EXPECT_NE(manifest.find(line), std::string::npos) << line;
  // Each file's own name or a folder above it was changed.
  EXPECT_EQ(std::count(manifest.begin(), manifest.end(), '\n'), 5);
  size_t renamed = 0;
  for (size_t at = manifest.find("\"renamed\":true"); at != std::string::npos;
       at = manifest.find("\"renamed\":true", at + 1))
    ++renamed;
  EXPECT_EQ(renamed, 5u);
  // The original paths are kept as they were.
  EXPECT_NE(manifest.find("\"original_path\":\"C:\\\\x\\\\what? a:b.txt\""), std::string::npos);
  EXPECT_NE(manifest.find("\"original_path\":\"C:\\\\x\\\\aux\\\\nul.txt\""), std::string::npos);
}

}  // namespace
