// The scan's record test and the scanner that carries records across its
// blocks: records planted in random bytes are found once, where they lie,
// with their fields; nothing else is.
#include "decode/record_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "decode/info2.h"
#include "decode/test_index_files.h"
#include "platform/utf8.h"

using test_index::filetime_utc;
using test_index::index_v1;
using test_index::index_v2;
using test_index::put_le;
using test_index::utf16;

namespace {

const FileTime kRunStart = filetime_utc(2026, 12, 10, 6);
const FileTime kDeleted = filetime_utc(2019, 3, 4, 5, 6, 7);

// An 800-byte INFO2 record: the ANSI path, record number, drive, time, size
// and the UTF-16 path.
std::string info2_record(const std::string& ansi, const std::u16string& wide, FileTime deleted,
                         uint32_t size = 4096, uint32_t number = 7) {
  std::string out = ansi;
  out.resize(260, '\0');
  put_le(&out, number, 4);
  put_le(&out, 2, 4);
  put_le(&out, deleted, 8);
  put_le(&out, size, 4);
  std::string path = utf16(wide);
  path.resize(520, '\0');
  return out + path;
}

struct Hit {
  RecordFormat format;
  uint64_t offset;
  int64_t size;
  FileTime deleted;
  std::u16string path;
  uint32_t warnings;
  bool operator==(const Hit&) const = default;
};

// Decodes every record the scanner finds, as the decoder does.
struct Collector : ScanHits {
  std::vector<Hit> hits;
  bool hit(RecordFormat format, uint64_t offset, const unsigned char* bytes,
           size_t length) override {
    RecycleRecord r;
    decode_scanned_record(format, bytes, length, kRunStart, &r);
    std::u16string path;
    for (size_t i = 0; i < r.path_units; ++i)
      path.push_back(static_cast<char16_t>(read_le16(r.path_utf16 + 2 * i)));
    EXPECT_EQ(r.format, format);
    hits.push_back({format, offset, r.size, r.deleted, path, r.warnings});
    return true;
  }
};

std::string random_bytes(size_t size, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::string out(size, '\0');
  for (size_t i = 0; i + 8 <= size; i += 8) {
    const uint64_t v = rng();
    std::memcpy(&out[i], &v, 8);
  }
  return out;
}

// Scans `data` (at `base` in what is scanned) handed on in pieces of
// `piece` bytes (0: as large as the scanner takes).
std::vector<Hit> scan(const std::string& data, size_t piece, uint64_t base = 0,
                      std::vector<uint64_t> skip = {}) {
  std::vector<unsigned char> buffer;
  Collector collector;
  RecordScanner scanner(&buffer, kRunStart, &collector);
  scanner.skip_offsets(skip);
  size_t done = 0;
  while (done < data.size()) {
    size_t room = 0;
    unsigned char* space = scanner.space(&room);
    EXPECT_GE(room, kScanBlockSize);
    const size_t n = std::min({room, data.size() - done, piece == 0 ? room : piece});
    std::memcpy(space, data.data() + done, n);
    EXPECT_TRUE(scanner.filled(base + done, n));
    done += n;
  }
  EXPECT_TRUE(scanner.finish());
  return collector.hits;
}

void plant(std::string* data, size_t at, const std::string& record) {
  ASSERT_LE(at + record.size(), data->size());
  data->replace(at, record.size(), record);
}

TEST(ScannedRecord, TakesEachLayoutAtItsAlignmentsOnly) {
  const std::string v2 = index_v2(1234, kDeleted, u"C:\\Users\\a\\x.txt");
  const std::string v1 = index_v1(99, kDeleted, u"\\\\srv\\share\\y.doc");
  const std::string i2 = info2_record("D:\\old\\z.pdf", u"D:\\old\\z.pdf", kDeleted);
  auto at = [](const std::string& r, uint64_t offset) {
    size_t length = 0;
    return scanned_record_at(reinterpret_cast<const unsigned char*>(r.data()), r.size(), offset,
                             kRunStart, &length);
  };
  for (uint64_t offset = 0; offset < 16; ++offset) {
    SCOPED_TRACE(offset);
    EXPECT_EQ(at(v2, offset), offset % 8 == 0 ? RecordFormat::kV2 : RecordFormat::kUnknown);
    EXPECT_EQ(at(v1, offset), offset % 8 == 0 ? RecordFormat::kV1 : RecordFormat::kUnknown);
    EXPECT_EQ(at(i2, offset), offset % 4 == 0 ? RecordFormat::kInfo2 : RecordFormat::kUnknown);
  }
  size_t length = 0;
  scanned_record_at(reinterpret_cast<const unsigned char*>(v2.data()), v2.size(), 0, kRunStart,
                    &length);
  EXPECT_EQ(length, v2.size());
  scanned_record_at(reinterpret_cast<const unsigned char*>(v1.data()), v1.size(), 0, kRunStart,
                    &length);
  EXPECT_EQ(length, 544u);
}

// Each rule of the test, broken once: no record.
TEST(ScannedRecord, RefusesWhatBreaksARule) {
  auto found = [](const std::string& r) {
    size_t length = 0;
    return scanned_record_at(reinterpret_cast<const unsigned char*>(r.data()), r.size(), 0,
                             kRunStart, &length) != RecordFormat::kUnknown;
  };
  const std::u16string path = u"C:\\a.txt";
  EXPECT_TRUE(found(index_v2(0, kDeleted, path)));
  EXPECT_TRUE(found(index_v2(int64_t{1} << 48, kDeleted, path)));
  EXPECT_FALSE(found(index_v2((int64_t{1} << 48) + 1, kDeleted, path)));
  EXPECT_FALSE(found(index_v2(-1, kDeleted, path)));
  EXPECT_TRUE(found(index_v2(5, filetime_utc(1995, 1, 1), path)));
  EXPECT_FALSE(found(index_v2(5, filetime_utc(1994, 12, 31, 23, 59, 59), path)));
  EXPECT_TRUE(found(index_v2(5, kRunStart + 864000000000ULL, path)));
  EXPECT_FALSE(found(index_v2(5, kRunStart + 864000000001ULL, path)));
  // A name length of 4 units at least, its terminator counted.
  EXPECT_TRUE(found(index_v2(5, kDeleted, u"a:\\")));
  EXPECT_FALSE(found(index_v2(5, kDeleted, u"\\\\")));
  EXPECT_FALSE(found(index_v2(5, kDeleted, u"C:/a.txt")));
  EXPECT_FALSE(found(index_v2(5, kDeleted, u"1:\\a.txt")));
  EXPECT_FALSE(found(index_v2(5, kDeleted, u"\\a.txt")));
  EXPECT_TRUE(found(index_v2(5, kDeleted, u"\\\\a")));
  // The longest name there can be, and one unit more.
  EXPECT_TRUE(found(index_v2(5, kDeleted, u"C:\\" + std::u16string(32763, u'x'))));
  EXPECT_FALSE(found(index_v2(5, kDeleted, u"C:\\" + std::u16string(32764, u'x'))));
  // A name whose last unit is not 0, or whose bytes are not all there.
  std::string v2 = index_v2(5, kDeleted, path);
  v2[v2.size() - 2] = 'x';
  EXPECT_FALSE(found(v2));
  v2 = index_v2(5, kDeleted, path);
  EXPECT_FALSE(found(v2.substr(0, v2.size() - 1)));
  // A version that is 2 in its first four bytes only.
  v2 = index_v2(5, kDeleted, path);
  v2[4] = 1;
  EXPECT_FALSE(found(v2));

  EXPECT_TRUE(found(index_v1(5, kDeleted, path)));
  EXPECT_FALSE(found(index_v1(5, filetime_utc(1990, 1, 1), path)));
  EXPECT_FALSE(found(index_v1(5, kDeleted, u"C;\\a.txt")));
  // No terminator within the 520 bytes.
  EXPECT_FALSE(found(index_v1(5, kDeleted, u"C:\\" + std::u16string(257, u'x'))));
  EXPECT_TRUE(found(index_v1(5, kDeleted, u"C:\\" + std::u16string(256, u'x'))));
  // A version 1 record at the end of the bytes, its path whole: found.
  EXPECT_TRUE(found(index_v1(5, kDeleted, path).substr(0, 24 + 2 * 9)));
  EXPECT_FALSE(found(index_v1(5, kDeleted, path).substr(0, 24 + 2 * 8)));

  EXPECT_TRUE(found(info2_record("C:\\a.txt", path, kDeleted)));
  // Characters outside ASCII may differ; ASCII ones may not, nor lengths.
  EXPECT_TRUE(found(info2_record("C:\\\xE9?.txt", u"C:\\\u00E9\u4E2D.txt", kDeleted)));
  EXPECT_FALSE(found(info2_record("C:\\b.txt", path, kDeleted)));
  EXPECT_FALSE(found(info2_record("C:\\a.txtx", path, kDeleted)));
  EXPECT_FALSE(found(info2_record("C:\\a.tx", path, kDeleted)));
  EXPECT_FALSE(found(info2_record("C:\\a.txt", path, filetime_utc(2030, 1, 1))));
  EXPECT_FALSE(found(info2_record("C:\\a.txt", path, 0)));
  // A restored or purged record (its ANSI path starts with 0) is not one.
  EXPECT_FALSE(found(info2_record(std::string(1, '\0') + ":\\a.txt", path, kDeleted)));
  // Paths that fill their fields with no terminator.
  EXPECT_FALSE(found(info2_record("C:\\" + std::string(257, 'x'),
                                  u"C:\\" + std::u16string(257, u'x'), kDeleted)));
  EXPECT_FALSE(found(info2_record("C:\\a.txt", path, kDeleted).substr(0, 799)));
}

// Records at every alignment the layouts allow, some across the scanner's
// blocks, found once each with their fields, however the bytes are handed
// on.
TEST(RecordScanner, FindsPlantedRecordsOnceWhereverTheyLie) {
  std::string data = random_bytes(3 * kScanBlockSize + 12345, 25);
  std::vector<Hit> want;
  auto plant_v2 = [&](size_t at, const std::u16string& path) {
    plant(&data, at, index_v2(static_cast<int64_t>(at), kDeleted + at, path));
    want.push_back({RecordFormat::kV2, at, static_cast<int64_t>(at), kDeleted + at, path, 0});
  };
  auto plant_v1 = [&](size_t at, const std::u16string& path) {
    plant(&data, at, index_v1(static_cast<int64_t>(at), kDeleted + at, path));
    want.push_back({RecordFormat::kV1, at, static_cast<int64_t>(at), kDeleted + at, path, 0});
  };
  auto plant_info2 = [&](size_t at, const std::string& ansi, const std::u16string& path) {
    plant(&data, at, info2_record(ansi, path, kDeleted + at, static_cast<uint32_t>(at)));
    want.push_back({RecordFormat::kInfo2, at, static_cast<int64_t>(at), kDeleted + at, path, 0});
  };
  plant_v2(0, u"C:\\first.txt");
  plant_v1(4096, u"\\\\server\\share\\v1.doc");
  plant_info2(8196, "E:\\info2 at 4.pdf", u"E:\\info2 at 4.pdf");
  plant_info2(9000, "E:\\info2 at 8.pdf", u"E:\\info2 at 8.pdf");
  // Across the first block's end: a record that starts before it and ends
  // after it, for each layout; and one with the longest name.
  plant_v2(kScanBlockSize - 16, u"C:\\across\\" + std::u16string(200, u'n') + u".txt");
  plant_v1(2 * kScanBlockSize - 200, u"D:\\across the second.bin");
  plant_info2(3 * kScanBlockSize - 404, "F:\\across the third", u"F:\\across the third");
  plant_v2(kScanBlockSize + 65536, u"C:\\" + std::u16string(32763, u'L'));
  // Near the end: found with the bytes there are.
  plant_v2((data.size() - 64) & ~size_t{7}, u"Z:\\end");
  std::sort(want.begin(), want.end(),
            [](const Hit& a, const Hit& b) { return a.offset < b.offset; });

  for (size_t piece : {size_t{0}, size_t{4096}, size_t{4093}, size_t{65563}, size_t{1000003}}) {
    SCOPED_TRACE(piece);
    const std::vector<Hit> got = scan(data, piece);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << "record " << i;
  }
  // Offsets are where the bytes lie in what is scanned.
  const std::vector<Hit> shifted = scan(data, 0, 1u << 20);
  ASSERT_EQ(shifted.size(), want.size());
  EXPECT_EQ(shifted.back().offset, want.back().offset + (1u << 20));
}

// Bytes that start at any offset and end about where the scanner first
// tests (the longest record's bytes): every record in them is found.
TEST(RecordScanner, FindsRecordsWhateverTheBytesStartAt) {
  for (uint64_t base = 0; base < 8; ++base) {
    for (size_t size = kLongestScannedRecord - 9; size < kLongestScannedRecord + 9; ++size) {
      std::string data(size, '\0');
      const size_t at = (12 - base % 4) % 4 + 4;  // a multiple of 4 in what is scanned
      plant(&data, at, info2_record("C:\\x.txt", u"C:\\x.txt", kDeleted));
      const std::vector<Hit> got = scan(data, 0, base);
      ASSERT_EQ(got.size(), 1u) << base << " " << size;
      EXPECT_EQ(got[0].offset, base + at);
    }
  }
}

TEST(RecordScanner, BytesThatDoNotFollowBeginAnew) {
  std::string data = random_bytes(200000, 7);
  const std::string v2 = index_v2(10, kDeleted, u"C:\\split.txt");
  plant(&data, 100000 - 16, v2);
  plant(&data, 150000, v2);
  std::vector<unsigned char> buffer;
  Collector collector;
  RecordScanner scanner(&buffer, kRunStart, &collector);
  size_t room = 0;
  std::memcpy(scanner.space(&room), data.data(), 100000);
  ASSERT_TRUE(scanner.filled(0, 100000));
  // The rest lies elsewhere: the record cut at the gap is not one.
  std::memcpy(scanner.space(&room), data.data() + 100000, 100000);
  ASSERT_TRUE(scanner.filled(1000000, 100000));
  ASSERT_TRUE(scanner.finish());
  ASSERT_EQ(collector.hits.size(), 1u);
  EXPECT_EQ(collector.hits[0].offset, 1050000u);
}

TEST(RecordScanner, PassesOverRecordsGivenBefore) {
  std::string data = random_bytes(100000, 8);
  plant(&data, 8000, index_v2(1, kDeleted, u"C:\\given.txt"));
  plant(&data, 16000, index_v2(2, kDeleted, u"C:\\new.txt"));
  const std::vector<Hit> got = scan(data, 0, 0, {8000, 99999});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].offset, 16000u);
}

