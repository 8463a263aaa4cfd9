#include "options/ini_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/paths.h"
#include "platform/ascii.h"
#include "runlog/run_log.h"
#include "platform/platform.h"
#include "report/report_output.h"
#include "runlog/run_log.h"
#include "walk/exclude.h"
#include "walk/path_list.h"

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

std::string resolved(const std::string& value) { return resolved_path(value.c_str()); }

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

enum class Match { kContains, kBegins };

struct Key {
  const char* text;
  Match match;
};

bool key_in(const std::string& upper, const Key& key) {
  return key.match == Match::kContains ? upper.find(key.text) != std::string::npos
                                       : upper.compare(0, strlen(key.text), key.text) == 0;
}

}  // namespace

void apply_ini_line(const std::string& line, Options* options) {
  const std::string upper = upper_case(line);
  const size_t equals = line.find('=');
  const bool has_value = equals != std::string::npos;
  // Values that name files and directories are taken as written; the rest
  // from the upper-cased line.
  const std::string written = has_value ? line.substr(equals + 1) : std::string();
  const std::string value = has_value ? upper.substr(equals + 1) : std::string();
  auto is = [&upper](const char* key, Match m) { return key_in(upper, Key{key, m}); };
  const Match C = Match::kContains, B = Match::kBegins;

  if (is("ACCT", C)) {
    if (!has_value) return;
    if (value.compare(0, 3, "OFF") == 0) {
      options->accounting_mode = 0;
      return;
    }
    if (g_acct_file) {
      fputs("This file closed.\n", g_acct_file);
      fprintf(g_acct_file, "Accounting file overridden by .ini file pointing to %s\n",
              resolved(written).c_str());
      close_run_log();
    }
    g_acct_file = options->log_files->open_run_log(written.c_str());
    options->accounting_mode = 2;
    return;
  }
  if (is("APPEND", C)) {
    if (const int v = on_off(value); v >= 0) options->append = v;
    return;
  }
  if (is("BINARY", C)) {
    if (on_off(value) == 1) options->no_header = 1;
    return;
  }
  if (is("DELIMETER", C) || is("DELIMITER", C)) {
    if (has_value && value != "OFF") {
      g_delimiter = value.size() == 1 ? value[0] : static_cast<char>(atoi(value.c_str()));
    }
    // The same line is still compared with every key that follows.
  }
  if (is("INDIV", C) || is("DIRFILES", C) || is("DIR_FILE", C) || is("DOC_ID", C) ||
      is("TYPE", C) || is("SINGLE", C) || is("STARS", C)) {
    return;
  }
  if (is("EXCLUDE", C)) {
    if (!has_value) return;
    options->exclude_active = 1;
    add_exclusion(value.c_str());
    return;
  }
  if (is("FILE", B)) {
    if (has_value) add_file_pattern(value.c_str());
    return;
  }
  if (is("TRUE", B) || is("NOCHEV", C) || is("CHEVRON", C) || is("MAX", B) || is("WIDTH", B))
    return;
  if (is("MEMO", B)) {
    options->memo_active = 1;
    if (!has_value) return;
    if (value.find("OFF") != std::string::npos) {
      options->memo_active = 0;
      return;
    }
    close_memo_stream(g_memo_file);
    g_memo_file = options->log_files->open_memo(resolved(written).c_str());
    return;
  }
  if (is("MILITARY", C) || is("NOHEX", C) || is("OFFSET", C)) return;
  if (is("OUTPUT", B)) {
    if (!has_value) return;
    options->output_to_file = 1;
    g_output_name = resolved(written);
    return;
  }
  if (is("PATH", B)) {
    if (!has_value) return;
    std::string path = written;
    add_path(path.data());
    return;
  }
  if (is("PAUSE", C) || is("PRINT", C) || is("NODOTS", C)) return;
  if (is("QUIET", C) || is("SILENT", C)) {
    if (const int v = on_off(value); v >= 0) options->no_header = v;
    return;
  }
  if (is("RECURSE", C)) {
    if (const int v = on_off(value); v >= 0) options->recurse = v;
    return;
  }
  if (is("RESET", C)) {
    if (const int v = on_off(value); v >= 0) options->reset_times = v;
    return;
  }
}

void read_ini_file(char** argv, Options* options) {
  for (char** a = argv; *a; ++a)
    if (equals_ignore_case(*a, "-.ini")) return;

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
  if (!chosen) return;
  FILE* f = open_ini(chosen->path);
  if (!f) {
    fputs("\nCouldn't open .ini file\n", stdout);
    read_input_byte();
    return;
  }

  read_ini_lines(f, chosen->shared, name, options);
  fclose(f);
}

void read_ini_lines(FILE* f, bool shared, const std::string& name, Options* options) {
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
    if (!found) return;
  }
  while (read_line(f, &line)) {
    const std::string upper = upper_case(line);
    if (upper[0] == ';') continue;
    if (upper[0] == '[') {
      if (shared) break;
      continue;
    }
    if (shared && upper.find(header) != std::string::npos) break;
    apply_ini_line(line, options);
  }
}
