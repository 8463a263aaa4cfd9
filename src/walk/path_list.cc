#include "walk/path_list.h"

#include <cstring>
#include <unordered_set>

#include "platform/ascii.h"
#include "platform/platform.h"

std::vector<std::string> g_path_list;
std::vector<std::string> g_pattern_list;

namespace {

// The listed directories, for duplicate tests that cost the same however
// long the list is: as stored, and in the form the duplicate test of
// add_path compares (ASCII case folded where names ignore case).
struct PathIndex {
  std::unordered_set<std::string> exact;
  std::unordered_set<std::string> compared;
  size_t indexed = 0;  // entries of g_path_list in the sets
};
PathIndex g_index;

std::string compared_form(const std::string& name) {
  std::string key = name;
  if (kPathNamesIgnoreCase)
    for (char& c : key)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return key;
}

// Brings the index up to the list (which its users may also have cleared
// or filled directly).
PathIndex& path_index() {
  if (g_index.indexed > g_path_list.size()) {
    g_index.exact.clear();
    g_index.compared.clear();
    g_index.indexed = 0;
  }
  for (; g_index.indexed < g_path_list.size(); ++g_index.indexed) {
    const std::string& entry = g_path_list[g_index.indexed];
    g_index.exact.insert(entry);
    g_index.compared.insert(compared_form(entry));
  }
  return g_index;
}

}  // namespace

void add_path(char* name) {
  if (name[0] == '\0') return;  // an empty name would walk the root
  if (path_index().compared.count(compared_form(name)) != 0) return;

  std::string expanded;
  const bool drive = expand_drive_name(name, &expanded);
  std::string text = drive ? expanded : std::string(name);
  // One trailing separator goes; a root ("/") keeps its only character.
  if (text.size() > 1 && text.back() == kPathSeparator) {
    text.pop_back();
    if (!drive) name[strlen(name) - 1] = '\0';
  }
  text.reserve(text.size() + 1);  // room for the separator the walk appends
  g_path_list.push_back(std::move(text));
}

void add_file_pattern(const char* pattern) { g_pattern_list.emplace_back(pattern); }

void add_bare_argument(const char* argument) {
  std::string full;
  if (!full_path(argument, &full)) return;
  if (is_existing_directory(full.c_str())) {
    add_path(full.data());
    return;
  }
  const size_t cut = full.rfind(kPathSeparator);
  std::string directory = cut == std::string::npos ? std::string() : full.substr(0, cut + 1);
  const std::string file = cut == std::string::npos ? full : full.substr(cut + 1);

  bool listed = false;
  if (!g_path_list.empty()) {
    if (directory.size() > 1 && directory.back() == kPathSeparator) directory.pop_back();
    listed = path_index().exact.count(directory) != 0;
  }
  if (!listed) add_path(directory.data());
  if (file.empty()) return;
  add_file_pattern(file.c_str());
}

void add_default_path() {
  std::string cwd;
  if (!current_directory(&cwd)) return;
  add_path(cwd.data());
}

void first_letter_to_upper(std::string* entry) {
  if (!kUpperCaseFirstLetter || entry->empty()) return;
  (*entry)[0] = ascii_upper((*entry)[0]);
}
