#include "companion/file_digests.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/memory_file_system.h"

namespace {

constexpr unsigned kAll =
    digest_bit(kDigestMd5) | digest_bit(kDigestSha1) | digest_bit(kDigestSha256);

class Gather final : public ByteSink {
 public:
  bool write(const unsigned char* data, size_t size) override {
    if (refuse_after != 0 && bytes.size() + size > refuse_after) return false;
    bytes.append(reinterpret_cast<const char*>(data), size);
    ++writes;
    return true;
  }
  std::string bytes;
  size_t writes = 0;
  size_t refuse_after = 0;
};

class FileDigestsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    fs.add_directory("bin");
    dir_path = "bin";
  }
  DirRef open() {
    std::string error;
    const DirRef dir = fs.open_directory(dir_path.c_str(), &error);
    EXPECT_NE(dir, kNoDir) << error;
    return dir;
  }
  MemoryFileSystem fs;
  std::string dir_path;
};

TEST_F(FileDigestsTest, KnownDigestsOfOneFileReadOnceForAll) {
  fs.add_file("bin/$RABC.txt", "abc");
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + (i >> 9));
  fs.add_file("bin/$RBIG.bin", big);
  fs.add_file("bin/$REMPTY", "");
  fs.set_read_limit(100000);  // as an image's reader may give
  FileDigests digests(kAll, false);
  std::string reason;
  ASSERT_TRUE(digests.open(&reason)) << reason;
  const DirRef dir = open();
  uint64_t size = 0;
  ASSERT_EQ(digests.read(&fs, dir, "$RABC.txt", nullptr, &size, &reason), DigestOutcome::kDone);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(digests.hex(kDigestMd5), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(digests.hex(kDigestSha1), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(digests.hex(kDigestSha256),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  ASSERT_EQ(digests.read(&fs, dir, "$REMPTY", nullptr, &size, &reason), DigestOutcome::kDone);
  EXPECT_EQ(digests.hex(kDigestMd5), "d41d8cd98f00b204e9800998ecf8427e");
  Gather copy;
  ASSERT_EQ(digests.read(&fs, dir, "$RBIG.bin", &copy, &size, &reason), DigestOutcome::kDone);
  EXPECT_EQ(copy.bytes, big);
  EXPECT_EQ(size, big.size());
  // Each file opened once and every byte read once, for all three digests
  // and the copy.
  EXPECT_EQ(fs.opens("bin/$RABC.txt"), 1u);
  EXPECT_EQ(fs.opens("bin/$RBIG.bin"), 1u);
  EXPECT_EQ(fs.bytes_read("bin/$RBIG.bin"), big.size());
  EXPECT_EQ(fs.open_files(), 0u);
  fs.close_directory(dir);
}

TEST_F(FileDigestsTest, OnlyTheKindsAskedForAreGiven) {
  fs.add_file("bin/$RABC.txt", "abc");
  FileDigests digests(digest_bit(kDigestSha1), false);
  std::string reason;
  ASSERT_TRUE(digests.open(&reason)) << reason;
  const DirRef dir = open();
  uint64_t size = 0;
  ASSERT_EQ(digests.read(&fs, dir, "$RABC.txt", nullptr, &size, &reason), DigestOutcome::kDone);
  EXPECT_EQ(digests.hex(kDigestMd5), "");
  EXPECT_EQ(digests.hex(kDigestSha1), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(digests.hex(kDigestSha256), "");
  fs.close_directory(dir);
}

TEST_F(FileDigestsTest, AFileThatCannotBeReadWholeHasNoDigests) {
  fs.add_file("bin/$RBAD.txt", std::string(5000, 'x'));
  fs.fail_reads("bin/$RBAD.txt", 4096, "Input/output error");
  fs.add_file("bin/$RABC.txt", "abc");
  fs.add_directory("bin/$RFOLDER");
  FileDigests digests(kAll, false);
  std::string reason;
  ASSERT_TRUE(digests.open(&reason)) << reason;
  const DirRef dir = open();
  uint64_t size = 0;
  ASSERT_EQ(digests.read(&fs, dir, "$RABC.txt", nullptr, &size, &reason), DigestOutcome::kDone);
  EXPECT_EQ(digests.read(&fs, dir, "$RBAD.txt", nullptr, &size, &reason),
            DigestOutcome::kReadFailed);
  EXPECT_EQ(reason, "Input/output error");
  EXPECT_EQ(size, 4096u);
  // The digests of the file before are gone with it.
  EXPECT_EQ(digests.hex(kDigestSha256), "");
  EXPECT_EQ(digests.read(&fs, dir, "$RFOLDER", nullptr, &size, &reason),
            DigestOutcome::kNotOpened);
  EXPECT_EQ(digests.read(&fs, dir, "$RGONE", nullptr, &size, &reason), DigestOutcome::kNotOpened);
  EXPECT_EQ(fs.open_files(), 0u);
  fs.close_directory(dir);
}

TEST_F(FileDigestsTest, ASinkThatRefusesStopsTheRead) {
  fs.add_file("bin/$RBIG.bin", std::string(3 << 20, 'b'));
  FileDigests digests(0, false);  // the bytes only, for a copy
  std::string reason;
  ASSERT_TRUE(digests.open(&reason));
  const DirRef dir = open();
  Gather copy;
  copy.refuse_after = 1 << 20;
  uint64_t size = 0;
  EXPECT_EQ(digests.read(&fs, dir, "$RBIG.bin", &copy, &size, &reason),
            DigestOutcome::kSinkFailed);
  EXPECT_EQ(copy.bytes.size(), 1u << 20);
  EXPECT_LT(fs.bytes_read("bin/$RBIG.bin"), 3u << 20);
  fs.close_directory(dir);
}

TEST_F(FileDigestsTest, TimesAreSetBackOnlyWhenAsked) {
  fs.add_file("bin/$RA.txt", "a");
  fs.add_file("bin/$RB.txt", "b");
  const DirRef dir = open();
  std::string reason;
  uint64_t size = 0;
  FileDigests keep(digest_bit(kDigestMd5), true);
  ASSERT_TRUE(keep.open(&reason));
  ASSERT_EQ(keep.read(&fs, dir, "$RA.txt", nullptr, &size, &reason), DigestOutcome::kDone);
  EXPECT_NE(fs.restored_times("bin/$RA.txt"), nullptr);
  EXPECT_FALSE(keep.restore_failed());
  FileDigests leave(digest_bit(kDigestMd5), false);
  ASSERT_TRUE(leave.open(&reason));
  ASSERT_EQ(leave.read(&fs, dir, "$RB.txt", nullptr, &size, &reason), DigestOutcome::kDone);
  EXPECT_EQ(fs.restored_times("bin/$RB.txt"), nullptr);
  fs.close_directory(dir);
}

}  // namespace
