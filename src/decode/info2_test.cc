#include "decode/info2.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Building INFO2 files

void put32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put64(std::string* out, uint64_t v) {
  put32(out, static_cast<uint32_t>(v));
  put32(out, static_cast<uint32_t>(v >> 32));
}

std::string header(uint32_t version, uint32_t record_size, uint32_t count = 0,
                   uint32_t next = 0) {
  std::string h;
  put32(&h, version);
  put32(&h, count);
  put32(&h, next);
  put32(&h, record_size);
  put32(&h, 0);
  return h;
}

struct Rec {
  std::string ansi;  // the field's bytes; padded with NULs to 260
  uint32_t number = 1;
  uint32_t drive = 2;
  uint64_t time = 127379243052370000ULL;  // 2004-08-25 16:18:25.237 UTC
  uint32_t size = 1234;
  std::u16string utf16;  // 800-byte records; padded with NULs to 260 units
};

std::string record(const Rec& r, uint32_t record_size) {
  std::string out = r.ansi.substr(0, 260);
  out.resize(260, '\0');
  put32(&out, r.number);
  put32(&out, r.drive);
  put64(&out, r.time);
  put32(&out, r.size);
  if (record_size == kInfo2LongRecord) {
    for (size_t i = 0; i < 260; ++i) {
      const char16_t c = i < r.utf16.size() ? r.utf16[i] : 0;
      out.push_back(static_cast<char>(c & 0xFF));
      out.push_back(static_cast<char>(c >> 8));
    }
  }
  return out;
}

// The bytes of a file, held in a buffer of exactly their size, so that a
// read past the end is a read past the allocation.
struct File {
  explicit File(const std::string& s) : bytes(s.begin(), s.end()) {}
  const unsigned char* data() const { return bytes.data(); }
  size_t size() const { return bytes.size(); }
  std::vector<unsigned char> bytes;
};

std::string ansi_path(const Info2Entry& e) {
  std::string s;
  append_info2_ansi_path(&s, e);
  return s;
}

std::string utf8_path(const Info2Entry& e, const char* page = kDefaultCodepage,
                      bool* lone = nullptr) {
  bool ignored = false;
  std::string s;
  append_info2_path_utf8(&s, e, page, lone ? lone : &ignored);
  return s;
}

std::string dc_name(const Info2Entry& e, const char* page = kDefaultCodepage) {
  std::string s;
  EXPECT_TRUE(append_dc_name(&s, e, page));
  return s;
}

bool within(const File& f, const unsigned char* p, size_t n) {
  return p >= f.data() && p <= f.data() + f.size() &&
         n <= static_cast<size_t>(f.data() + f.size() - p);
}

// ---------------------------------------------------------------------------
// Names and headers

TEST(Info2Name, Info2OrInfoInAnyCase) {
  EXPECT_TRUE(is_info2_name("INFO2"));
  EXPECT_TRUE(is_info2_name("info2"));
  EXPECT_TRUE(is_info2_name("Info2"));
  EXPECT_TRUE(is_info2_name("INFO"));
  EXPECT_TRUE(is_info2_name("iNfO"));
  EXPECT_FALSE(is_info2_name("INFO1"));
  EXPECT_FALSE(is_info2_name("INFO22"));
  EXPECT_FALSE(is_info2_name("INF"));
  EXPECT_FALSE(is_info2_name("INFO2.bak"));
  EXPECT_FALSE(is_info2_name("$IINFO2"));
  EXPECT_FALSE(is_info2_name(""));
  EXPECT_FALSE(is_info2_name(nullptr));
}

TEST(Info2Header, KnownVersionsAndRecordSizes) {
  for (uint32_t version : {0u, 2u, 4u, 5u}) {
    for (uint32_t size : {280u, 800u}) {
      const File f(header(version, size));
      Info2Header h;
      EXPECT_TRUE(parse_info2_header(f.data(), f.size(), &h)) << version << " " << size;
      EXPECT_EQ(h.version, version);
      EXPECT_EQ(h.record_size, size);
    }
  }
}

TEST(Info2Header, VersionAndRecordSizeAreCheckedSeparately) {
  Info2Header h;
  for (uint32_t version : {1u, 3u, 6u, 0x00000500u, 0xFFFFFFFFu}) {
    const File f(header(version, 800));
    EXPECT_FALSE(parse_info2_header(f.data(), f.size(), &h)) << version;
    EXPECT_EQ(h.version, version);
    EXPECT_EQ(h.record_size, 800u);
  }
  for (uint32_t size : {0u, 279u, 281u, 544u, 799u, 801u, 1600u}) {
    const File f(header(5, size));
    EXPECT_FALSE(parse_info2_header(f.data(), f.size(), &h)) << size;
    EXPECT_EQ(h.version, 5u);
    EXPECT_EQ(h.record_size, size);
    EXPECT_EQ(info2_entry_count(h, f.size() + 2000), 0u);
  }
  EXPECT_TRUE(info2_version_known(0));
  EXPECT_FALSE(info2_version_known(1));
  EXPECT_TRUE(info2_record_size_known(280));
  EXPECT_FALSE(info2_record_size_known(544));
}

TEST(Info2Header, AShortHeaderIsRefusedWithTheFieldsItHas) {
  const std::string full = header(5, 800);
  Info2Header h;
  for (size_t n = 0; n < kInfo2HeaderSize; ++n) {
    const File f(full.substr(0, n));
    EXPECT_FALSE(parse_info2_header(f.data(), f.size(), &h)) << n;
    EXPECT_EQ(h.version, n >= 4 ? 5u : 0u) << n;
    EXPECT_EQ(h.record_size, n >= 16 ? 800u : 0u) << n;
  }
}

// ---------------------------------------------------------------------------
// Records

TEST(Info2Records, CountedFromTheFileLengthNotTheHeader) {
  Rec r;
  r.ansi = "C:\\a.txt";
  // The counters claim 1000 records; the file holds two and a half.
  const std::string bytes =
      header(5, 800, 1000, 1000) + record(r, 800) + record(r, 800) + record(r, 800).substr(0, 400);
  const File f(bytes);
  Info2Header h;
  ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
  EXPECT_EQ(info2_whole_records(h, f.size()), 2u);
  EXPECT_TRUE(info2_has_partial_record(h, f.size()));
  EXPECT_EQ(info2_entry_count(h, f.size()), 3u);
  Info2Entry e;
  EXPECT_TRUE(get_info2_entry(f.data(), f.size(), h, 2, &e));
  EXPECT_TRUE(e.truncated);
  EXPECT_FALSE(get_info2_entry(f.data(), f.size(), h, 3, &e));
  EXPECT_FALSE(get_info2_entry(f.data(), f.size(), h, 1000, &e));
  EXPECT_FALSE(get_info2_entry(f.data(), f.size(), h, SIZE_MAX, &e));

  // Counters that claim fewer records hide none.
  const File g(header(4, 280, 0, 0) + record(r, 280) + record(r, 280) + record(r, 280));
  ASSERT_TRUE(parse_info2_header(g.data(), g.size(), &h));
  EXPECT_EQ(info2_entry_count(h, g.size()), 3u);
  EXPECT_FALSE(info2_has_partial_record(h, g.size()));
}

