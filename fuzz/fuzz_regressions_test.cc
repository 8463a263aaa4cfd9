// Replays every input the fuzzers ever kept, as ordinary tests.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/fuzz_targets.h"

namespace fs = std::filesystem;

TEST(FuzzRegressions, EveryKeptInputRunsClean) {
  const fs::path root = fs::path(BINSIFT_SOURCE_DIR) / "fuzz" / "regressions";
  size_t replayed = 0;
  for (size_t t = 0; t < kFuzzTargetCount; ++t) {
    const fs::path dir = root / kFuzzTargets[t].name;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      kFuzzTargets[t].run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0u);
}
