#include "runlog/run_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/test_tree.h"
#include "common/wait.h"
#include "platform/platform.h"

namespace {

int64_t trimmed(const std::string& bytes) {
  return trimmed_length(static_cast<int64_t>(bytes.size()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

TEST(TrimmedLength, OnlyATrailingRunOfMarkersGoes) {
  EXPECT_EQ(trimmed("records\x1a"), 7);
  EXPECT_EQ(trimmed(std::string("records\x1a\0\x1a", 10)), 7);
  EXPECT_EQ(trimmed(std::string("rec\0ords\n", 9)), 9);
  EXPECT_EQ(trimmed("rec\x1aords"), 8);
  EXPECT_EQ(trimmed(std::string("\0\0", 2)), 0);
}

TEST(TrimAtEofMarker, Files) {
  TestTree tree;
  const std::string long_tail = "old record\n" + std::string(9000, '\x1a');
  tree.file("long", long_tail);
  tree.file("short", "ab\x1a");
  tree.file("middle", std::string("first\0second record\n", 20));
  for (const char* name : {"long", "short", "middle", "new"}) {
    const intptr_t h = trim_at_eof_marker(tree.path(name).c_str());
    ASSERT_NE(h, kInvalidHandle);
    close_file(h);
  }
  EXPECT_EQ(tree.read("long"), "old record\n");
  EXPECT_EQ(tree.read("short"), "ab\x1a");
  EXPECT_EQ(tree.read("middle"), std::string("first\0second record\n", 20));
  EXPECT_EQ(tree.read("new"), "");
}

TEST(TrimAtEofMarker, ASecondHolderIsRefused) {
  TestTree tree;
  const intptr_t h = trim_at_eof_marker(tree.path("log").c_str());
  EXPECT_EQ(open_locked_log(tree.path("log").c_str()), kInvalidHandle);
  close_file(h);
  const FileHandle again = open_locked_log(tree.path("log").c_str());
  EXPECT_NE(again, kInvalidHandle);
  close_file(again);
}

TEST(WaitSeconds, WaitsAtLeastThatLong) {
  const auto start = std::chrono::steady_clock::now();
  wait_seconds(0);
  wait_seconds(-3);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  wait_seconds(1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(RunLogWrites, AFailedWriteIsNamedOnceAndRemembered) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  // In a child: the failure is process-wide state.
  EXPECT_EXIT(
      {
        TestTree tree;
        RunLog run_log;
        if (!run_log.name_accounting_file(tree.path("runs.log").c_str(), nullptr).ok()) exit(2);
        FILE* log = run_log.accounting_file();
        if (!log || run_log.write_failed()) exit(2);
        // The same stream, now writing where there is no room.
        if (!freopen("/dev/full", "a", log)) exit(5);
        fputs("a block\n", run_log.accounting_file());
        run_log.flush();
        fputs("another block\n", run_log.accounting_file());
        run_log.flush();
        run_log.close_accounting_file();
        exit(run_log.write_failed() && run_log.accounting_file() == nullptr ? 3 : 4);
      },
      ::testing::ExitedWithCode(3),
      "^\nCan't write the accounting file [^\n]*runs\\.log: No space left on device\n$");
}

TEST(RunLogWrites, AMemoFileThatClosesCleanly) {
  TestTree tree;
  RunLog run_log;
  run_log.name_memo_file(tree.path("memo.txt").c_str());
  ASSERT_TRUE(run_log.memo_open());
  EXPECT_TRUE(run_log.close_memo_file());
  EXPECT_TRUE(run_log.close_memo_file());
}

}  // namespace