TEST(Info2Records, AHeaderAloneHoldsNoRecord) {
  const File f(header(5, 800));
  Info2Header h;
  ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
  EXPECT_EQ(info2_entry_count(h, f.size()), 0u);
  EXPECT_FALSE(info2_has_partial_record(h, f.size()));
  Info2Entry e;
  EXPECT_FALSE(get_info2_entry(f.data(), f.size(), h, 0, &e));
}

TEST(Info2Records, ShortRecordFields) {
  Rec r;
  r.ansi = "C:\\WINDOWS\\Desktop\\report.doc";
  r.number = 17;
  r.drive = 2;
  r.time = 0x0123456789ABCDEFULL;
  r.size = 0xFFFFFFF0u;  // unsigned
  const File f(header(4, 280) + record(r, 280));
  Info2Header h;
  ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
  Info2Entry e;
  ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, 0, &e));
  EXPECT_FALSE(e.truncated);
  EXPECT_FALSE(e.restored_or_purged);
  EXPECT_EQ(e.drive_prefix, 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(e.ansi_path), e.ansi_length), r.ansi);
  EXPECT_EQ(e.ansi_path, f.data() + kInfo2HeaderSize);
  EXPECT_TRUE(e.ansi_terminated);
  EXPECT_TRUE(e.has_record_number && e.has_drive_number && e.has_deleted && e.has_size);
  EXPECT_EQ(e.record_number, 17u);
  EXPECT_EQ(e.drive_number, 2u);
  EXPECT_EQ(e.deleted, 0x0123456789ABCDEFULL);
  EXPECT_EQ(e.size, 0xFFFFFFF0u);
  EXPECT_FALSE(e.has_utf16_field);
  EXPECT_FALSE(e.uses_utf16());
  EXPECT_TRUE(e.display_path_terminated());
  EXPECT_EQ(ansi_path(e), r.ansi);
  EXPECT_EQ(utf8_path(e), r.ansi);
  EXPECT_EQ(dc_name(e), "Dc17.doc");
}

TEST(Info2Records, LongRecordPrefersItsUtf16Path) {
  Rec r;
  r.ansi = "C:\\DOCUME~1\\Nobody\\ABC~1.TXT";
  r.utf16 = u"C:\\Documents and Settings\\Nobody\\ABC\u65B0\u589E.txt";
  r.number = 3;
  const File f(header(5, 800) + record(Rec(), 800) + record(r, 800));
  Info2Header h;
  ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
  ASSERT_EQ(info2_entry_count(h, f.size()), 2u);
  Info2Entry e;
  ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, 1, &e));
  EXPECT_EQ(e.ansi_path, f.data() + kInfo2HeaderSize + 800);
  EXPECT_EQ(ansi_path(e), r.ansi);
  EXPECT_TRUE(e.has_utf16_field);
  EXPECT_EQ(e.utf16_path, f.data() + kInfo2HeaderSize + 800 + 280);
  EXPECT_EQ(e.utf16_units, r.utf16.size());
  EXPECT_TRUE(e.utf16_terminated);
  EXPECT_TRUE(e.uses_utf16());
  EXPECT_EQ(utf8_path(e), "C:\\Documents and Settings\\Nobody\\ABC\xE6\x96\xB0\xE5\xA2\x9E.txt");
  // The item was renamed after its long name, not its short one.
  EXPECT_EQ(dc_name(e), "Dc3.txt");
}

TEST(Info2Records, AnEmptyUtf16PathLeavesTheAnsiPath) {
  Rec r;
  r.ansi = "C:\\x\\y.zip";
  const File f(header(5, 800) + record(r, 800));
  Info2Header h;
  ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
  Info2Entry e;
  ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, 0, &e));
  EXPECT_TRUE(e.has_utf16_field);
  EXPECT_EQ(e.utf16_units, 0u);
  EXPECT_FALSE(e.uses_utf16());
  EXPECT_EQ(utf8_path(e), "C:\\x\\y.zip");
  EXPECT_EQ(dc_name(e), "Dc1.zip");
}

TEST(Info2Records, RestoredOrPurgedRecordsGetTheirDriveLetterBack) {
  Rec r;
  r.ansi = std::string("\0:\\Temp\\gone.txt", 16);
  r.number = 9;
  for (uint32_t drive = 0; drive < 26; ++drive) {
    r.drive = drive;
    const File f(header(4, 280) + record(r, 280));
    Info2Header h;
    ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
    Info2Entry e;
    ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, 0, &e));
    EXPECT_TRUE(e.restored_or_purged);
    EXPECT_EQ(e.ansi_path, f.data() + kInfo2HeaderSize + 1);
    EXPECT_EQ(e.ansi_length, 15u);
    EXPECT_TRUE(e.ansi_terminated);
    EXPECT_EQ(e.drive_prefix, static_cast<char>('A' + drive));
    EXPECT_EQ(ansi_path(e), std::string(1, static_cast<char>('A' + drive)) + ":\\Temp\\gone.txt");
    EXPECT_EQ(utf8_path(e), ansi_path(e));
    EXPECT_EQ(dc_name(e), "Dc9.txt");
  }
}

TEST(Info2Records, RestoredFromANetworkShare) {
  Rec r;
  r.ansi = std::string("\0\\server\\share\\a.b", 18);
  r.drive = kInfo2NetworkDrive;
  const File f(header(5, 280) + record(r, 280));
  Info2Header h;
  ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
  Info2Entry e;
  ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, 0, &e));
  EXPECT_TRUE(e.restored_or_purged);
  EXPECT_EQ(e.drive_prefix, '\\');
  EXPECT_EQ(ansi_path(e), "\\\\server\\share\\a.b");
}

