// The readers of raw, split raw and EWF images: every byte where it
// belongs, and every byte that cannot be read refused with its region and
// reason, never handed out.
#ifdef BINSIFT_HAVE_TSK
#include "image/image_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "image/test_images.h"

namespace {

std::string read_at(ImageReader* r, uint64_t offset, size_t size, ReadFailure* failure) {
  std::string out(size, '\0');
  if (!r->read(offset, out.data(), size, failure)) return "FAILED";
  return out;
}

TEST(RawImageReader, SegmentsSitAtTheirPlacesAndGapsAreRefused) {
  TempDir tree;
  const std::string base = tree / "disk";
  write_file(base + ".001", std::string(4096, '1'));
  write_file(base + ".002", std::string(1024, '2'));  // 3072 bytes short
  write_file(base + ".004", std::string(4096, '4'));  // .003 missing
  write_file(base + ".005", std::string(100, '5'));
  std::string error;
  auto reader = open_raw_reader(examine_image_set(base + ".001"), &error);
  ASSERT_NE(reader, nullptr) << error;
  EXPECT_EQ(reader->size(), 4u * 4096 + 100);
  // Both gaps were told with the set's problems.
  EXPECT_EQ(reader->told_regions(), (std::vector<uint64_t>{4096 + 1024, 8192}));
  ReadFailure failure;
  EXPECT_EQ(read_at(reader.get(), 4090, 12, &failure), "111111222222");
  // Bytes past the short segment are not taken from the next one.
  EXPECT_EQ(read_at(reader.get(), 4096 + 1000, 100, &failure), "FAILED");
  EXPECT_EQ(failure.region, 4096u + 1024);
  EXPECT_EQ(failure.reason, "segment " + base + ".002 is 3072 bytes shorter than the other segments");
  EXPECT_EQ(read_at(reader.get(), 8192 + 10, 10, &failure), "FAILED");
  EXPECT_EQ(failure.region, 8192u);
  EXPECT_EQ(failure.reason, "segment " + base + ".003 is missing");
  // The segments after a gap are read at their own places.
  EXPECT_EQ(read_at(reader.get(), 3 * 4096, 4, &failure), "4444");
  EXPECT_EQ(read_at(reader.get(), 4 * 4096 - 2, 4, &failure), "4455");
  EXPECT_EQ(read_at(reader.get(), 4 * 4096 + 99, 1, &failure), "5");
  EXPECT_EQ(read_at(reader.get(), 4 * 4096 + 99, 2, &failure), "FAILED");
}

TEST(RawImageReader, ASegmentThatShrinksAfterTheCheckIsARegionOfItsOwn) {
  TempDir tree;
  const std::string base = tree / "disk";
  write_file(base + ".001", std::string(4096, 'a'));
  write_file(base + ".002", std::string(4096, 'b'));
  write_file(base + ".003", std::string(10, 'c'));
  const ImageSet set = examine_image_set(base + ".001");
  std::filesystem::resize_file(base + ".002", 2048);
  std::string error;
  auto reader = open_raw_reader(set, &error);
  ASSERT_NE(reader, nullptr) << error;
  EXPECT_TRUE(reader->told_regions().empty());  // nobody told this one yet
  ReadFailure failure;
  EXPECT_EQ(read_at(reader.get(), 4096 + 2040, 16, &failure), "FAILED");
  EXPECT_EQ(failure.region, 4096u + 2048);
}

TEST(RawImageReader, NothingToReadIsAnError) {
  TempDir tree;
  ASSERT_EQ(mkfifo((tree / "disk.001").c_str(), 0600), 0);
  ImageSet set;
  set.files.push_back({tree / "disk.001", 1, true, false, 0});
  std::string error;
  EXPECT_EQ(open_raw_reader(set, &error), nullptr);
  EXPECT_EQ(error, "no segment of it can be opened");
}

TEST(EwfImageReader, AnIntactSetReadsAsTheRawImage) {
  NEED_IMAGE(first, "e01-segments");
  const ImageSet set = examine_image_set(first);
  std::string error;
  auto reader = open_ewf_reader(set, &error);
  ASSERT_NE(reader, nullptr) << error;
  EXPECT_EQ(reader->size(), 16u << 20);
  EXPECT_TRUE(reader->told_regions().empty());
  // The segmented set was built from an image like the "ntfs" one: the
  // boot sector and the MFT's first entries say the same.
  ReadFailure failure;
  const std::string boot = read_at(reader.get(), 0, 512, &failure);
  EXPECT_EQ(boot.substr(3, 8), "NTFS    ");
  EXPECT_EQ(read_at(reader.get(), 16384, 5, &failure), "FILE0");
  EXPECT_EQ(read_at(reader.get(), (16u << 20) - 512, 512, &failure).size(), 512u);
}

TEST(EwfImageReader, BytesOfMissingSegmentsAndBadChunksAreRefused) {
  NEED_IMAGE(first, "e01-segments");
  const ImageSet intact = examine_image_set(first);
  TempDir tree;
  std::vector<std::string> copies;
  for (const ImageSetFile& f : intact.files) {
    copies.push_back(tree / ("c" + f.path.substr(f.path.size() - 4)));
    std::filesystem::copy_file(f.path, copies.back());
  }
  // Segment 1 holds chunks 0 to N-1; flip a byte of chunk 1's data, which
  // lies in the file as it was read (uncompressed, with its checksum).
  std::string data = read_whole(copies[0]);
  std::string error;
  auto clean = open_ewf_reader(examine_image_set(copies[0]), &error);
  ASSERT_NE(clean, nullptr) << error;
  std::string chunk(32768, '\0');
  ReadFailure failure;
  ASSERT_TRUE(clean->read(32768, chunk.data(), chunk.size(), &failure));
  clean.reset();
  const size_t at = data.find(chunk);
  ASSERT_NE(at, std::string::npos);
  data[at + 100] = static_cast<char>(data[at + 100] ^ 0x55);
  write_file(copies[0], data);
  std::filesystem::remove(copies[2]);

  const ImageSet set = examine_image_set(copies[0]);
  auto reader = open_ewf_reader(set, &error);
  ASSERT_NE(reader, nullptr) << error;
  const uint64_t readable = (set.ewf[0].chunks + set.ewf[1].chunks) * 32768;
  EXPECT_EQ(reader->told_regions(), std::vector<uint64_t>{readable});
  // The chunk before the bad one is good; the bad one is refused, however
  // little of it is asked for.
  EXPECT_EQ(read_at(reader.get(), 0, 4, &failure).size(), 4u);
  EXPECT_EQ(read_at(reader.get(), 32768 + 5000, 10, &failure), "FAILED");
  EXPECT_EQ(failure.region, 32768u);
  EXPECT_EQ(failure.reason, "chunk at offset 32768 fails its checksum");
  EXPECT_EQ(read_at(reader.get(), 32760, 16, &failure), "FAILED");
  EXPECT_EQ(failure.region, 32768u);
  EXPECT_EQ(read_at(reader.get(), 65536, 16, &failure).size(), 16u);
  // Nothing past the second segment: the third is missing.
  EXPECT_EQ(read_at(reader.get(), readable - 16, 16, &failure).size(), 16u);
  EXPECT_EQ(read_at(reader.get(), readable - 16, 32, &failure), "FAILED");
  EXPECT_EQ(failure.region, readable);
  EXPECT_EQ(failure.reason, "segment " + copies[2] + " is missing");
  EXPECT_EQ(read_at(reader.get(), (16u << 20) - 512, 512, &failure), "FAILED");
}

TEST(EwfImageReader, NoFirstSegmentIsAnError) {
  if (!kImageSupport) GTEST_SKIP() << "this build reads no images";
  TempDir tree;
  ImageSet set;
  set.container = ImageContainer::kEwf;
  set.files.push_back({tree / "x.E01", 1, false, false, 0});
  std::string error;
  EXPECT_EQ(open_ewf_reader(set, &error), nullptr);
  EXPECT_EQ(error, "segment " + (tree / "x.E01") + " is missing");
  // A file that is no EWF segment at all: libewf's own reason.
  write_file(tree / "y.E01", std::string(4096, 'y'));
  EXPECT_EQ(open_ewf_reader(examine_image_set(tree / "y.E01"), &error), nullptr);
  EXPECT_FALSE(error.empty());
}

}  // namespace
#endif
