// A temporary directory for the platform layer's tests, removed with
// everything in it when the test ends, by the process that made it only (a
// child forked by a death test must not take it away from its parent).
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/binsift-test-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() {
    if (getpid() != owner_) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  pid_t owner_ = getpid();
};