TEST(Info2Records, RestoredWithAnUnknownDriveOrNothingLeft) {
  Rec r;
  r.ansi = std::string("\0:\\a", 4);
  r.drive = 27;
  const File f(header(5, 280) + record(r, 280));
  Info2Header h;
  ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
  Info2Entry e;
  ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, 0, &e));
  EXPECT_TRUE(e.restored_or_purged);
  EXPECT_EQ(e.drive_prefix, 0);
  EXPECT_EQ(ansi_path(e), ":\\a");

  // A wholly zeroed path names nothing; no drive letter stands alone.
  Rec z;
  z.ansi.clear();
  const File g(header(5, 280) + record(z, 280));
  ASSERT_TRUE(get_info2_entry(g.data(), g.size(), h, 0, &e));
  EXPECT_TRUE(e.restored_or_purged);
  EXPECT_EQ(e.ansi_length, 0u);
  EXPECT_EQ(e.drive_prefix, 0);
  EXPECT_EQ(ansi_path(e), "");
  EXPECT_EQ(dc_name(e), "Dc1");
}

TEST(Info2Records, RestoredLongRecordKeepsItsUtf16Path) {
  Rec r;
  r.ansi = std::string("\0:\\DOCUME~1\\x\\FIRSTF~1.TXT", 26);
  r.utf16 = u"C:\\Documents and Settings\\x\\first file.txt";
  r.number = 2;
  const File f(header(5, 800) + record(r, 800));
  Info2Header h;
  ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
  Info2Entry e;
  ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, 0, &e));
  EXPECT_TRUE(e.restored_or_purged);
  EXPECT_TRUE(e.uses_utf16());
  EXPECT_EQ(utf8_path(e), "C:\\Documents and Settings\\x\\first file.txt");
  EXPECT_EQ(ansi_path(e), "C:\\DOCUME~1\\x\\FIRSTF~1.TXT");
  EXPECT_EQ(dc_name(e), "Dc2.txt");
}

TEST(Info2Records, PathsWithoutTerminatorStopAtTheirFields) {
  Rec r;
  r.ansi = std::string(260, 'a');
  r.utf16 = std::u16string(260, u'b');
  r.number = 77;
  // The file ends exactly with the record, so the UTF-16 field is the last
  // byte of the data.
  const File f(header(5, 800) + record(r, 800));
  Info2Header h;
  ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
  Info2Entry e;
  ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, 0, &e));
  EXPECT_FALSE(e.truncated);
  EXPECT_EQ(e.ansi_length, 260u);
  EXPECT_FALSE(e.ansi_terminated);
  EXPECT_EQ(e.record_number, 77u);  // the numbers after the path are intact
  EXPECT_EQ(e.utf16_units, 260u);
  EXPECT_FALSE(e.utf16_terminated);
  EXPECT_FALSE(e.display_path_terminated());
  EXPECT_EQ(utf8_path(e), std::string(260, 'b'));
  EXPECT_EQ(ansi_path(e), std::string(260, 'a'));

  // A restored record whose remaining 259 bytes hold no NUL.
  r.ansi = std::string(1, '\0') + std::string(259, 'c');
  const File g(header(5, 280) + record(r, 280));
  ASSERT_TRUE(parse_info2_header(g.data(), g.size(), &h));
  ASSERT_TRUE(get_info2_entry(g.data(), g.size(), h, 0, &e));
  EXPECT_TRUE(e.restored_or_purged);
  EXPECT_EQ(e.ansi_length, 259u);
  EXPECT_FALSE(e.ansi_terminated);
  EXPECT_EQ(e.drive_prefix, 'C');
  EXPECT_FALSE(e.display_path_terminated());
}

// Every place a file can end inside its last record: the fields wholly in
// the data are there, the others are not, and nothing outside the data is
// pointed at.
void check_every_cut(uint32_t record_size) {
  Rec r;
  r.ansi = "C:\\dir\\name.ext";
  r.utf16 = u"C:\\dir\\long name.long";
  r.number = 5;
  r.drive = 3;
  r.time = 0x1122334455667788ULL;
  r.size = 99;
  const std::string whole = header(5, record_size) + record(Rec(), record_size) + record(r, record_size);
  for (size_t cut = 1; cut < record_size; ++cut) {
    SCOPED_TRACE(cut);
    const File f(whole.substr(0, kInfo2HeaderSize + record_size + cut));
    Info2Header h;
    ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
    ASSERT_EQ(info2_whole_records(h, f.size()), 1u);
    ASSERT_TRUE(info2_has_partial_record(h, f.size()));
    Info2Entry e;
    ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, 0, &e));
    EXPECT_FALSE(e.truncated);
    ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, 1, &e));
    EXPECT_TRUE(e.truncated);
    EXPECT_TRUE(within(f, e.ansi_path, e.ansi_length + (e.ansi_terminated ? 1 : 0)));
    const size_t path_len = r.ansi.size();
    EXPECT_EQ(e.ansi_terminated, cut > path_len);
    EXPECT_EQ(e.ansi_length, cut > path_len ? path_len : cut);
    EXPECT_EQ(e.has_record_number, cut >= 264);
    EXPECT_EQ(e.has_drive_number, cut >= 268);
    EXPECT_EQ(e.has_deleted, cut >= 276);
    EXPECT_EQ(e.has_size, cut >= 280);
    if (e.has_record_number) {
      EXPECT_EQ(e.record_number, 5u);
    }
    if (e.has_drive_number) {
      EXPECT_EQ(e.drive_number, 3u);
    }
    if (e.has_deleted) {
      EXPECT_EQ(e.deleted, 0x1122334455667788ULL);
    }
    if (e.has_size) {
      EXPECT_EQ(e.size, 99u);
    }
    std::string name;
    EXPECT_EQ(append_dc_name(&name, e), e.has_record_number);
    if (!e.has_record_number) {
      EXPECT_EQ(name, "");
    }
    if (record_size == kInfo2LongRecord && cut > 280) {
      EXPECT_TRUE(e.has_utf16_field);
      const size_t units = (cut - 280) / 2;
      EXPECT_EQ(e.utf16_terminated, units > r.utf16.size());
      EXPECT_EQ(e.utf16_units, units > r.utf16.size() ? r.utf16.size() : units);
      EXPECT_TRUE(within(f, e.utf16_path, 2 * e.utf16_units + (e.utf16_terminated ? 2 : 0)));
      // Until the whole UTF-16 path is there, the whole ANSI path names it.
      EXPECT_EQ(e.uses_utf16(), e.utf16_terminated);
      EXPECT_EQ(utf8_path(e), e.utf16_terminated ? "C:\\dir\\long name.long" : r.ansi);
      EXPECT_EQ(dc_name(e), e.utf16_terminated ? "Dc5.long" : "Dc5.ext");
    } else {
      EXPECT_FALSE(e.has_utf16_field);
    }
  }
}

