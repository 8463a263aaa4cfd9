// Test helpers for the option readers: a fresh option value, the readers
// called as the run calls them (with this build's vocabulary, and the
// driver acting on how reading ended), effects that open no file, and an
// argument vector that the readers may change in place.
#pragma once

#include <string>
#include <vector>

#include "driver/option_effects.h"
#include "options/ini_file.h"
#include "options/long_options.h"
#include "options/options.h"

// The option value the tests read into.
inline Options g_options;

// What the readers asked of the rest of the run; nothing is opened.
class RecordingEffects : public OptionEffects {
 public:
  void before_reading(const EarlyWords& words) override { early = words; }
  Status name_accounting_file(const char* path, const char*) override {
    accounting.emplace_back(path);
    return Status();
  }
  Status add_accounting_file(const char* path, bool* opened) override {
    accounting.emplace_back(path);
    *opened = false;
    return Status();
  }
  void close_accounting_file() override {}
  void name_memo_file(const char* path) override { memo.emplace_back(path); }
  void ini_file_unreadable() override {}

  EarlyWords early;
  std::vector<std::string> accounting, memo;
};
inline RecordingEffects g_test_effects;

inline void reset_option_state() {
  g_options = Options();
  g_test_effects = RecordingEffects();
}

// The option readers with this build's vocabulary and the effects above.
inline WordResult parse_long_option(const char* word, Options* options) {
  return parse_long_option(word, run_vocabulary(), &g_test_effects, options);
}
inline void read_ini_file(char** argv, Options* options) {
  (void)read_ini_file(argv, run_vocabulary(), &g_test_effects, options);
}
inline void apply_ini_line(const std::string& line, Options* options) {
  (void)apply_ini_line(line, run_vocabulary(), &g_test_effects, options);
}
inline EarlyWords read_early_words(int argc, char** argv) {
  return read_early_words(argc, argv, run_vocabulary());
}
// Reads the options into g_options as the run does, with `effects`; a
// reading that ends the run ends it as the driver does (the help screens,
// code 5).  Returns the index of the first option.
inline int parse_options(int argc, char** argv, OptionEffects* effects = &g_test_effects) {
  const OptionResult result = parse_options(argc, argv, run_vocabulary(), effects, &g_options);
  end_unless_run(result, g_options);
  return result.first_option;
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
