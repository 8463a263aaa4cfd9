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

TEST(EwfImageReader, KeptChunksGiveTheBytesOfTheImage) {
  NEED_IMAGE(first, "e01-segments");
  const ImageSet set = examine_image_set(first);
  std::string error;
  // Read whole, 1 MiB at a time, with no chunk kept.
  auto plain = open_ewf_reader(set, &error, 0);
  ASSERT_NE(plain, nullptr) << error;
  std::string whole(16u << 20, '\0');
  ReadFailure failure;
  for (size_t at = 0; at < whole.size(); at += 1u << 20)
    ASSERT_TRUE(plain->read(at, whole.data() + at, 1u << 20, &failure)) << failure.reason;
  // Room for 16 chunks: reads that cross chunks, start anywhere, come back
  // to kept chunks and to chunks put out again give the same bytes.
  auto kept = open_ewf_reader(set, &error, 16 * 32768);
  ASSERT_NE(kept, nullptr) << error;
  uint64_t state = 12345;
  for (int i = 0; i < 3000; ++i) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    const uint64_t size = 1 + (state >> 20) % 70000;
    const uint64_t offset = (i % 3 == 0 ? (state >> 40) % (1u << 20) : (state >> 33)) % (whole.size() - size);
    ASSERT_EQ(read_at(kept.get(), offset, size, &failure), whole.substr(offset, size))
        << "read " << i << " at " << offset;
  }
  EXPECT_EQ(read_at(kept.get(), whole.size() - 100, 100, &failure), whole.substr(whole.size() - 100));
  EXPECT_EQ(read_at(kept.get(), whole.size() - 100, 101, &failure), "FAILED");
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
  // Also once its chunk is kept, and when the read is one the library
  // makes again for the bytes alone.
  EXPECT_EQ(read_at(reader.get(), 32768 + 32000, 1000, &failure), "FAILED");
  EXPECT_EQ(failure.region, 32768u);
  EXPECT_EQ(read_at(reader.get(), 32768 + 5000, 10, &failure), "FAILED");
  EXPECT_EQ(read_at(reader.get(), 65536 + 100, 16, &failure).size(), 16u);
  // Nothing past the second segment: the third is missing.
  EXPECT_EQ(read_at(reader.get(), readable - 16, 16, &failure).size(), 16u);
  EXPECT_EQ(read_at(reader.get(), readable - 16, 32, &failure), "FAILED");
  EXPECT_EQ(failure.region, readable);
  EXPECT_EQ(failure.reason, "segment " + copies[2] + " is missing");
  EXPECT_EQ(read_at(reader.get(), (16u << 20) - 512, 512, &failure), "FAILED");
}

// What a reader gives for each read of `size` bytes from `from` to `to`
// in order, then for reads out of order: the bytes, or the failure's region
// and reason.
std::string transcript(ImageReader* r, uint64_t from, uint64_t to, size_t size) {
  std::string out;
  ReadFailure failure;
  auto note = [&](uint64_t at, size_t n) {
    failure = ReadFailure{};
    const std::string got = read_at(r, at, n, &failure);
    out += std::to_string(at) + ":" +
           (got == "FAILED" ? std::to_string(failure.region) + " " + failure.reason : got) + "\n";
  };
  for (uint64_t at = from; at + size <= to; at += size) note(at, size);
  uint64_t state = 99;
  for (int i = 0; i < 400; ++i) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    const size_t n = 1 + (state >> 20) % 70000;
    note((state >> 33) % ((16u << 20) - n), n);
  }
  return out;
}

TEST(EwfImageReader, ReadAheadGivesTheBytesOfTheImage) {
  NEED_IMAGE(first, "e01-segments");
  const ImageSet set = examine_image_set(first);
  std::string error;
  auto plain = open_ewf_reader(set, &error, 0);
  ASSERT_NE(plain, nullptr) << error;
  // In order from the start, again from the middle (as a second pass goes
  // back), and out of order; with few chunks kept, so that chunks inflated
  // ahead are put out again before they are read.
  auto ahead = open_ewf_reader(set, &error, 16 * 32768, true);
  ASSERT_NE(ahead, nullptr) << error;
  EXPECT_EQ(transcript(ahead.get(), 0, 16u << 20, 4096), transcript(plain.get(), 0, 16u << 20, 4096));
  EXPECT_EQ(transcript(ahead.get(), 8u << 20, 12u << 20, 1024),
            transcript(plain.get(), 8u << 20, 12u << 20, 1024));
  // Stopping at any point, with the helper busy or waiting, neither hangs
  // nor loses a byte read so far.
  for (int stop = 1; stop < 40; ++stop) {
    auto early = open_ewf_reader(set, &error, 16 * 32768, true);
    ASSERT_NE(early, nullptr) << error;
    ReadFailure failure;
    for (int i = 0; i < stop; ++i) {
      const uint64_t at = uint64_t(i) * 20000;
      ASSERT_EQ(read_at(early.get(), at, 20000, &failure), read_at(plain.get(), at, 20000, &failure));
    }
  }
}