TEST(Info2Records, ACutUtf16PathIsKeptWhenTheAnsiPathIsCutToo) {
  Rec r;
  r.ansi = std::string(260, 'a');
  r.utf16 = u"C:\\a long name.doc";
  const std::string whole = header(5, 800) + record(r, 800);
  const File f(whole.substr(0, kInfo2HeaderSize + 280 + 2 * 6));
  Info2Header h;
  ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
  Info2Entry e;
  ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, 0, &e));
  EXPECT_TRUE(e.truncated);
  EXPECT_FALSE(e.ansi_terminated);
  EXPECT_FALSE(e.utf16_terminated);
  EXPECT_EQ(e.utf16_units, 6u);
  EXPECT_TRUE(e.uses_utf16());
  EXPECT_FALSE(e.display_path_terminated());
  EXPECT_EQ(utf8_path(e), "C:\\a l");
}

TEST(Info2Records, TruncatedShortRecord) { check_every_cut(kInfo2ShortRecord); }
TEST(Info2Records, TruncatedLongRecord) { check_every_cut(kInfo2LongRecord); }

TEST(Info2Records, LoneSurrogateInTheUtf16Path) {
  Rec r;
  r.utf16 = u"C:\\a";
  r.utf16 += static_cast<char16_t>(0xD800);
  r.utf16 += u".t";
  r.utf16 += static_cast<char16_t>(0xDC00);
  r.utf16 += static_cast<char16_t>(0xD83D);  // a pair: U+1F600
  r.utf16 += static_cast<char16_t>(0xDE00);
  const File f(header(5, 800) + record(r, 800));
  Info2Header h;
  ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
  Info2Entry e;
  ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, 0, &e));
  bool lone = false;
  EXPECT_EQ(utf8_path(e, kDefaultCodepage, &lone),
            "C:\\a\xEF\xBF\xBD.t\xEF\xBF\xBD\xF0\x9F\x98\x80");
  EXPECT_TRUE(lone);
  EXPECT_EQ(dc_name(e), "Dc1.t\xEF\xBF\xBD\xF0\x9F\x98\x80");

  Rec plain;
  plain.utf16 = u"C:\\b";
  const File g(header(5, 800) + record(plain, 800));
  ASSERT_TRUE(get_info2_entry(g.data(), g.size(), h, 0, &e));
  lone = false;
  EXPECT_EQ(utf8_path(e, kDefaultCodepage, &lone), "C:\\b");
  EXPECT_FALSE(lone);
}

// ---------------------------------------------------------------------------
// The Dc name

std::string dc_of_ansi(const std::string& path, uint32_t number, const char* page = kDefaultCodepage) {
  Rec r;
  r.ansi = path;
  r.number = number;
  const File f(header(4, 280) + record(r, 280));
  Info2Header h;
  EXPECT_TRUE(parse_info2_header(f.data(), f.size(), &h));
  Info2Entry e;
  EXPECT_TRUE(get_info2_entry(f.data(), f.size(), h, 0, &e));
  return dc_name(e, page);
}

TEST(Info2DcName, NumberAndExtensionOfTheLastComponent) {
  EXPECT_EQ(dc_of_ansi("C:\\a\\b.txt", 12), "Dc12.txt");
  EXPECT_EQ(dc_of_ansi("C:\\a\\b.tar.gz", 0), "Dc0.gz");
  EXPECT_EQ(dc_of_ansi("C:\\a\\b", 4294967295u), "Dc4294967295");
  EXPECT_EQ(dc_of_ansi("C:\\a.dir\\b", 3), "Dc3");
  EXPECT_EQ(dc_of_ansi("C:\\theme\\.svn", 47), "Dc47.svn");
  EXPECT_EQ(dc_of_ansi("C:\\a\\GetDataBack-v3.63_PConline", 69), "Dc69.63_PConline");
  EXPECT_EQ(dc_of_ansi("C:\\a\\b.", 5), "Dc5");
  EXPECT_EQ(dc_of_ansi("C:\\a\\b.LNK", 6), "Dc6.LNK");
  EXPECT_EQ(dc_of_ansi("noslash.doc", 7), "Dc7.doc");
  EXPECT_EQ(dc_of_ansi("", 8), "Dc8");
  // Windows separates at '/' too; a crafted path never leads out of the bin.
  EXPECT_EQ(dc_of_ansi("C:\\x./../../etc/passwd", 9), "Dc9");
  EXPECT_EQ(dc_of_ansi("C:\\a.b/c", 10), "Dc10");
}

std::string dc_of_utf16(const std::u16string& path, const std::string& ansi = "C:\\X.ANS") {
  Rec r;
  r.ansi = ansi;
  r.utf16 = path;
  r.number = 31;
  const File f(header(5, 800) + record(r, 800));
  Info2Header h;
  EXPECT_TRUE(parse_info2_header(f.data(), f.size(), &h));
  Info2Entry e;
  EXPECT_TRUE(get_info2_entry(f.data(), f.size(), h, 0, &e));
  return dc_name(e);
}

TEST(Info2DcName, FromTheUtf16Path) {
  EXPECT_EQ(dc_of_utf16(u"C:\\a\\b.txt"), "Dc31.txt");
  EXPECT_EQ(dc_of_utf16(u"C:\\a.dir\\b"), "Dc31");
  EXPECT_EQ(dc_of_utf16(u"C:\\a.dir/b"), "Dc31");
  EXPECT_EQ(dc_of_utf16(u"C:\\a\\b."), "Dc31");
  EXPECT_EQ(dc_of_utf16(u"C:\\a\\.svn"), "Dc31.svn");
  EXPECT_EQ(dc_of_utf16(u"b.\u00E9t\u00E9"), "Dc31.\xC3\xA9t\xC3\xA9");
  // An empty UTF-16 path leaves the ANSI one.
  EXPECT_EQ(dc_of_utf16(u""), "Dc31.ANS");
}

TEST(Info2DcName, NonAsciiExtensionsAreUtf8) {
  // CP1252: e-acute.
  EXPECT_EQ(dc_of_ansi("C:\\a\\b.caf\xE9", 1), "Dc1.caf\xC3\xA9");
  // CP932: 0x83 0x5C is one character whose second byte is '\'; the
  // extension is the whole of ".b<so>c".
  EXPECT_EQ(dc_of_ansi("D:\\a.b\x83\x5C" "c", 2, "CP932"), "Dc2.b\xE3\x82\xBD" "c");
  // Read as CP1252 the same bytes split at the '\'.
  EXPECT_EQ(dc_of_ansi("D:\\a.b\x83\x5C" "c", 2, "CP1252"), "Dc2");
}

// ---------------------------------------------------------------------------
// The sample files

struct SampleRecord {
  uint32_t number;
  uint32_t drive;
  uint64_t deleted;
  uint32_t size;
  bool restored;
  const char* ansi_utf8;   // the ANSI path as named (drive letter restored), in UTF-8
  const char* utf16_utf8;  // the UTF-16 path in UTF-8, nullptr for 280-byte records
};

