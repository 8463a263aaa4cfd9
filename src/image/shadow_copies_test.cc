// The shadow-copy stores of a volume, read through the table's reader from
// the volume's bytes: how many there are, what each holds, and what is
// said when the volume's bytes or its shadow-copy structures cannot be
// read.  The volumes are the sample Windows wrote and the volume built
// after libyal's format document (tests/e2e/vss_image.py).
#include "image/shadow_copies.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "image/test_images.h"

namespace {

uint64_t le(const std::string& bytes, size_t at, int size) {
  uint64_t v = 0;
  for (int i = size - 1; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(bytes[at + i]);
  return v;
}

// A volume's bytes; those in [fail_from, fail_to) cannot be read.
class TestBytes : public VolumeBytes {
 public:
  bool read(uint64_t offset, void* buffer, size_t size, std::string* reason) override {
    ++reads;
    if (offset < fail_to && offset + size > fail_from) {
      *reason = "bytes withheld by the test";
      return false;
    }
    return fetch(offset, buffer, size, reason);
  }
  uint64_t fail_from = 0, fail_to = 0;
  int reads = 0;

 protected:
  virtual bool fetch(uint64_t offset, void* buffer, size_t size, std::string* reason) = 0;
};

// The bytes of a volume image file, read in place.
class FileBytes final : public TestBytes {
 public:
  explicit FileBytes(const std::string& path)
      : file_(path, std::ios::binary), size_(std::filesystem::file_size(path)) {}
  uint64_t size() const override { return size_; }

 private:
  bool fetch(uint64_t offset, void* buffer, size_t size, std::string* reason) override {
    file_.clear();
    file_.seekg(static_cast<std::streamoff>(offset));
    file_.read(static_cast<char*>(buffer), static_cast<std::streamsize>(size));
    if (!file_) *reason = "the file is shorter";
    return static_cast<bool>(file_);
  }
  std::ifstream file_;
  uint64_t size_;
};

// The bytes of a volume image copied into memory, to be damaged there.
class MemoryBytes final : public TestBytes {
 public:
  explicit MemoryBytes(const std::string& path) : bytes(read_whole(path)) {}
  uint64_t size() const override { return bytes.size(); }
  std::string bytes;

 private:
  bool fetch(uint64_t offset, void* buffer, size_t size, std::string*) override {
    std::memcpy(buffer, bytes.data() + offset, size);
    return true;
  }
};

// The bytes of `size` at `offset` of a store.
std::string store_bytes(ImageReader* store, uint64_t offset, size_t size) {
  std::string out(size, '\0');
  ReadFailure failure;
  EXPECT_TRUE(store->read(offset, out.data(), size, &failure)) << failure.reason;
  return out;
}

std::string utf16(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    out.push_back(*p);
    out.push_back('\0');
  }
  return out;
}

// MFT entry `entry` of the NTFS volume whose boot sector `boot` is, as
// `read` gives the volume's bytes.
template <typename Read>
std::string mft_entry(const std::string& boot, uint64_t entry, Read read) {
  const uint64_t cluster = le(boot, 0x0B, 2) * le(boot, 0x0D, 1);
  const int8_t code = static_cast<int8_t>(boot[0x40]);
  const uint64_t record = code > 0 ? code * cluster : uint64_t{1} << -code;
  return read(le(boot, 0x30, 8) * cluster + entry * record, record);
}

TEST(ShadowCopies, TheSampleVolumesTwoStoresShowItAsItWasWhenEachWasTaken) {
  NEED_IMAGE(path, "vsstest");
  const FileState before(path);
  {
    FileBytes volume(path);
    std::string error;
    std::unique_ptr<ShadowCopies> copies = open_shadow_copies(&volume, &error);
    ASSERT_NE(copies, nullptr) << error;
    ASSERT_EQ(copies->count(), 2u);
    std::unique_ptr<ImageReader> first = copies->open_store(0, &error);
    ASSERT_NE(first, nullptr) << error;
    EXPECT_EQ(first->size(), uint64_t{1} << 30);
    EXPECT_TRUE(first->told_regions().empty());
    // MFT entry 35 was the plain syslog when the older snapshot was taken,
    // and is syslog.gz since (as istat shows on each).
    const std::string boot = store_bytes(first.get(), 0, 512);
    EXPECT_EQ(boot.substr(3, 8), "NTFS    ");
    const std::string then = mft_entry(boot, 35, [&](uint64_t offset, size_t size) {
      return store_bytes(first.get(), offset, size);
    });
    EXPECT_EQ(then.substr(0, 4), "FILE");
    EXPECT_NE(then.find(utf16("syslog")), std::string::npos);
    EXPECT_EQ(then.find(utf16("syslog.gz")), std::string::npos);
    const std::string now = mft_entry(boot, 35, [&](uint64_t offset, size_t size) {
      std::string out(size, '\0');
      std::string reason;
      EXPECT_TRUE(volume.read(offset, out.data(), size, &reason)) << reason;
      return out;
    });
    EXPECT_NE(now.find(utf16("syslog.gz")), std::string::npos);
    first.reset();
    // The newer store already has syslog.gz.
    std::unique_ptr<ImageReader> second = copies->open_store(1, &error);
    ASSERT_NE(second, nullptr) << error;
    const std::string later = mft_entry(boot, 35, [&](uint64_t offset, size_t size) {
      return store_bytes(second.get(), offset, size);
    });
    EXPECT_NE(later.find(utf16("syslog.gz")), std::string::npos);
    // No third store; reads past a store's end are refused.
    EXPECT_EQ(copies->open_store(2, &error), nullptr);
    EXPECT_EQ(error, "there is no store 3");
    char byte = 0;
    ReadFailure failure;
    EXPECT_FALSE(second->read(second->size(), &byte, 1, &failure));
    EXPECT_EQ(failure.reason, "the shadow copy ends at byte 1073741824");
  }
  EXPECT_TRUE(FileState(path) == before) << "reading the stores changed the image";
}

TEST(ShadowCopies, AVolumeWithoutShadowCopiesHasNoStoreAndIsReadNoFurther) {
  NEED_IMAGE(path, "ntfs");
  FileBytes volume(path);
  std::string error;
  std::unique_ptr<ShadowCopies> copies = open_shadow_copies(&volume, &error);
  ASSERT_NE(copies, nullptr) << error;
  EXPECT_EQ(copies->count(), 0u);
  EXPECT_EQ(volume.reads, 1);  // the header's place, and nothing more
}

// Where the built volume's shadow-copy structures are: the catalog (from
// the volume header at 0x1e00), and each store's first block-list block
// (from the catalog's store entries, the second of each snapshot's pair).
struct VssLayout {
  explicit VssLayout(const std::string& bytes) {
    catalog = le(bytes, 0x1e00 + 48, 8);
    for (size_t entry = 0; entry < 4; ++entry) {
      const size_t at = catalog + 128 + entry * 128;
      if (le(bytes, at, 8) == 3) block_lists.push_back(le(bytes, at + 8, 8));
    }
  }
  uint64_t catalog = 0;
  std::vector<uint64_t> block_lists;
};

TEST(ShadowCopies, AVolumeWhoseCatalogCannotBeReadIsNamedWithTheReason) {
  NEED_IMAGE(path, "vss-bin");
  MemoryBytes volume(path);
  const VssLayout layout(volume.bytes);
  ASSERT_NE(layout.catalog, 0u);
  // The catalog's bytes withheld: the volume's own reason.
  volume.fail_from = layout.catalog;
  volume.fail_to = layout.catalog + 1;
  std::string error;
  EXPECT_EQ(open_shadow_copies(&volume, &error), nullptr);
  EXPECT_EQ(error, "the volume cannot be read at byte " + std::to_string(layout.catalog) +
                       " (bytes withheld by the test)");
  // The catalog damaged: libvshadow's reason.
  volume.fail_from = volume.fail_to = 0;
  volume.bytes[layout.catalog] ^= 0x55;
  error.clear();
  EXPECT_EQ(open_shadow_copies(&volume, &error), nullptr);
  EXPECT_EQ(error,
            "libvshadow_io_handle_read_catalog_header_data: invalid catalog header identifier");
}

TEST(ShadowCopies, AStoreThatCannotBeReadLeavesTheOtherReadable) {
  NEED_IMAGE(path, "vss-bin");
  MemoryBytes volume(path);
  const VssLayout layout(volume.bytes);
  ASSERT_EQ(layout.block_lists.size(), 2u);
  // The older store's block list damaged.
  volume.bytes[layout.block_lists[0]] ^= 0x55;
  std::string error;
  std::unique_ptr<ShadowCopies> copies = open_shadow_copies(&volume, &error);
  ASSERT_NE(copies, nullptr) << error;
  ASSERT_EQ(copies->count(), 2u);
  // libvshadow reads a store's block list at its first read, which
  // opening the store makes.
  EXPECT_EQ(copies->open_store(0, &error), nullptr);
  EXPECT_EQ(error,
            "libvshadow_store_block_read_header_data: invalid store block list header identifier");
  std::unique_ptr<ImageReader> second = copies->open_store(1, &error);
  ASSERT_NE(second, nullptr) << error;
  EXPECT_EQ(store_bytes(second.get(), 3, 8), "NTFS    ");
}

TEST(ShadowCopies, AnOlderStoreReadsThroughTheNewerOnesAndFailsWithThem) {
  NEED_IMAGE(path, "vss-bin");
  MemoryBytes volume(path);
  const VssLayout layout(volume.bytes);
  ASSERT_EQ(layout.block_lists.size(), 2u);
  volume.bytes[layout.block_lists[1]] ^= 0x55;
  std::string error;
  std::unique_ptr<ShadowCopies> copies = open_shadow_copies(&volume, &error);
  ASSERT_NE(copies, nullptr) << error;
  EXPECT_EQ(copies->open_store(1, &error), nullptr);
  // The older store opens, but the blocks it takes from the newer one
  // cannot be read: one failure of the store's structures, however many
  // blocks it touches.
  std::unique_ptr<ImageReader> older = copies->open_store(0, &error);
  ASSERT_NE(older, nullptr) << error;
  std::string block(0x4000, '\0');
  size_t failed = 0, good = 0;
  for (uint64_t offset = 0; offset < older->size(); offset += block.size()) {
    ReadFailure failure;
    if (older->read(offset, block.data(), block.size(), &failure)) {
      ++good;
      continue;
    }
    ++failed;
    EXPECT_EQ(failure.region, UINT64_MAX);
    EXPECT_EQ(failure.reason, "read error at byte " + std::to_string(offset) +
                                  " of the shadow copy (libvshadow_store_block_read_header_data: "
                                  "invalid store block list header identifier)");
  }
  // Most blocks are looked for in the newer store first; those the older
  // store keeps itself are still read.
  EXPECT_GT(failed, 0u);
  EXPECT_GT(good, 0u);
}

TEST(ShadowCopies, StructuresThatLeadBackToThemselvesAreNotFollowedForever) {
  NEED_IMAGE(path, "vss-bin");
  // A catalog block, and then the older store's block list, whose next
  // block is itself (libvshadow follows such chains as they go; a catalog
  // that names its stores twice it refuses itself).
  auto point_at_itself = [](std::string* bytes, uint64_t block) {
    for (int i = 0; i < 8; ++i) (*bytes)[block + 40 + i] = static_cast<char>(block >> (8 * i));
  };
  MemoryBytes volume(path);
  const VssLayout layout(volume.bytes);
  point_at_itself(&volume.bytes, layout.catalog);
  std::string error;
  EXPECT_EQ(open_shadow_copies(&volume, &error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_LT(volume.reads, 1000);
  MemoryBytes again(path);
  point_at_itself(&again.bytes, layout.block_lists[0]);
  std::unique_ptr<ShadowCopies> copies = open_shadow_copies(&again, &error);
  ASSERT_NE(copies, nullptr) << error;
  EXPECT_EQ(copies->open_store(0, &error), nullptr);
  EXPECT_EQ(error, "its shadow-copy structures lead back to byte " +
                       std::to_string(layout.block_lists[0]) + " of the volume again and again");
  EXPECT_LT(again.reads, 1000);
  std::unique_ptr<ImageReader> newer = copies->open_store(1, &error);
  ASSERT_NE(newer, nullptr) << error;
  EXPECT_EQ(store_bytes(newer.get(), 3, 8), "NTFS    ");
}

TEST(ShadowCopies, BytesOfTheVolumeThatCannotBeReadAreTheStoresReason) {
  NEED_IMAGE(path, "vss-bin");
  MemoryBytes volume(path);
  std::string error;
  std::unique_ptr<ShadowCopies> copies = open_shadow_copies(&volume, &error);
  ASSERT_NE(copies, nullptr) << error;
  std::unique_ptr<ImageReader> store = copies->open_store(1, &error);
  ASSERT_NE(store, nullptr) << error;
  // The store's own structures are read at its first read; after that,
  // nothing of the volume can be read, whether the store keeps the bytes
  // asked for or they are the volume's own.
  EXPECT_EQ(store_bytes(store.get(), 3, 8), "NTFS    ");
  volume.fail_from = 0;
  volume.fail_to = volume.size();
  const uint64_t offset = 8 << 20;
  std::string bytes(4096, '\0');
  ReadFailure failure;
  EXPECT_FALSE(store->read(offset + 512, bytes.data(), bytes.size(), &failure));
  EXPECT_EQ(failure.region, offset);
  EXPECT_EQ(failure.reason.rfind("read error at byte 8389120 of the shadow copy: the volume "
                                 "cannot be read at byte ",
                                 0),
            0u)
      << failure.reason;
  EXPECT_NE(failure.reason.find(" (bytes withheld by the test)"), std::string::npos)
      << failure.reason;
  volume.fail_to = 0;
  EXPECT_TRUE(store->read(offset + 512, bytes.data(), bytes.size(), &failure)) << failure.reason;
}

}  // namespace