// The lines of a transcript that tell a failure, each once.
std::string failures(const std::string& transcript) {
  std::string out;
  size_t start = 0;
  for (size_t end; (end = transcript.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = transcript.substr(start, end - start);
    const size_t colon = line.find(':');
    if (line.find(" fails ") != std::string::npos || line.find(" is missing") != std::string::npos) {
      const std::string told = line.substr(colon + 1);
      if (out.find(told) == std::string::npos) out += told + "\n";
    }
  }
  return out;
}

TEST(EwfImageReader, ReadAheadTellsEveryFailureAsTheReaderAlone) {
  NEED_IMAGE(first, "e01-segments");
  const ImageSet intact = examine_image_set(first);
  TempDir tree;
  std::vector<std::string> copies;
  for (const ImageSetFile& f : intact.files) {
    copies.push_back(tree / ("c" + f.path.substr(f.path.size() - 4)));
    std::filesystem::copy_file(f.path, copies.back());
  }
  // Damage chunk 1 and an even and an odd chunk after it, which lie in the
  // file as they were read, so that chunks on both sides of the helper's
  // alternation fail their checksums; the third segment goes.
  std::string data = read_whole(copies[0]);
  std::string error;
  auto clean = open_ewf_reader(examine_image_set(copies[0]), &error, 0);
  ASSERT_NE(clean, nullptr) << error;
  auto chunk_bytes = [&](uint64_t chunk) {
    std::string bytes(32768, '\0');
    ReadFailure failure;
    EXPECT_TRUE(clean->read(chunk * 32768, bytes.data(), bytes.size(), &failure));
    return bytes;
  };
  // Chunk 1 is found by its bytes; the chunks after it follow, each with
  // its 4-byte checksum.
  const size_t first_at = data.find(chunk_bytes(1));
  ASSERT_NE(first_at, std::string::npos);
  auto stored_at = [&](uint64_t chunk) { return first_at + (chunk - 1) * (32768 + 4); };
  const std::vector<uint64_t> bad = {1, 6, 9};
  for (uint64_t chunk : bad) {
    ASSERT_LT(chunk, intact.ewf[0].chunks);
    ASSERT_EQ(data.substr(stored_at(chunk), 32768), chunk_bytes(chunk)) << "chunk " << chunk;
  }
  for (uint64_t chunk : bad) {
    const size_t at = stored_at(chunk) + 100;
    data[at] = static_cast<char>(data[at] ^ 0x55);
  }
  clean.reset();
  write_file(copies[0], data);
  std::filesystem::remove(copies[2]);

  const ImageSet set = examine_image_set(copies[0]);
  auto alone = open_ewf_reader(set, &error, 16 * 32768, false);
  ASSERT_NE(alone, nullptr) << error;
  auto ahead = open_ewf_reader(set, &error, 16 * 32768, true);
  ASSERT_NE(ahead, nullptr) << error;
  // A read in order elsewhere first, so that the helper is under way when
  // the damaged chunks are read in order.
  EXPECT_EQ(transcript(ahead.get(), 1u << 20, 2u << 20, 4096),
            transcript(alone.get(), 1u << 20, 2u << 20, 4096));
  const std::string told = transcript(alone.get(), 0, 16u << 20, 4096);
  EXPECT_EQ(transcript(ahead.get(), 0, 16u << 20, 4096), told);
  for (uint64_t chunk : bad) {
    const std::string at = std::to_string(chunk * 32768);
    EXPECT_NE(told.find("\n" + at + ":" + at + " chunk at offset " + at +
                        " fails its checksum\n"),
              std::string::npos)
        << "chunk " << chunk << ", failures told:\n" << failures(told);
  }
  EXPECT_NE(told.find(" segment " + copies[2] + " is missing\n"), std::string::npos);
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