struct Sample {
  const char* path;      // under info2/ in the samples folder
  const char* codepage;  // the code page of the system that wrote it
  uint32_t version;
  uint32_t record_size;
  std::vector<SampleRecord> records;
};

// Every record of every sample, read independently of this code.
const Sample kSamples[] = {
    {"rifiuti2/INFO2-empty", "CP1252", 5, 800, {
    }},
    {"rifiuti2/INFO2-sample1", "CP936", 5, 800, {
        {44, 2, 128696828224490000ULL, 4096, false,
         "C:\\DOCUME~1\\ALLUSE~1\\Desktop\\\xe6\x9c\x89\xe9\x81\x93\xe6\xa1\x8c~1.LNK",
         "C:\\Documents and Settings\\All Users\\Desktop\\\xe6\x9c\x89\xe9\x81\x93\xe6\xa1\x8c\xe9\x9d\xa2\xe8\xaf\x8d\xe5\x85\xb8.lnk"},
        {45, 2, 128701981191720000ULL, 4096, false,
         "C:\\Documents and Settings\\Administrator\\Desktop\\wongsir_url.txt",
         "C:\\Documents and Settings\\Administrator\\Desktop\\wongsir_url.txt"},
        {46, 2, 128704368585000000ULL, 2912256, false,
         "C:\\Documents and Settings\\Administrator\\Desktop\\dd-wrt.v24_mini_wrt54g.bin",
         "C:\\Documents and Settings\\Administrator\\Desktop\\dd-wrt.v24_mini_wrt54g.bin"},
        {47, 2, 128710517197300000ULL, 765952, false,
         "C:\\Documents and Settings\\Administrator\\Desktop\\theme\\.svn",
         "C:\\Documents and Settings\\Administrator\\Desktop\\theme\\.svn"},
        {48, 2, 128710518933860000ULL, 5812224, false,
         "C:\\Documents and Settings\\Administrator\\Desktop\\Config Client",
         "C:\\Documents and Settings\\Administrator\\Desktop\\Config Client"},
        {49, 2, 128710518966050000ULL, 1847296, false,
         "C:\\Documents and Settings\\Administrator\\Desktop\\Config Client.7z",
         "C:\\Documents and Settings\\Administrator\\Desktop\\Config Client.7z"},
        {50, 2, 128715433241130000ULL, 4096, false,
         "C:\\Documents and Settings\\All Users\\Desktop\\Wireshark.lnk",
         "C:\\Documents and Settings\\All Users\\Desktop\\Wireshark.lnk"},
        {57, 2, 128715448350820000ULL, 2727936, false,
         "C:\\Documents and Settings\\Administrator\\Desktop\\GetDataBackforFAT-v3.63_PConline.rar",
         "C:\\Documents and Settings\\Administrator\\Desktop\\GetDataBackforFAT-v3.63_PConline.rar"},
        {64, 2, 128715448557230000ULL, 2727936, true,
         "C:\\Documents and Settings\\Administrator\\Desktop\\GetDataBackforFAT-v3.63_PConline",
         "C:\\Documents and Settings\\Administrator\\Desktop\\GetDataBackforFAT-v3.63_PConline"},
        {65, 2, 128715454322230000ULL, 4096, false,
         "C:\\DOCUME~1\\ADMINI~1\\Desktop\\360\xe4\xbf\x9d~1.LNK",
         "C:\\Documents and Settings\\Administrator\\Desktop\\360\xe4\xbf\x9d\xe9\x99\xa9\xe7\xae\xb1.lnk"},
        {66, 2, 128715456972540000ULL, 2732032, false,
         "C:\\Documents and Settings\\Administrator\\Desktop\\gdb",
         "C:\\Documents and Settings\\Administrator\\Desktop\\gdb"},
        {67, 2, 128715456972540000ULL, 2723840, false,
         "C:\\Documents and Settings\\Administrator\\Desktop\\gdb.zip",
         "C:\\Documents and Settings\\Administrator\\Desktop\\gdb.zip"},
        {68, 2, 128715680634100000ULL, 0, false,
         "C:\\Documents and Settings\\Administrator\\Desktop\\recovered files",
         "C:\\Documents and Settings\\Administrator\\Desktop\\recovered files"},
        {69, 2, 128715943056760000ULL, 2727936, false,
         "C:\\Documents and Settings\\Administrator\\Desktop\\GetDataBackforFAT-v3.63_PConline",
         "C:\\Documents and Settings\\Administrator\\Desktop\\GetDataBackforFAT-v3.63_PConline"},
        {70, 2, 128715943058790000ULL, 5169152, false,
         "C:\\Documents and Settings\\Administrator\\Desktop\\Uneraser_Setup(2).exe",
         "C:\\Documents and Settings\\Administrator\\Desktop\\Uneraser_Setup(2).exe"},
        {71, 2, 128715943058790000ULL, 5169152, false,
         "C:\\Documents and Settings\\Administrator\\Desktop\\Uneraser_Setup.exe",
         "C:\\Documents and Settings\\Administrator\\Desktop\\Uneraser_Setup.exe"},
    }},
    {"rifiuti2/INFO2-2k-cht-1", "CP950", 5, 800, {
        {1, 2, 131985304523750000ULL, 4096, false,
         "C:\\DOCUME~1\\Nobody\\\xe6\xa1\x8c\xe9\x9d\xa2\\ABC\xe6\x96\xb0~1.TXT",
         "C:\\Documents and Settings\\Nobody\\\xe6\xa1\x8c\xe9\x9d\xa2\\ABC\xe6\x96\xb0\xe5\xa2\x9e\xe6\x96\x87\xe5\xad\x97\xe6\x96\x87\xe4\xbb\xb6.txt"},
        {2, 2, 131985304738280000ULL, 4096, false,
         "C:\\DOCUME~1\\Nobody\\\xe6\xa1\x8c\xe9\x9d\xa2\\MOZILL~1.LNK",
         "C:\\Documents and Settings\\Nobody\\\xe6\xa1\x8c\xe9\x9d\xa2\\Mozilla Firefox.lnk"},
        {3, 2, 131985307441720000ULL, 958464, false,
         "C:\\Documents and Settings\\Nobody\\12345678901234567890123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789012345678901.bmp",
         "C:\\Documents and Settings\\Nobody\\12345678901234567890123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789012345678901.bmp"},
        {4, 2, 131985348167340000ULL, 0, false,
         "C:\\temp\\ODULLU~1.DOC",
         "C:\\temp\\\xc3\x96""d\xc3\xbcll\xc3\xbc \xe6\xb7\xb7\xe5\x90\x88\xe4\xb8\xad\xe6\x96\x87\xe5\xad\x97 \xd8\xaa\xd8\xb4\xd9\x83\xd9\x8a\xd9\x84.doc"},
        {5, 2, 131985349785620000ULL, 0, false,
         "C:\\temp\\F623~1.DOC",
         "C:\\temp\\\xd8\xaa\xd8\xb4\xd9\x83\xd9\x8a\xd9\x84.doc"},
    }},
    {"rifiuti2/INFO2-03-tw-uncpath", "CP950", 5, 800, {
        {1, 26, 132015497291830000ULL, 3153920, false,
         "\\\\Vm-2003-r2-tw\\Temp\\\xe6\x96\x87\xe4\xbb\xb6\\DOWNLO~1\\HxDSetup.zip",
         "\\\\Vm-2003-r2-tw\\Temp\\\xe6\x96\x87\xe4\xbb\xb6\\Downloads\\HxDSetup.zip"},
        {2, 26, 132015499524480000ULL, 16384, true,
         "\\\\Vm-2003-r2-tw\\Temp\\\xe6\x96\x87\xe4\xbb\xb6\\DOWNLO~1\\README~1.HTM",
         "\\\\Vm-2003-r2-tw\\Temp\\\xe6\x96\x87\xe4\xbb\xb6\\Downloads\\README.html"},
        {3, 26, 132015500787610000ULL, 24576, true,
         "\\\\Vm-2003-r2-tw\\Temp\\\xe6\x96\x87\xe4\xbb\xb6\\DOWNLO~1\\____PC~1.BIN",
         "\\\\Vm-2003-r2-tw\\Temp\\\xe6\x96\x87\xe4\xbb\xb6\\Downloads\\____PC__FONTS.bin"},
        {4, 26, 132015500869330000ULL, 708608, false,
         "\\\\Vm-2003-r2-tw\\Temp\\\xe6\x96\x87\xe4\xbb\xb6\\DOWNLO~1\\ws_ftple.exe",
         "\\\\Vm-2003-r2-tw\\Temp\\\xe6\x96\x87\xe4\xbb\xb6\\Downloads\\ws_ftple.exe"},
    }},
    {"rifiuti2/INFO-95-ja-1", "CP932", 0, 280, {
        {1, 3, 130757975896100000ULL, 32768, false,
         "D:\\WINDOWS\\\xef\xbe\x83\xef\xbe\x9e\xef\xbd\xbd\xef\xbd\xb8\xef\xbe\x84\xef\xbd\xaf\xef\xbe\x8c\xef\xbe\x9f\\The Microsoft Network \xe3\x81\xae\xef\xbd\xbe\xef\xbd\xaf\xef\xbe\x84\xef\xbd\xb1\xef\xbd\xaf\xef\xbe\x8c\xef\xbe\x9f.lnk",
         nullptr},
        {2, 3, 130757976256400000ULL, 950272, false,
         "D:\\WINDOWS\\\xef\xbe\x83\xef\xbe\x9e\xef\xbd\xbd\xef\xbd\xb8\xef\xbe\x84\xef\xbd\xaf\xef\xbe\x8c\xef\xbe\x9f\\\xe6\x96\xb0\xe8\xa6\x8f\xef\xbe\x8b\xef\xbe\x9e\xef\xbd\xaf\xef\xbe\x84\xef\xbe\x8f\xef\xbd\xaf\xef\xbe\x8c\xef\xbe\x9f \xef\xbd\xb2\xef\xbe\x92\xef\xbd\xb0\xef\xbd\xbc\xef\xbe\x9e.bmp",
         nullptr},
        {3, 3, 130758023654400000ULL, 32768, false,
         "D:\\WINDOWS\\\xef\xbe\x83\xef\xbe\x9e\xef\xbd\xbd\xef\xbd\xb8\xef\xbe\x84\xef\xbd\xaf\xef\xbe\x8c\xef\xbe\x9f\\\xe6\x96\xb0\xe8\xa6\x8f\xef\xbe\x83\xef\xbd\xb7\xef\xbd\xbd\xef\xbe\x84\xe6\x96\x87\xe6\x9b\xb8.txt",
         nullptr},
        {4, 3, 130758113017600000ULL, 589824, false,
         "D:\\My Documents\\DirectX-V8.0a\\bda.cab",
         nullptr},
        {5, 3, 130758113017600000ULL, 589824, false,
         "D:\\My Documents\\DirectX-V8.0a\\bdant.cab",
         nullptr},
        {6, 3, 130758113018200000ULL, 65536, false,
         "D:\\My Documents\\DirectX-V8.0a\\cfgmgr32.dll",
         nullptr},
        {11, 3, 130758113039600000ULL, 163840, false,
         "D:\\My Documents\\DirectX-V8.0a\\dxsetup.exe",
         nullptr},
        {12, 3, 130758113039600000ULL, 360448, false,
         "D:\\My Documents\\DirectX-V8.0a\\setupapi.dll",
         nullptr},
        {13, 3, 130758119594900000ULL, 32768, false,
         "D:\\WINDOWS\\\xef\xbe\x83\xef\xbe\x9e\xef\xbd\xbd\xef\xbd\xb8\xef\xbe\x84\xef\xbd\xaf\xef\xbe\x8c\xef\xbe\x9f\\Connect to the Internet.LNK",
         nullptr},
        {14, 3, 130758119625700000ULL, 32768, false,
         "D:\\WINDOWS\\\xef\xbe\x83\xef\xbe\x9e\xef\xbd\xbd\xef\xbd\xb8\xef\xbe\x84\xef\xbd\xaf\xef\xbe\x8c\xef\xbe\x9f\\Outlook Express.lnk",
         nullptr},
        {15, 3, 130763835094700000ULL, 32768, false,
         "D:\\WINDOWS\\\xef\xbe\x83\xef\xbe\x9e\xef\xbd\xbd\xef\xbd\xb8\xef\xbe\x84\xef\xbd\xaf\xef\xbe\x8c\xef\xbe\x9f\\\xe6\x96\xb0\xe8\xa6\x8f\xef\xbe\x83\xef\xbd\xb7\xef\xbd\xbd\xef\xbe\x84\xe6\x96\x87\xe6\x9b\xb8.txt",
         nullptr},
    }},
    {"plaso/INFO2", "CP1252", 5, 800, {
        {1, 2, 127379243052370000ULL, 2160128, false,
         "C:\\Documents and Settings\\Mr. Evil\\Desktop\\lalsetup250.exe",
         "C:\\Documents and Settings\\Mr. Evil\\Desktop\\lalsetup250.exe"},
        {2, 2, 127380931507990000ULL, 1325056, false,
         "C:\\Documents and Settings\\Mr. Evil\\Desktop\\netstumblerinstaller_0_4_0.exe",
         "C:\\Documents and Settings\\Mr. Evil\\Desktop\\netstumblerinstaller_0_4_0.exe"},
        {3, 2, 127380933267420000ULL, 442880, false,
         "C:\\Documents and Settings\\Mr. Evil\\Desktop\\WinPcap_3_01_a.exe",
         "C:\\Documents and Settings\\Mr. Evil\\Desktop\\WinPcap_3_01_a.exe"},
        {4, 2, 127380941981610000ULL, 8460800, false,
         "C:\\Documents and Settings\\Mr. Evil\\Desktop\\ethereal-setup-0.10.6.exe",
         "C:\\Documents and Settings\\Mr. Evil\\Desktop\\ethereal-setup-0.10.6.exe"},
    }},
    {"rbcmd/WinXp - mueller1/INFO2", "CP1252", 5, 800, {
        {1, 25, 128461795837030000ULL, 1005568, false,
         "Z:\\WINDOWS\\explorer.exe",
         "Z:\\WINDOWS\\explorer.exe"},
    }},
    {"rbcmd/WinXp - mueller1/INFO2_MultiFiles", "CP1252", 5, 800, {
        {1, 2, 131871530946400000ULL, 0, false,
         "C:\\Documents and Settings\\test\\Desktop\\this file has a really really really really really really really really really really really really really really really really really really really really really really really really really really really long name11.txt",
         "C:\\Documents and Settings\\test\\Desktop\\this file has a really really really really really really really really really really really really really really really really really really really really really really really really really really really long name11.txt"},
        {2, 2, 131871530946560000ULL, 4096, true,
         "C:\\Documents and Settings\\test\\Desktop\\first file.txt",
         "C:\\Documents and Settings\\test\\Desktop\\first file.txt"},
        {3, 2, 131871530946560000ULL, 4096, true,
         "C:\\Documents and Settings\\test\\Desktop\\Folder1",
         "C:\\Documents and Settings\\test\\Desktop\\Folder1"},
        {4, 2, 131871530946560000ULL, 360448, false,
         "C:\\Documents and Settings\\test\\Desktop\\Folder2",
         "C:\\Documents and Settings\\test\\Desktop\\Folder2"},
    }},
};

