#include "report/report_output.h"
#include "report/seed_writer.h"

#include <gtest/gtest.h>

TEST(ZoneAbbreviation, TheListedExamples) {
  EXPECT_EQ(zone_abbreviation("Eastern Standard Time"), "EST");
  EXPECT_EQ(zone_abbreviation("Eastern Daylight Time"), "EDT");
  EXPECT_EQ(zone_abbreviation("W. Europe Standard Time"), "WES");
  EXPECT_EQ(zone_abbreviation("UTC"), "UTC");
  EXPECT_EQ(zone_abbreviation("CET"), "CET");
  EXPECT_EQ(zone_abbreviation("GM"), "GM");
  EXPECT_EQ(zone_abbreviation("India Time"), "ITd");
  EXPECT_EQ(zone_abbreviation(""), "");
}

TEST(ReportHeader, IsTheSpecifiedLine) {
  EXPECT_STREQ(kReportHeader,
               "              SOURCE|        Size| Delete Date|  Time (GMT)| Extension| Original "
               "Filename|    Modified| Time (GMT)| Last Access| Time (GMT)|  Created| Time (GMT)|\n");
}
