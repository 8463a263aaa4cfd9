#include "driver/run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/memory_file_system.h"
#include "platform/platform.h"

namespace {

// A whole run in a child process on an NTFS volume held in memory: only the
// first path decides the volume type, and every directory of every path is
// probed for streams.
int run_two_paths() {
  MemoryFileSystem fs;
  fs.set_volume_kind(FileSystemKind::kNtfs);
  fs.add_file("one/sub/$IA", "");
  fs.add_directory("two");
  // The report goes nowhere; the test looks at what the run asked.
  if (!freopen("/dev/null", "w", stdout)) return 5;
  std::vector<std::string> args = {"binsift", "-.ini", "-p", "one", "two", "-B"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (run_binsift(static_cast<int>(args.size()), argv.data(), &fs) != 0) return 2;
  if (fs.volume_queries().size() != 1 || fs.volume_queries()[0].rfind("one") == std::string::npos)
    return 3;
  const std::vector<std::string> probes = fs.stream_probes();
  if (probes != std::vector<std::string>{"/one", "/one/sub", "/two"}) return 4;
  return 0;
}

TEST(RunSequence, OnlyTheFirstPathDecidesTheVolumeType) {
  EXPECT_EXIT(exit(run_two_paths()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
