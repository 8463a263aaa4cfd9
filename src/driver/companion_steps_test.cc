#include "driver/companion_steps.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "platform/memory_file_system.h"
#include "platform/temp_dir_test.h"

namespace {

// Keeps the messages meant for the error stream.
class Messages final : public VolumeVisitor {
 public:
  Status walk(const Volume&, const std::string&) override { return Status(); }
  Status decode_recovered(const Volume&, const RecoveredFile&) override { return Status(); }
  void carving(const Volume&, uint64_t, uint64_t) override {}
  Status scan(const Volume&, ScanBytes*, std::span<const uint64_t>) override { return Status(); }
  void message(const std::string& text) override { lines.push_back(text); }
  std::vector<std::string> lines;
};

class CompanionStepsTest : public ::testing::Test {
 protected:
  static RecycleRecord record_for(CompanionKind kind) {
    RecycleRecord r;
    r.source_prefix = "IMAGE:p0:";
    r.directory = "/bin/";
    r.file_name = "$IX";
    r.opened = true;
    r.companion.kind = kind;
    return r;
  }
  void examine(CompanionSteps* steps, const char* name, RecycleRecord* r) {
    std::string error;
    const DirRef d = fs.open_directory("bin", &error);
    ASSERT_NE(d, kNoDir) << error;
    steps->examine(&fs, d, name, r);
    fs.close_directory(d);
  }
  MemoryFileSystem fs;
  Messages messages;
};

TEST_F(CompanionStepsTest, DigestsZoneAndAnUnreadableCompanion) {
  fs.add_file("bin/$RGOOD", "abc");
  fs.add_stream("bin/$RGOOD", "Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=h\r\n");
  fs.add_file("bin/$RBAD", std::string(10000, 'x'));
  fs.fail_reads("bin/$RBAD", 4096, "Input/output error");
  fs.add_directory("bin/$RDIR");
  CompanionStepSettings settings;
  settings.digests = digest_bit(kDigestMd5) | digest_bit(kDigestSha256);
  settings.zone = true;
  CompanionSteps steps(settings);
  steps.set_messages(&messages);
  std::string reason;
  bool write_failed = false;
  ASSERT_TRUE(steps.open(nullptr, &reason, &write_failed)) << reason;
  ASSERT_TRUE(steps.active());

  RecycleRecord good = record_for(CompanionKind::kFile);
  examine(&steps, "$RGOOD", &good);
  EXPECT_EQ(good.companion.md5, "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(good.companion.sha1, "");
  EXPECT_EQ(good.companion.sha256.size(), 64u);
  EXPECT_TRUE(good.companion.has_zone_id);
  EXPECT_EQ(good.companion.zone_id, 3);
  EXPECT_EQ(good.companion.host_url, "h");
  EXPECT_FALSE(steps.read_failed());

  RecycleRecord bad = record_for(CompanionKind::kFile);
  examine(&steps, "$RBAD", &bad);
  EXPECT_EQ(bad.companion.md5, "");
  EXPECT_EQ(bad.companion.sha256, "");
  EXPECT_EQ(bad.warnings, 0u);  // the index file was read: no cannot-open
  EXPECT_FALSE(bad.companion.has_zone_id);
  ASSERT_EQ(messages.lines.size(), 1u);
  EXPECT_EQ(messages.lines[0], "Can't read companion IMAGE:p0:/bin/$RBAD: Input/output error");
  EXPECT_TRUE(steps.read_failed());
  EXPECT_FALSE(steps.write_failed());

  // A folder has no digests, and nothing of it is read.
  RecycleRecord folder = record_for(CompanionKind::kDirectory);
  examine(&steps, "$RDIR", &folder);
  EXPECT_EQ(folder.companion.md5, "");
  EXPECT_EQ(messages.lines.size(), 1u);
  EXPECT_EQ(fs.opens("bin/$RGOOD"), 1u);
}

TEST_F(CompanionStepsTest, AnEntryOfARecycledFolderIsHashedButNotCopiedAgain) {
  fs.add_file("bin/$RGOOD", "abc");
  TempDir dir;
  TargetOpen outcome;
  std::string reason;
  auto target = open_copy_target((dir / "out").c_str(), &outcome, &reason);
  ASSERT_TRUE(target) << reason;
  CompanionStepSettings settings;
  settings.digests = digest_bit(kDigestMd5);
  CompanionSteps steps(settings);
  steps.set_messages(&messages);
  bool write_failed = false;
  ASSERT_TRUE(steps.open(std::move(target), &reason, &write_failed)) << reason;
  RecycleRecord entry = record_for(CompanionKind::kFile);
  entry.parent_source = "IMAGE:p0:/bin/$IDIR";
  examine(&steps, "$RGOOD", &entry);
  steps.finish();
  EXPECT_EQ(entry.companion.md5, "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(fs.opens("bin/$RGOOD"), 1u);
  // Only the manifest, empty.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "out"),
                          std::filesystem::directory_iterator()), 1);
  EXPECT_EQ(std::filesystem::file_size(dir / "out/manifest.jsonl"), 0u);
}

TEST_F(CompanionStepsTest, TheClassicReportReadsNothing) {
  fs.add_file("bin/$RGOOD", "abc");
  CompanionSteps steps(CompanionStepSettings{});
  std::string reason;
  bool write_failed = false;
  ASSERT_TRUE(steps.open(nullptr, &reason, &write_failed));
  EXPECT_FALSE(steps.active());
}

}  // namespace
