#include "report/seed_writer.h"

#include <gtest/gtest.h>

TEST(ReportHeader, IsTheSpecifiedLine) {
  EXPECT_STREQ(kReportHeader,
               "              SOURCE|        Size| Delete Date|  Time (GMT)| Extension| Original "
               "Filename|    Modified| Time (GMT)| Last Access| Time (GMT)|  Created| Time (GMT)|\n");
}
