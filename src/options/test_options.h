// Test helpers for the option readers: a fresh option state and an
// argument vector that the readers may change in place.
#pragma once

#include <string>
#include <vector>

#include "options/options.h"
#include "report/report_output.h"
#include "walk/exclude.h"
#include "walk/path_list.h"

inline void reset_option_state() {
  g_options = Options();
  g_path_list.clear();
  g_pattern_list.clear();
  clear_exclusions();
  g_delimiter = ' ';
  g_output_name.clear();
}

// "binsift" followed by `args`, as a writable, null-terminated vector.
class ArgVector {
 public:
  explicit ArgVector(const std::vector<std::string>& args) : storage_{"binsift"} {
    storage_.insert(storage_.end(), args.begin(), args.end());
    for (std::string& s : storage_) argv_.push_back(s.data());
    argv_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(storage_.size()); }
  char** argv() { return argv_.data(); }

 private:
  std::vector<std::string> storage_;
  std::vector<char*> argv_;
};
