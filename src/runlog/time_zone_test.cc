#include "runlog/time_zone.h"

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
