#include "platform/memory_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace {

std::string link_of(FileHandle file) {
  char target[256] = {};
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(file)).c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

TEST(MemoryFile, HoldsItsBytesInMemoryAndIsFinalOnceSealed) {
  std::string reason;
  const FileHandle file = create_memory_file("binsift-test", &reason);
  ASSERT_NE(file, kInvalidHandle) << reason;
  // No file system holds it.
  EXPECT_EQ(link_of(file), "/memfd:binsift-test (deleted)");
  EXPECT_EQ(fcntl(static_cast<int>(file), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  const std::string first(100000, 'a'), second = "the end";
  ASSERT_TRUE(append_to_memory_file(file, first.data(), first.size(), &reason)) << reason;
  ASSERT_TRUE(append_to_memory_file(file, second.data(), second.size(), &reason)) << reason;
  ASSERT_TRUE(seal_memory_file(file, &reason)) << reason;
  // Another library opens it by its name in /proc, and reads what was appended.
  const int other = open(("/proc/self/fd/" + std::to_string(file)).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  std::string back(first.size() + second.size() + 10, '\0');
  EXPECT_EQ(pread(other, back.data(), back.size(), 0), static_cast<ssize_t>(first.size() + second.size()));
  EXPECT_EQ(back.substr(0, first.size() + second.size()), first + second);
  // Nothing can change it any more: no write, no cut, no growth, no
  // writable mapping, no unsealing.
  EXPECT_FALSE(append_to_memory_file(file, "x", 1, &reason));
  EXPECT_EQ(reason, "Operation not permitted");
  EXPECT_NE(ftruncate(static_cast<int>(file), 10), 0);
  EXPECT_NE(ftruncate(static_cast<int>(file), 1 << 20), 0);
  EXPECT_EQ(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, static_cast<int>(file), 0), MAP_FAILED);
  void* map = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, other, 0);
  EXPECT_NE(map, MAP_FAILED);
  if (map != MAP_FAILED) munmap(map, 4096);
  EXPECT_NE(fcntl(static_cast<int>(file), F_ADD_SEALS, F_SEAL_FUTURE_WRITE), 0);
  close(other);
  close_file(file);
}

}  // namespace
