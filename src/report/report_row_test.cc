#include "report/report_row.h"
#include "report/seed_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "report/companion_times.h"
#include "decode/index_record.h"
#include "decode/test_index_files.h"

namespace {

using test_index::filetime_utc;
using test_index::index_v1;
using test_index::index_v2;

std::string row_for(const std::string& file_name, const std::string& bytes,
                    const CompanionTimes* companion = nullptr) {
  RowBuffer row;
  format_report_row(&row, file_name.c_str(), reinterpret_cast<const unsigned char*>(bytes.data()),
                    bytes.size(), companion);
  return std::string(row.data(), row.size());
}

// The columns between the name column and the companion columns.
std::string middle_of(const std::string& row) {
  const size_t start = row.find('|') + 1;
  const std::string na = kNoCompanionColumns;
  const size_t end = row.rfind(na);
  return row.substr(start, end - start);
}

std::string extension_column(const std::u16string& name) {
  const std::string middle = middle_of(row_for("$IX", index_v2(1, 0, name)));
  // size|date|time|extension|name|
  size_t p = 0;
  for (int i = 0; i < 3; ++i) p = middle.find('|', p) + 1;
  return middle.substr(p, middle.find('|', p) - p + 1);
}

CompanionTimes companion_at(FileTime modified, FileTime accessed, FileTime created) {
  EntryTimes e;
  e.last_write = modified;
  e.last_access = accessed;
  e.creation = created;
  CompanionTimes t;
  convert_find_times(e, &t);
  return t;
}

TEST(ReportRow, TheTwoExampleRows) {
  const CompanionTimes companion =
      companion_at(filetime_utc(2021, 3, 1, 10, 0, 0), filetime_utc(2021, 3, 4, 5, 6, 7),
                   filetime_utc(2021, 2, 1, 9, 0, 0));
  EXPECT_EQ(row_for("$I8Q2XK1.txt",
                    index_v2(1234, filetime_utc(2021, 3, 4, 5, 6, 7),
                             u"C:\\Users\\x\\Documents\\notes.txt"),
                    &companion),
            "        $I8Q2XK1.txt|        1234|  2021-03-04|    05:06:07|       txt|"
            "C:\\Users\\x\\Documents\\notes.txt|  2021-03-01|10:00:00m|  2021-03-04|05:06:07a|"
            "  2021-02-01|09:00:00c|\n");
  EXPECT_EQ(row_for("$I8Q2XK1.txt", index_v2(1234, filetime_utc(2021, 3, 4, 5, 6, 7),
                                             u"C:\\Users\\x\\Documents\\README")),
            "        $I8Q2XK1.txt|        1234|  2021-03-04|    05:06:07|      NONE|"
            "C:\\Users\\x\\Documents\\README| N/A | N/A | N/A | N/A | N/A | N/A | \n");
}

TEST(ReportRow, VersionOneReadsTheNameAtOffset24) {
  EXPECT_EQ(middle_of(row_for("$IABC.exe", index_v1(704512, filetime_utc(2007, 9, 21, 8, 38, 30),
                                                     u"C:\\nc.exe"))),
            "      704512|  2007-09-21|    08:38:30|       exe|C:\\nc.exe|");
}

TEST(ReportRow, ExtensionRules) {
  EXPECT_EQ(extension_column(u"C:\\my.dir\\README"), "dir\\README|");
  EXPECT_EQ(extension_column(u"C:\\x\\name."), "          |");
  EXPECT_EQ(extension_column(u"C:\\x\\name"), "      NONE|");
  EXPECT_EQ(extension_column(u"C:\\x\\a.abcdefghijklmn"), "abcdefghij|");
  EXPECT_EQ(extension_column(u"."), "          |");
  EXPECT_EQ(extension_column(u"a"), "      NONE|");
  EXPECT_EQ(extension_column(u""), "      NONE|");
  EXPECT_EQ(extension_column(u".c"), "         c|");
}

TEST(ReportRow, SizeColumn) {
  EXPECT_EQ(middle_of(row_for("n", index_v2(123456789012LL, 0, u"a"))).substr(0, 14),
            " 123456789012|");
  EXPECT_EQ(middle_of(row_for("n", index_v2(-5, 0, u"a"))).substr(0, 13), "          -5|");
  EXPECT_EQ(middle_of(row_for("n", index_v2(0, 0, u"a"))).substr(0, 13), "           0|");
  EXPECT_EQ(middle_of(row_for("n", index_v2(INT64_MIN, 0, u"a"))).substr(0, 21),
            "-9223372036854775808|");
}

TEST(ReportRow, DeletionTimes) {
  // Zero is 1601-01-01 and shown so (no 1980 substitution here).
  EXPECT_EQ(middle_of(row_for("n", index_v2(1, 0, u"a"))).substr(13, 26),
            "  1601-01-01|    00:00:00|");
  // A time with its top bit set cannot be broken down.
  EXPECT_EQ(middle_of(row_for("n", index_v2(1, 0x8000000000000001ULL, u"a"))).substr(13, 26),
            "  0000-00-00|    00:00:00|");
  // The largest time that can be broken down.
  EXPECT_EQ(middle_of(row_for("n", index_v2(1, 0x7FFFFFFFFFFFFFFFULL, u"a"))).substr(13, 27),
            "  30828-09-14|    02:48:05|");
}

TEST(ReportRow, NameColumnWidth) {
  EXPECT_EQ(row_for("$IA", "").substr(0, 21), "                 $IA|");
  const std::string long_name = "$I0123456789012345678901234.txt";
  EXPECT_EQ(row_for(long_name, "").substr(0, long_name.size() + 1), long_name + "|");
}

TEST(ReportRow, OtherVersionsGiveTheShortRow) {
  std::string v3 = index_v2(1, 0, u"C:\\x.txt");
  v3[0] = 3;
  EXPECT_EQ(row_for("$IX", v3), "                 $IX| N/A | N/A | N/A | N/A | N/A | N/A | \n");
  v3[0] = 0;
  EXPECT_EQ(row_for("$IX", v3), "                 $IX| N/A | N/A | N/A | N/A | N/A | N/A | \n");
  // Only the low 32 bits of the version are compared.
  std::string v1 = index_v1(5, 0, u"C:\\a.b");
  for (int i = 4; i < 8; ++i) v1[i] = '\xFF';
  EXPECT_EQ(middle_of(row_for("$IX", v1)), "           5|  1601-01-01|    00:00:00|         b|C:\\a.b|");
}

TEST(ReportRow, ShortAndTruncatedFilesNeverReadPastTheData) {
  const std::string full = index_v2(7, filetime_utc(2019, 5, 7, 21, 8, 55), u"C:\\abc.rtf");
  const std::string short_row = "                 $IX| N/A | N/A | N/A | N/A | N/A | N/A | \n";
  EXPECT_EQ(row_for("$IX", ""), short_row);
  EXPECT_EQ(row_for("$IX", full.substr(0, 3)), short_row);
  EXPECT_EQ(row_for("$IX", full.substr(0, 27)), short_row);
  // Fixed fields present, no name at all.
  EXPECT_EQ(middle_of(row_for("$IX", full.substr(0, 28))),
            "           7|  2019-05-07|    21:08:55|      NONE||");
  // A name cut inside a code unit: the odd byte is dropped.
  EXPECT_EQ(middle_of(row_for("$IX", full.substr(0, 28 + 2 * 4 + 1))),
            "           7|  2019-05-07|    21:08:55|      NONE|C:\\a|");
  // No terminator: the units that were read.
  EXPECT_EQ(middle_of(row_for("$IX", full.substr(0, full.size() - 2))),
            "           7|  2019-05-07|    21:08:55|       rtf|C:\\abc.rtf|");
  // A version 1 file shorter than its 24 fixed bytes.
  EXPECT_EQ(row_for("$IX", index_v1(1, 0, u"a").substr(0, 23)), short_row);
  // A version 2 name_length that disagrees with the name changes nothing.
  std::string lying = full;
  lying[24] = 99;
  EXPECT_EQ(middle_of(row_for("$IX", lying)), middle_of(row_for("$IX", full)));
}

TEST(ReportRow, CharactersAboveLatin1) {
  // Latin-1 letters stay one byte each.
  EXPECT_EQ(middle_of(row_for("$IX", index_v2(1, 0, u"C:\\Caf\u00e9.txt"))).substr(39),
            "       txt|C:\\Caf\xe9.txt|");
  // A CJK letter and a surrogate pair are one "?" each.
  EXPECT_EQ(middle_of(row_for("$IX", index_v2(1, 0, u"C:\\\u9C02\U00028CCA.\u09AAx"))).substr(39),
            "        ?x|C:\\??.?x|");
  // Lone surrogates are one "?" each.
  std::u16string lone = u"C:\\a";
  lone.push_back(static_cast<char16_t>(0xD860));
  lone += u".b";
  lone.push_back(static_cast<char16_t>(0xDEE2));
  EXPECT_EQ(middle_of(row_for("$IX", index_v2(1, 0, lone))).substr(39), "        b?|C:\\a?.b?|");
  // The precision of 10 counts written characters: a pair is one.
  EXPECT_EQ(extension_column(u"x.\U00028CCA\U00028CCA123456789"), "??12345678|");
}

TEST(ReportRow, NothingInTheDataBreaksARowApart) {
  // A newline, a carriage return, an escape and the separator in a forged
  // original name, and in a file name, are written as "?".
  const std::string row = row_for("$I\n|x", index_v2(1, 0, u"C:\\a\nb\r\x1b[2J|c.t|x"));
  EXPECT_EQ(row.find('\n'), row.size() - 1);
  EXPECT_EQ(row.substr(0, 21), "               $I??x|");
  EXPECT_EQ(middle_of(row).substr(39), "       t?x|C:\\a?b??[2J?c.t?x|");
}

TEST(CompanionTimes, UnsetAndEarlyTimesShowAs1980) {
  const CompanionTimes zero = companion_at(0, 0, 0);
  RowBuffer row;
  append_companion_columns(&row, &zero);
  EXPECT_EQ(std::string(row.data(), row.size()),
            "  1980-00-00|00:00:00m|  1980-00-00|00:00:00a|  1980-00-00|00:00:00c|");
  const FileTime early = filetime_utc(1601, 6, 30, 12, 0, 0);
  const CompanionTimes mid1601 = companion_at(early, early, early);
  row.clear();
  append_companion_columns(&row, &mid1601);
  EXPECT_EQ(std::string(row.data(), row.size()),
            "  1980-00-00|00:00:00m|  1980-00-00|00:00:00a|  1980-00-00|00:00:00c|");
}

TEST(CompanionTimes, AFailedConversionKeepsTheEarlierDate) {
  // Conversion order is access, creation, write; a time that cannot be
  // converted shows 00:00:00 with the date left by the previous one.
  const FileTime bad = 0x8000000000000000ULL;
  const CompanionTimes t = companion_at(bad, filetime_utc(2020, 2, 29, 23, 59, 58), bad);
  RowBuffer row;
  append_companion_columns(&row, &t);
  EXPECT_EQ(std::string(row.data(), row.size()),
            "  2020-02-29|00:00:00m|  2020-02-29|23:59:58a|  2020-02-29|00:00:00c|");
  const CompanionTimes first_bad = companion_at(0, bad, 0);
  EXPECT_EQ(first_bad.accessed.year, 0);
  EXPECT_EQ(first_bad.accessed.hour, 0);
}

}  // namespace
