// Counts heap allocations, so that the cost per file or per lookup can be
// checked (test_allocations.h).  The replacements pair malloc with free,
// which GCC cannot see through once it has inlined them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "common/test_allocations.h"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
std::atomic<long> g_allocations{0};
}  // namespace

long test_allocations() { return g_allocations.load(); }

void* operator new(size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  ++g_allocations;
  return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

TEST(AllocationCount, CountsEveryNew) {
  const long before = test_allocations();
  auto one = std::make_unique<int>(1);
  std::vector<int> two(2);
  EXPECT_EQ(test_allocations() - before, 2);
  EXPECT_EQ(*one + two[1], 1);
}

}  // namespace
