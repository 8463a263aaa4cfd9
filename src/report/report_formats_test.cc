#include "report/report_formats.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

TEST(ReportFormats, EachRowHasItsOwnLowerCaseNameAndMakesItsWriter) {
  ReportSink sink(kInvalidHandle);
  std::set<std::string> names;
  ASSERT_FALSE(report_formats().empty());
  EXPECT_STREQ(report_formats().front().name, "seed");  // the default comes first
  EXPECT_FALSE(report_formats().front().utf8);
  for (const ReportFormatRow& row : report_formats()) {
    const std::string name = row.name;
    EXPECT_TRUE(names.insert(name).second) << name;
    for (char c : name) EXPECT_FALSE(c >= 'A' && c <= 'Z') << name;
    EXPECT_EQ(find_report_format(name), &row) << name;
    EXPECT_NE(make_report_writer(name, &sink, WriterSettings()), nullptr) << name;
    EXPECT_EQ(make_structured_writer(name, &sink, WriterSettings()) != nullptr, row.utf8) << name;
  }
  EXPECT_EQ(report_format_names().size(), report_formats().size());
  EXPECT_EQ(find_report_format("xml"), nullptr);
  EXPECT_EQ(make_report_writer("CSV", &sink, WriterSettings()), nullptr);
}

TEST(ReportFormats, TheHelpListsEveryFormatWithItsLinesUnderOneAnother) {
  std::istringstream help(report_format_help());
  std::vector<std::string> lines;
  for (std::string line; std::getline(help, line);) lines.push_back(line);
  size_t at = 0;
  for (const ReportFormatRow& row : report_formats()) {
    std::istringstream text(row.help);
    bool first = true;
    for (std::string want; std::getline(text, want); first = false) {
      ASSERT_LT(at, lines.size()) << row.name;
      const std::string head = first ? "    " + std::string(row.name) : "";
      EXPECT_EQ(lines[at], head + std::string(13 - head.size(), ' ') + want) << row.name;
      EXPECT_LE(lines[at].size(), 80u) << lines[at];
      ++at;
    }
  }
  EXPECT_EQ(at, lines.size());
}

}  // namespace
