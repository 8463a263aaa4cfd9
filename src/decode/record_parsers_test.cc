#include "decode/record_parser.h"

#include <gtest/gtest.h>

#include "decode/index_record.h"
#include "decode/info2.h"

namespace {

TEST(RecordParsers, InfoFilesFirstAndTheIndexFileParserTakesTheRest) {
  const auto parsers = record_parsers();
  ASSERT_EQ(parsers.size(), 2u);
  EXPECT_EQ(parsers.front(), &info2_parser());
  EXPECT_EQ(parsers.back(), &index_file_parser());
  for (const char* name : {"INFO2", "info2", "Info", "INFO"})
    EXPECT_TRUE(parsers.front()->claims_name(name)) << name;
  for (const char* name : {"INFO22", "INF", "$IABC.txt", "INFO2.bak", ""})
    EXPECT_FALSE(parsers.front()->claims_name(name)) << name;
  for (const char* name : {"INFO2", "$IABC.txt", "x", ""})
    EXPECT_TRUE(parsers.back()->claims_name(name)) << name;
}

}  // namespace
