#include "options/path_list.h"

#include <cstring>
#include <unordered_set>

#include "platform/ascii.h"
#include "platform/platform.h"

namespace {

std::string compared_form(const std::string& name) {
  std::string key = name;
  if (kPathNamesIgnoreCase)
    for (char& c : key)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return key;
}

// Brings the index up to the list (which its users may also have cleared
// or filled directly).  The compared form folds ASCII case where names
// ignore case.
PathListIndex& path_index(Options* options) {
  PathListIndex& index = options->path_index;
  const std::vector<std::string>& list = options->path_list;
  if (index.indexed > list.size()) {
    index.exact.clear();
    index.compared.clear();
    index.indexed = 0;
  }
  for (; index.indexed < list.size(); ++index.indexed) {
    const std::string& entry = list[index.indexed];
    index.exact.insert(entry);
    index.compared.insert(compared_form(entry));
  }
  return index;
}

}  // namespace

void add_path(Options* options, char* name) {
  if (name[0] == '\0') return;  // an empty name would walk the root
  if (path_index(options).compared.count(compared_form(name)) != 0) return;

  std::string expanded;
  const bool drive = expand_drive_name(name, &expanded);
  std::string text = drive ? expanded : std::string(name);
  // One trailing separator goes; a root ("/") keeps its only character.
  if (text.size() > 1 && text.back() == kPathSeparator) {
    text.pop_back();
    if (!drive) name[strlen(name) - 1] = '\0';
  }
  text.reserve(text.size() + 1);  // room for the separator the walk appends
  options->path_list.push_back(std::move(text));
}

void add_file_pattern(Options* options, const char* pattern) {
  options->pattern_list.emplace_back(pattern);
}

void add_bare_argument(Options* options, const char* argument) {
  std::string full;
  if (!full_path(argument, &full)) return;
  if (is_existing_directory(full.c_str())) {
    add_path(options, full.data());
    return;
  }
  const size_t cut = full.rfind(kPathSeparator);
  std::string directory = cut == std::string::npos ? std::string() : full.substr(0, cut + 1);
  const std::string file = cut == std::string::npos ? full : full.substr(cut + 1);

  bool listed = false;
  if (!options->path_list.empty()) {
    if (directory.size() > 1 && directory.back() == kPathSeparator) directory.pop_back();
    listed = path_index(options).exact.count(directory) != 0;
  }
  if (!listed) add_path(options, directory.data());
  if (file.empty()) return;
  add_file_pattern(options, file.c_str());
}

void add_default_path(Options* options) {
  std::string cwd;
  if (!current_directory(&cwd)) return;
  add_path(options, cwd.data());
}
