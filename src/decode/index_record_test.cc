#include "decode/index_record.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "decode/test_index_files.h"
#include "platform/utf8.h"
#include "report/report_row.h"
#include "report/seed_writer.h"

using test_index::filetime_utc;
using test_index::index_v1;
using test_index::index_v2;
using test_index::put_le;
using test_index::utf16;

namespace {

const FileTime kRunStart = filetime_utc(2026, 1, 1);

// The record of `data`, whose views point into it: `data` must outlive it.
RecycleRecord decoded(const std::string& data) {
  RecycleRecord r;
  decode_index_bytes(reinterpret_cast<const unsigned char*>(data.data()), data.size(), kRunStart,
                     &r);
  return r;
}
RecycleRecord decoded(std::string&&) = delete;

std::u16string path_of(const RecycleRecord& r) {
  std::u16string out;
  for (size_t i = 0; i < r.path_units; ++i)
    out.push_back(static_cast<char16_t>(read_le16(r.path_utf16 + 2 * i)));
  return out;
}

// A version 1 file as a copy that lost one byte of its size field leaves
// it: 7 bytes of size, then the time and the 520-byte path one byte early.
std::string one_byte_short(FileTime deleted, const std::u16string& path) {
  std::string out;
  put_le(&out, 1, 8);
  put_le(&out, 0x5000, 7);
  put_le(&out, deleted, 8);
  std::string name = utf16(path);
  name.resize(520, '\0');
  return out + name;
}

// The seed row of a file, as the report writes it.
std::string seed_row(const char* name, const std::string& data) {
  RowBuffer row;
  format_report_row(&row, name, reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                    nullptr);
  return std::string(row.data(), row.size());
}

TEST(OneByteShort, ReadOneByteEarly) {
  const FileTime deleted = filetime_utc(2007, 9, 21, 7, 54, 23, 1234567);
  const std::string data = one_byte_short(deleted, u"C:\\dd.exe");
  ASSERT_EQ(data.size(), kOneByteShortSize);
  const RecycleRecord r = decoded(data);
  EXPECT_EQ(r.format, RecordFormat::kV1);
  EXPECT_TRUE(r.has_fields && r.has_deleted);
  EXPECT_FALSE(r.has_size);
  EXPECT_EQ(r.deleted, deleted);
  EXPECT_EQ(path_of(r), u"C:\\dd.exe");
  EXPECT_EQ(r.warnings, static_cast<uint32_t>(kWarnOneByteShort));
  // As laid out: the size field's eight bytes, the time and path from 16 and
  // 24, which the seed report shows.
  EXPECT_EQ(r.laid_out.size, static_cast<int64_t>(read_le64(
                                 reinterpret_cast<const unsigned char*>(data.data()) + 8)));
  EXPECT_EQ(r.laid_out.deleted,
            read_le64(reinterpret_cast<const unsigned char*>(data.data()) + 16));
  EXPECT_EQ(r.laid_out.path_utf16, reinterpret_cast<const unsigned char*>(data.data()) + 24);
}

TEST(OneByteShort, UncPathsToo) {
  const std::string data = one_byte_short(filetime_utc(2019, 5, 7), u"\\\\server\\share\\a.txt");
  const RecycleRecord r = decoded(data);
  EXPECT_EQ(r.warnings, static_cast<uint32_t>(kWarnOneByteShort));
  EXPECT_EQ(path_of(r), u"\\\\server\\share\\a.txt");
}

TEST(OneByteShort, OnlyWhenEverythingFits) {
  const FileTime good = filetime_utc(2007, 9, 21);
  struct Case {
    const char* what;
    std::string data;
  } cases[] = {
      {"a time before 1995", one_byte_short(filetime_utc(1994, 12, 31), u"C:\\a")},
      {"a time after the run", one_byte_short(kRunStart + 2 * 864000000000ULL, u"C:\\a")},
      {"no drive", one_byte_short(good, u"C\\a")},
      {"a digit for a drive", one_byte_short(good, u"1:\\a")},
      {"one backslash", one_byte_short(good, u"\\a\\b")},
      {"no terminator", one_byte_short(good, std::u16string(260, u'C').replace(1, 2, u":\\"))},
      {"544 bytes", one_byte_short(good, u"C:\\a") + std::string(1, '\0')},
      {"542 bytes", one_byte_short(good, u"C:\\a").substr(0, 542)},
  };
  for (const Case& c : cases) {
    const RecycleRecord r = decoded(c.data);
    EXPECT_EQ(r.warnings & kWarnOneByteShort, 0u) << c.what;
    EXPECT_EQ(r.laid_out.path_utf16, nullptr) << c.what;
  }
  // Version 2 files of that size are what they say.
  std::string v2 = index_v2(5, good, u"C:\\a");
  v2.resize(kOneByteShortSize, '\0');
  EXPECT_EQ(decoded(v2).warnings & kWarnOneByteShort, 0u);
}

TEST(OneByteShort, OtherDoubtsOfTheLayoutGoAndItsOwnStay) {
  // As laid out, a name of units that pair no surrogate; read one byte
  // early, a lone surrogate of its own.
  const std::string data = one_byte_short(filetime_utc(2007, 9, 21), u"C:\\\xDC82.txt");
  const RecycleRecord r = decoded(data);
  EXPECT_EQ(r.warnings, kWarnOneByteShort | kWarnLoneSurrogate);
}

TEST(OneByteShort, TheSeedRowShowsTheLayout) {
  const FileTime deleted = filetime_utc(2007, 9, 21, 7, 54, 23);
  const std::string data = one_byte_short(deleted, u"C:\\dd.exe");
  // The row of the same bytes one byte longer, read as laid out.
  std::string as_laid_out = data;
  as_laid_out.push_back('\0');
  const std::string row = seed_row("$IYAR1YY.exe", data);
  const std::string laid_out_row = seed_row("$IYAR1YY.exe", as_laid_out);
  EXPECT_EQ(row, laid_out_row);
  EXPECT_EQ(row.find("2007-09-21"), std::string::npos) << row;
}

TEST(SizeOutOfRange, ANegativeSizeIsShownAndDoubted) {
  const FileTime deleted = filetime_utc(2015, 4, 4);
  const std::string v2_data = index_v2(-1, deleted, u"C:\\a");
  const RecycleRecord v2 = decoded(v2_data);
  EXPECT_EQ(v2.size, -1);
  EXPECT_EQ(v2.warnings, static_cast<uint32_t>(kWarnSizeOutOfRange));
  const std::string v1_data = index_v1(INT64_MIN, deleted, u"C:\\a");
  const RecycleRecord v1 = decoded(v1_data);
  EXPECT_EQ(v1.size, INT64_MIN);
  EXPECT_EQ(v1.warnings, static_cast<uint32_t>(kWarnSizeOutOfRange));
  // A file cut after its size field: the size it holds is doubted too.
  const std::string cut_data = index_v2(-2, deleted, u"C:\\a").substr(0, 16);
  const RecycleRecord cut = decoded(cut_data);
  EXPECT_EQ(cut.warnings, kWarnSizeOutOfRange | kWarnTruncated);
  for (const int64_t size : {int64_t{0}, INT64_MAX}) {
    const std::string data = index_v2(size, deleted, u"C:\\a");
    EXPECT_EQ(decoded(data).warnings, 0u) << size;
  }
}

// The two real Vista files of 543 bytes.
std::string sample(const std::string& relative) {
  const char* root = std::getenv("BINSIFT_SAMPLES");
  std::ifstream in(std::string(root ? root : "../shared/samples") + "/" + relative,
                   std::ios::binary);
  return in ? std::string(std::istreambuf_iterator<char>(in), {}) : std::string();
}

TEST(OneByteShortSamples, TheTwoVistaCopiesDecode) {
  struct Want {
    const char* file;
    FileTime deleted_second;
    std::u16string path;
  } wants[] = {
      {"rifiuti2/dir-sample1/$IYAR1YY.exe", filetime_utc(2007, 9, 21, 7, 54, 23), u"C:\\dd.exe"},
      {"rifiuti2/dir-sample1/$IC6GEAW.exe", filetime_utc(2007, 9, 21, 8, 50, 16),
       u"C:\\Users\\student\\Downloads\\fau-1.3.0.2355(rc3)\\fau\\FAU.x86\\dd.exe"},
  };
  for (const Want& w : wants) {
    const std::string data = sample(w.file);
    if (data.empty()) GTEST_SKIP() << "the sample files are not beside this checkout";
    ASSERT_EQ(data.size(), kOneByteShortSize) << w.file;
    const RecycleRecord r = decoded(data);
    EXPECT_EQ(r.warnings, static_cast<uint32_t>(kWarnOneByteShort)) << w.file;
    EXPECT_FALSE(r.has_size) << w.file;
    EXPECT_EQ(r.deleted / 10000000 * 10000000, w.deleted_second) << w.file;
    EXPECT_EQ(path_of(r), w.path) << w.file;
    // The seed report's row is the one the layout gives.
    std::string as_laid_out = data;
    as_laid_out.push_back('\0');
    EXPECT_EQ(seed_row("$I", data), seed_row("$I", as_laid_out)) << w.file;
  }
}

}  // namespace

namespace {

// Plausible deletion times run from the first tick of 1995 to a day after
// the run started.
TEST(DeletionTime, PlausibleFrom1995ToADayAfterTheRun) {
  EXPECT_TRUE(deletion_time_implausible(filetime_utc(1994, 12, 31, 23, 59, 59, 9999999), kRunStart));
  EXPECT_FALSE(deletion_time_implausible(filetime_utc(1995, 1, 1), kRunStart));
  EXPECT_FALSE(deletion_time_implausible(filetime_utc(1997, 6, 1), kRunStart));
  EXPECT_FALSE(deletion_time_implausible(kRunStart + 864000000000ULL, kRunStart));
  EXPECT_TRUE(deletion_time_implausible(kRunStart + 864000000001ULL, kRunStart));
  EXPECT_TRUE(deletion_time_implausible(0, kRunStart));
}

}  // namespace