std::string samples_dir() {
  const char* env = std::getenv("BINSIFT_SAMPLES");
  return env ? env : "../shared/samples";
}

bool read_sample(const std::string& name, std::string* bytes) {
  std::ifstream in(std::filesystem::path(samples_dir()) / "info2" / name, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

std::string utc(FileTime t) {
  SystemTime s;
  if (!file_time_to_system_time(t, &s)) return "bad time";
  char buf[64];
  snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", s.year, s.month, s.day, s.hour,
           s.minute, s.second, s.milliseconds);
  return buf;
}

#define SKIP_WITHOUT_SAMPLES()                                                       \
  if (!std::filesystem::is_directory(std::filesystem::path(samples_dir()) / "info2")) \
  GTEST_SKIP() << "no samples at " << samples_dir()

TEST(Info2Samples, EveryRecordOfEverySample) {
  SKIP_WITHOUT_SAMPLES();
  for (const Sample& s : kSamples) {
    SCOPED_TRACE(s.path);
    std::string bytes;
    ASSERT_TRUE(read_sample(s.path, &bytes));
    const File f(bytes);
    Info2Header h;
    ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
    EXPECT_EQ(h.version, s.version);
    EXPECT_EQ(h.record_size, s.record_size);
    EXPECT_FALSE(info2_has_partial_record(h, f.size()));
    ASSERT_EQ(info2_entry_count(h, f.size()), s.records.size());
    for (size_t i = 0; i < s.records.size(); ++i) {
      const SampleRecord& want = s.records[i];
      SCOPED_TRACE(want.number);
      Info2Entry e;
      ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, i, &e));
      EXPECT_FALSE(e.truncated);
      EXPECT_EQ(e.record_number, want.number);
      EXPECT_EQ(e.drive_number, want.drive);
      EXPECT_EQ(e.deleted, want.deleted);
      EXPECT_EQ(e.size, want.size);
      EXPECT_EQ(e.restored_or_purged, want.restored);
      EXPECT_TRUE(e.ansi_terminated);
      std::string ansi;
      if (e.drive_prefix) ansi.push_back(e.drive_prefix);
      append_codepage_as_utf8(s.codepage, e.ansi_path, e.ansi_length, &ansi);
      EXPECT_EQ(ansi, want.ansi_utf8);
      if (want.utf16_utf8) {
        EXPECT_TRUE(e.uses_utf16());
        EXPECT_TRUE(e.utf16_terminated);
        EXPECT_EQ(utf8_path(e, s.codepage), want.utf16_utf8);
      } else {
        EXPECT_FALSE(e.has_utf16_field);
        EXPECT_EQ(utf8_path(e, s.codepage), want.ansi_utf8);
      }
    }
  }
}

