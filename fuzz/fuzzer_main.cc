// One libFuzzer executable per target; BINSIFT_FUZZ_TARGET names it.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return BINSIFT_FUZZ_TARGET(data, size);
}
