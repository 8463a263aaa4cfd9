#include "walk/path_list.h"

#include <cstring>

#include "platform/platform.h"

std::vector<std::string> g_path_list;
std::vector<std::string> g_pattern_list;

void add_path(char* name) {
  if (name[0] == '\0') return;  // an empty name would walk the root
  for (const std::string& entry : g_path_list)
    if (same_path_name(entry.c_str(), name)) return;

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
  for (const std::string& entry : g_path_list) {
    if (directory.size() > 1 && directory.back() == kPathSeparator) directory.pop_back();
    if (entry == directory) {
      listed = true;
      break;
    }
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
  char& c = (*entry)[0];
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}