// The values the peers' own tests state for these files.
struct Stated {
  const char* path;
  const char* codepage;
  uint32_t version;   // 99: not stated
  size_t records;
  size_t index;       // the record the statement is about
  uint32_t number;
  const char* deleted;  // UTC
  uint32_t size;        // 0xFFFFFFFF: not stated
  const char* path_utf8;
};

TEST(Info2Samples, AsThePeersStateThem) {
  SKIP_WITHOUT_SAMPLES();
  const Stated stated[] = {
      {"rifiuti2/INFO2-empty", "CP1252", 5, 0, 0, 0, nullptr, 0, nullptr},
      {"rifiuti2/INFO2-sample1", "CP1252", 99, 16, 0, 44, "2008-10-28 15:53:42", 4096,
       "C:\\Documents and Settings\\All Users\\Desktop\\\xE6\x9C\x89\xE9\x81\x93\xE6\xA1\x8C"
       "\xE9\x9D\xA2\xE8\xAF\x8D\xE5\x85\xB8.lnk"},
      {"rifiuti2/INFO2-2k-cht-1", "CP1252", 99, 5, 3, 4, "2019-03-31 19:40:16", 0,
       "C:\\temp\\\xC3\x96" "d\xC3\xBCll\xC3\xBC \xE6\xB7\xB7\xE5\x90\x88\xE4\xB8\xAD\xE6\x96\x87"
       "\xE5\xAD\x97 \xD8\xAA\xD8\xB4\xD9\x83\xD9\x8A\xD9\x84.doc"},
      {"rifiuti2/INFO2-03-tw-uncpath", "CP1252", 99, 4, 0, 1, "2019-05-05 17:08:49", 3153920,
       "\\\\Vm-2003-r2-tw\\Temp\\\xE6\x96\x87\xE4\xBB\xB6\\Downloads\\HxDSetup.zip"},
      {"rifiuti2/INFO-95-ja-1", "CP932", 0, 11, 2, 3, "2015-05-11 07:19:25", 32768,
       "D:\\WINDOWS\\\xEF\xBE\x83\xEF\xBE\x9E\xEF\xBD\xBD\xEF\xBD\xB8\xEF\xBE\x84\xEF\xBD\xAF"
       "\xEF\xBE\x8C\xEF\xBE\x9F\\\xE6\x96\xB0\xE8\xA6\x8F\xEF\xBE\x83\xEF\xBD\xB7\xEF\xBD\xBD"
       "\xEF\xBE\x84\xE6\x96\x87\xE6\x9B\xB8.txt"},
      {"plaso/INFO2", "CP1252", 99, 4, 0, 1, "2004-08-25 16:18:25", 0xFFFFFFFFu,
       "C:\\Documents and Settings\\Mr. Evil\\Desktop\\lalsetup250.exe"},
      {"rbcmd/WinXp - mueller1/INFO2", "CP1252", 5, 1, 0, 1, nullptr, 0xFFFFFFFFu, nullptr},
  };
  for (const Stated& s : stated) {
    SCOPED_TRACE(s.path);
    std::string bytes;
    ASSERT_TRUE(read_sample(s.path, &bytes));
    const File f(bytes);
    Info2Header h;
    ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
    if (s.version != 99) {
      EXPECT_EQ(h.version, s.version);
    }
    ASSERT_EQ(info2_entry_count(h, f.size()), s.records);
    if (s.records == 0) continue;
    Info2Entry e;
    ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, s.index, &e));
    EXPECT_EQ(e.record_number, s.number);
    if (s.deleted) {
      EXPECT_EQ(utc(e.deleted).substr(0, 19), s.deleted);
    }
    if (s.size != 0xFFFFFFFFu) {
      EXPECT_EQ(e.size, s.size);
    }
    if (s.path_utf8) {
      EXPECT_EQ(utf8_path(e, s.codepage), s.path_utf8);
    }
  }
}

