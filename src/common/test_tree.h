// A temporary directory tree for tests, removed when the test ends.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

class TestTree {
 public:
  TestTree() {
    std::random_device rd;
    root_ = std::filesystem::temp_directory_path() /
            ("binsift-test-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(root_);
  }
  ~TestTree() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  // The tree's root, with a trailing separator.
  std::string dir() const { return root_.string() + "/"; }
  std::string path(const std::string& relative) const { return (root_ / relative).string(); }
  void file(const std::string& relative, const std::string& content = "") const {
    const std::filesystem::path p = root_ / relative;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }
  void directory(const std::string& relative) const {
    std::filesystem::create_directories(root_ / relative);
  }
  std::string read(const std::string& relative) const {
    std::ifstream f(root_ / relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }

 private:
  std::filesystem::path root_;
};
