// Registry hives for the unit tests: the real samples (registry/SAM, a
// SAM with three local accounts, and registry/SOFTWARE-partial, a SOFTWARE
// tree without a ProfileList), copies with a ProfileList that
// tests/e2e/hives.py writes through hivexsh, and hivex's own tools
// (hivexget, hivexsh) to say what a hive holds.  A test that lacks a
// sample or a tool skips with the reason.
#pragma once

#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace test_hives {

inline std::string samples() {
  const char* env = std::getenv("BINSIFT_SAMPLES");
  return env != nullptr ? env : std::string(BINSIFT_SOURCE_DIR) + "/../shared/samples";
}
inline std::string sam_sample() { return samples() + "/registry/SAM"; }
inline std::string software_sample() { return samples() + "/registry/SOFTWARE-partial"; }

// The SAM sample's machine and accounts, as tests/e2e/test_hives_recipe.py
// reads them with hivexget.
constexpr char kMachineSid[] = "S-1-5-21-1760460187-1592185332-161725925";

inline std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out.push_back(c);
  }
  return out + "'";
}

// Runs a shell command; its exit code (-1 when it did not end normally)
// and, when `out` is given, its standard output.
inline int run(const std::string& command, std::string* out = nullptr) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
  const int status = pclose(pipe);
  if (out != nullptr) *out = std::move(text);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The first of `tools` (names separated by spaces) that is not installed;
// empty when all are.
inline std::string missing_tool(const std::string& tools) {
  size_t start = 0;
  while (start < tools.size()) {
    size_t end = tools.find(' ', start);
    if (end == std::string::npos) end = tools.size();
    const std::string tool = tools.substr(start, end - start);
    if (run("command -v " + tool + " >/dev/null 2>&1") != 0) return tool;
    start = end + 1;
  }
  return {};
}

inline std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// A value as hivexget prints it: a string in UTF-8 with a line end, binary
// data as it is.  Its exit code in `status` when asked for.
inline std::string hivexget(const std::string& hive, const std::string& key, const std::string& value,
                            int* status = nullptr) {
  std::string out;
  const int code = run("hivexget " + quoted(hive) + " " + quoted(key) + " " + quoted(value) + " 2>/dev/null", &out);
  if (status != nullptr) *status = code;
  return out;
}

// The subkeys of `key`, as hivexsh lists them.
inline std::vector<std::string> hivexsh_keys(const std::string& hive, const std::string& key) {
  std::string out;
  run("printf 'cd %s\\nls\\n' " + quoted(key) + " | hivexsh " + quoted(hive), &out);
  std::vector<std::string> keys;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    if (end > start) keys.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  return keys;
}

// Runs a hivexsh script on a hive opened for writing (the script ends
// with "commit"); true when hivexsh succeeded.
inline bool hivexsh_write(const std::string& hive, const std::string& script) {
  const std::string file = hive + ".hivexsh";
  write_file(file, script);
  return run("hivexsh -w " + quoted(hive) + " < " + quoted(file) + " >/dev/null 2>&1") == 0;
}

inline std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

// A copy of the SOFTWARE sample with a ProfileList entry (REG_EXPAND_SZ
// ProfileImagePath, and Flags, State and Sid as Windows keeps them) for
// each (SID, profile path), written by tests/e2e/hives.py; false when it
// could not be made.
inline bool software_with_profiles(const std::string& out,
                                   const std::vector<std::pair<std::string, std::string>>& profiles) {
  std::string list_json = "[";
  for (const auto& [sid, path] : profiles) {
    if (list_json.size() > 1) list_json += ",";
    list_json += "[" + json_string(sid) + "," + json_string(path) + "]";
  }
  write_file(out + ".json", list_json + "]");
  const std::string e2e = std::string(BINSIFT_SOURCE_DIR) + "/tests/e2e";
  const std::string script =
      "import json, sys; import hives; "
      "hives.software_with_profiles(sys.argv[1], json.load(open(sys.argv[2], encoding='utf-8')))";
  return run("cd " + quoted(e2e) + " && BINSIFT_SAMPLES=" + quoted(samples()) + " python3 -c " + quoted(script) +
             " " + quoted(out) + " " + quoted(out + ".json") + " >/dev/null 2>&1") == 0;
}

// The first `size` bytes of `source`, written to `out`.
inline void truncated_copy(const std::string& source, const std::string& out, size_t size) {
  write_file(out, read_file(source).substr(0, size));
}

// What a file is and when it was last written, to check that reading it
// changed nothing.
struct FileStamp {
  std::string sha256;
  long long mtime_ns = 0;
  bool operator==(const FileStamp&) const = default;
};
inline FileStamp stamp_of(const std::string& path) {
  FileStamp stamp;
  run("sha256sum " + quoted(path), &stamp.sha256);
  struct stat st;
  if (stat(path.c_str(), &st) == 0) stamp.mtime_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  return stamp;
}

}  // namespace test_hives

// Skips the test when the samples or the tools (names separated by spaces)
// are missing.
#define NEED_HIVE_TOOLS(tools)                                                                \
  do {                                                                                        \
    if (!std::filesystem::is_regular_file(test_hives::sam_sample()) ||                        \
        !std::filesystem::is_regular_file(test_hives::software_sample()))                     \
      GTEST_SKIP() << "no registry samples at " << test_hives::samples() << "/registry";      \
    const std::string missing_ = test_hives::missing_tool(tools);                             \
    if (!missing_.empty()) GTEST_SKIP() << missing_ << " is not installed";                   \
  } while (0)
