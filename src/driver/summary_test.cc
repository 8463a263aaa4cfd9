#include "driver/summary.h"

#include <gtest/gtest.h>

TEST(SplitElapsed, HoursMinutesSecondsTruncatedTowardZero) {
  const ElapsedParts e = split_elapsed(3725);
  EXPECT_EQ(e.hours, 1);
  EXPECT_EQ(e.minutes, 2);
  EXPECT_EQ(e.seconds, 5);
  const ElapsedParts n = split_elapsed(-3725);
  EXPECT_EQ(n.hours, -1);
  EXPECT_EQ(n.minutes, -2);
  EXPECT_EQ(n.seconds, -5);
  const ElapsedParts z = split_elapsed(59);
  EXPECT_EQ(z.hours, 0);
  EXPECT_EQ(z.minutes, 0);
  EXPECT_EQ(z.seconds, 59);
  EXPECT_EQ(split_elapsed(90061).hours, 25);
}