TEST(RecordScanner, FindsNothingInRandomBytes) {
  EXPECT_TRUE(scan(random_bytes(64u << 20, 1521), 0).empty());
}

TEST(RecordScanner, ARefusedRecordEndsTheScan) {
  struct Refuser : ScanHits {
    int calls = 0;
    bool hit(RecordFormat, uint64_t, const unsigned char*, size_t) override {
      ++calls;
      return false;
    }
  } refuser;
  std::string data = random_bytes(100000, 9);
  plant(&data, 800, index_v2(1, kDeleted, u"C:\\one.txt"));
  plant(&data, 1600, index_v2(1, kDeleted, u"C:\\two.txt"));
  std::vector<unsigned char> buffer;
  RecordScanner scanner(&buffer, kRunStart, &refuser);
  size_t room = 0;
  std::memcpy(scanner.space(&room), data.data(), data.size());
  EXPECT_FALSE(scanner.filled(0, data.size()));
  EXPECT_EQ(refuser.calls, 1);
}

// A scanned record decodes as the same bytes do in a file.
TEST(ScannedRecord, DecodesAsTheFileParsersDo) {
  const std::string info2 = info2_record("C:\\Docs\\r\xE9sum\xE9.doc", u"C:\\Docs\\r\u00E9sum\u00E9.doc",
                                         kDeleted, 31337, 12);
  RecycleRecord r;
  decode_scanned_record(RecordFormat::kInfo2, reinterpret_cast<const unsigned char*>(info2.data()),
                        info2.size(), kRunStart, &r);
  EXPECT_EQ(r.format, RecordFormat::kInfo2);
  EXPECT_TRUE(r.has_fields);
  EXPECT_EQ(r.size, 31337);
  EXPECT_EQ(r.deleted, kDeleted);
  EXPECT_EQ(r.path_units, 18u);
  EXPECT_EQ(r.warnings, 0u);

  // A version 1 record cut by the end of the bytes is truncated.
  const std::string v1 = index_v1(5, kDeleted, u"C:\\a.txt").substr(0, 100);
  RecycleRecord cut;
  decode_scanned_record(RecordFormat::kV1, reinterpret_cast<const unsigned char*>(v1.data()),
                        v1.size(), kRunStart, &cut);
  EXPECT_EQ(cut.format, RecordFormat::kV1);
  EXPECT_NE(cut.warnings & kWarnTruncated, 0u);
  EXPECT_EQ(cut.path_units, 8u);
}

}  // namespace