TEST(Info2Samples, PlasoRecordDetails) {
  SKIP_WITHOUT_SAMPLES();
  std::string bytes;
  ASSERT_TRUE(read_sample("plaso/INFO2", &bytes));
  const File f(bytes);
  Info2Header h;
  ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
  Info2Entry e;
  ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, 0, &e));
  EXPECT_EQ(utc(e.deleted), "2004-08-25 16:18:25.237");
  EXPECT_EQ(e.drive_number, 2u);
  EXPECT_EQ(e.record_number, 1u);
  EXPECT_EQ(dc_name(e), "Dc1.exe");
}

TEST(Info2Samples, EveryMuellerRecordHasBothNames) {
  SKIP_WITHOUT_SAMPLES();
  std::string bytes;
  ASSERT_TRUE(read_sample("rbcmd/WinXp - mueller1/INFO2", &bytes));
  const File f(bytes);
  Info2Header h;
  ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
  EXPECT_EQ(h.version, 5u);
  EXPECT_EQ(h.record_size, 800u);
  for (size_t i = 0; i < info2_entry_count(h, f.size()); ++i) {
    Info2Entry e;
    ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, i, &e));
    EXPECT_GT(e.ansi_length, 0u);
    EXPECT_GT(e.utf16_units, 0u);
  }
}

TEST(Info2Samples, DcNamesOfTheJapaneseSample) {
  SKIP_WITHOUT_SAMPLES();
  std::string bytes;
  ASSERT_TRUE(read_sample("rifiuti2/INFO-95-ja-1", &bytes));
  const File f(bytes);
  Info2Header h;
  ASSERT_TRUE(parse_info2_header(f.data(), f.size(), &h));
  const char* want[] = {"Dc1.lnk",  "Dc2.bmp",  "Dc3.txt",  "Dc4.cab",  "Dc5.cab", "Dc6.dll",
                        "Dc11.exe", "Dc12.dll", "Dc13.LNK", "Dc14.lnk", "Dc15.txt"};
  ASSERT_EQ(info2_entry_count(h, f.size()), sizeof want / sizeof want[0]);
  for (size_t i = 0; i < sizeof want / sizeof want[0]; ++i) {
    Info2Entry e;
    ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, i, &e));
    EXPECT_EQ(dc_name(e, "CP932"), want[i]);
  }
}

TEST(Info2Samples, EveryPrefixOfASampleIsReadSafely) {
  SKIP_WITHOUT_SAMPLES();
  std::string bytes;
  ASSERT_TRUE(read_sample("rifiuti2/INFO2-03-tw-uncpath", &bytes));
  const File full(bytes);
  Info2Header full_header;
  ASSERT_TRUE(parse_info2_header(full.data(), full.size(), &full_header));
  for (size_t n = 0; n <= bytes.size(); n += 7) {
    const File f(bytes.substr(0, n));
    Info2Header h;
    if (!parse_info2_header(f.data(), f.size(), &h)) {
      EXPECT_LT(n, kInfo2HeaderSize);
      continue;
    }
    const size_t count = info2_entry_count(h, f.size());
    EXPECT_EQ(count, (n - kInfo2HeaderSize + 799) / 800);
    for (size_t i = 0; i < count; ++i) {
      Info2Entry e;
      ASSERT_TRUE(get_info2_entry(f.data(), f.size(), h, i, &e));
      EXPECT_EQ(e.truncated, i + 1 == count && (n - kInfo2HeaderSize) % 800 != 0);
      EXPECT_TRUE(within(f, e.ansi_path, e.ansi_length));
      if (e.has_utf16_field) {
        EXPECT_TRUE(within(f, e.utf16_path, 2 * e.utf16_units));
      }
      Info2Entry whole;
      ASSERT_TRUE(get_info2_entry(full.data(), full.size(), full_header, i, &whole));
      std::string text, whole_text;
      bool lone = false;
      append_info2_path_utf8(&text, e, "CP950", &lone);
      append_info2_path_utf8(&whole_text, whole, "CP950", &lone);
      EXPECT_FALSE(lone);
      // A cut path is the beginning of the whole one (or, when its UTF-16
      // part is gone, the ANSI path, which is whole before the record
      // number).
      if (!e.truncated) {
        EXPECT_EQ(text, whole_text);
      } else if (e.uses_utf16()) {
        EXPECT_EQ(whole_text.compare(0, text.size(), text), 0);
      }
    }
  }
}

}  // namespace
