#include "driver/run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/streams.h"
#include "common/test_tree.h"
#include "recycle/report_output.h"
#include "runlog/volume.h"

namespace {

std::vector<std::string> g_probed_volumes;
std::vector<std::string> g_probed_streams;

FileSystemKind fake_ntfs(const char* path) {
  g_probed_volumes.push_back(path);
  return FileSystemKind::kNtfs;
}

int count_probe(const char* path) {
  g_probed_streams.push_back(path);
  return 0;
}

// A whole run in a child process: only the first path decides the volume
// type, and on NTFS every directory of every path is probed for streams.
int run_two_paths(const std::string& first, const std::string& second) {
  g_file_system_probe = fake_ntfs;
  g_stream_counter = count_probe;
  g_report_handle = open_output_device("/dev/null", false);
  std::vector<std::string> args = {"binsift", "-.ini", "-p", first, second, "-B"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (binsift_main(static_cast<int>(args.size()), argv.data()) != 0) return 2;
  if (g_probed_volumes != std::vector<std::string>{first}) return 3;
  if (g_probed_streams !=
      std::vector<std::string>{first, first + "/sub", second}) return 4;
  return 0;
}

TEST(RunSequence, OnlyTheFirstPathDecidesTheVolumeType) {
  TestTree tree;
  tree.file("one/sub/$IA");
  tree.directory("two");
  const std::string first = tree.path("one"), second = tree.path("two");
  EXPECT_EXIT(exit(run_two_paths(first, second)), ::testing::ExitedWithCode(0), "");
}

}  // namespace
