#include "options/ini_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/paths.h"
#include "options/option_table.h"
#include "platform/ascii.h"
#include "platform/platform.h"

namespace {

constexpr int kLineBuffer = 260;

std::string upper_case(const std::string& s) {
  std::string out = s;
  ascii_upper_in_place(&out);
  return out;
}

bool equals_ignore_case(const char* a, const char* b) {
  return upper_case(a) == upper_case(b);
}

// On (1), off (0) or neither (-1), by substring: the off test wins.
int on_off(const std::string& upper_value) {
  int v = -1;
  if (upper_value.find("ON") != std::string::npos || upper_value.find("YES") != std::string::npos) v = 1;
  if (upper_value.find("OFF") != std::string::npos) v = 0;
  return v;
}

// Opens an INI file for reading: only a regular file can be opened, so a
// FIFO or a device of that name cannot hold up the start.
FILE* open_ini(const std::string& path) { return open_regular_file(path.c_str(), false); }

bool read_line(FILE* f, std::string* line) {
  char buf[kLineBuffer];
  if (!fgets(buf, sizeof buf, f)) return false;
  line->assign(buf);
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
  return true;
}

bool key_in(const std::string& upper, const IniKey& key) {
  return key.match == IniMatch::kContains ? upper.find(key.text) != std::string::npos
                                          : upper.compare(0, strlen(key.text), key.text) == 0;
}

bool row_matches(const std::string& upper, const OptionKey& row) {
  for (const IniKey& key : row.ini) {
    if (!key.text) break;
    if (key_in(upper, key)) return true;
  }
  return false;
}

}  // namespace

Status apply_ini_line(const std::string& line, const OptionVocabulary& vocabulary,
                      OptionEffects* effects, Options* options) {
  const std::string upper = upper_case(line);
  const size_t equals = line.find('=');
  const bool has_value = equals != std::string::npos;
  // Values that name files and directories are taken as written; the rest
  // from the upper-cased line.
  std::string written = has_value ? line.substr(equals + 1) : std::string();
  const std::string value = has_value ? upper.substr(equals + 1) : std::string();
  for (const OptionKey& row : option_keys()) {
    if (!row.ini[0].text || !row_matches(upper, row)) continue;
    OptionInput in;
    in.source = OptionSource::kIniFile;
    in.value = value.c_str();
    in.written = written.data();
    bool apply = true;
    switch (row.ini_value) {
      case IniValue::kIgnored:
        apply = false;
        break;
      case IniValue::kRequired:
        apply = has_value;
        break;
      case IniValue::kOptional:
        if (!has_value) in.value = nullptr;
        break;
      case IniValue::kOnOff:
      case IniValue::kOnOnly: {
        const int v = on_off(value);
        apply = row.ini_value == IniValue::kOnOff ? v >= 0 : v == 1;
        in.on = v == 1;
        break;
      }
    }
    if (apply) {
      const Applied applied = apply_option(row, in, vocabulary, effects, options);
      if (applied.kind == Applied::kEnded) return applied.ended;
    }
    // A line is handled by its first key, but for those that let it go on.
    if (!row.ini_continues) break;
  }
  return Status();
}

Status read_ini_file(char** argv, const OptionVocabulary& vocabulary, OptionEffects* effects,
                     Options* options) {
  for (char** a = argv; *a; ++a)
    if (equals_ignore_case(*a, "-.ini")) return Status();

  std::string program;
  if (!program_file_path(&program)) program = argv[0] ? argv[0] : "binsift";
  const size_t slash = program.rfind(kPathSeparator);
  const std::string program_dir = slash == std::string::npos ? std::string() : program.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? program : program.substr(slash + 1);
  if (const size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);

  struct Candidate {
    std::string path;
    bool shared;
  };
  const Candidate candidates[] = {
      {name + ".ini", false},
      {program_dir + name + ".ini", false},
      {"QUILLORY.INI", true},
      {program_dir + "QUILLORY.INI", true},
      {"BINSIFT.ini", false},
      {program_dir + "BINSIFT.ini", false},
  };
  const Candidate* chosen = nullptr;
  for (const Candidate& c : candidates) {
    if (path_exists(c.path)) {
      chosen = &c;
      break;
    }
  }
  if (!chosen) return Status();
  FILE* f = open_ini(chosen->path);
  if (!f) {
    effects->ini_file_unreadable();
    return Status();
  }

  const Status status = read_ini_lines(f, chosen->shared, name, vocabulary, effects, options);
  fclose(f);
  return status;
}

Status read_ini_lines(FILE* f, bool shared, const std::string& name,
                      const OptionVocabulary& vocabulary, OptionEffects* effects,
                      Options* options) {
  const std::string header = "[" + upper_case(name) + "]";
  std::string line;
  if (shared) {
    bool found = false;
    while (read_line(f, &line)) {
      if (upper_case(line).compare(0, header.size(), header) == 0) {
        found = true;
        break;
      }
    }
    if (!found) return Status();
  }
  while (read_line(f, &line)) {
    const std::string upper = upper_case(line);
    if (upper[0] == ';') continue;
    if (upper[0] == '[') {
      if (shared) break;
      continue;
    }
    if (shared && upper.find(header) != std::string::npos) break;
    const Status status = apply_ini_line(line, vocabulary, effects, options);
    if (!status.ok()) return status;
  }
  return Status();
}
