#include "walk/walk.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/streams.h"
#include "driver/exit.h"
#include "options/options.h"
#include "recycle/decoder.h"
#include "runlog/volume.h"
#include "walk/exclude.h"
#include "walk/path_list.h"

namespace {

void decode(const char* directory, const char* file_name, EntryKind kind) {
  decode_index_file(directory, file_name, kind);
}

std::string g_searchstr;
std::string g_file_searchstr;
std::string g_scratch_path;

}  // namespace

FileHandler g_file_handler = decode;

void reserve_walk_buffers() {
  g_searchstr.reserve(1040);
  g_file_searchstr.reserve(1040);
  g_scratch_path.reserve(1040);
}

bool key_abort_requested() {
  const int key = console_poll_key();
  return key == 3 || key == 27;
}

void walk_directory(const char* directory) {
  g_searchstr.assign(directory);
  g_searchstr.append("*.*");
  FindData entry;
  DirSearch* search = find_first(g_searchstr.c_str(), &entry);
  if (!search) return;

  if (g_volume_type == VolumeType::kNtfs) {
    g_scratch_path.assign(directory);
    if (g_scratch_path.size() > 1 && g_scratch_path.back() == kPathSeparator)
      g_scratch_path.pop_back();
    probe_streams(g_scratch_path.c_str());
  }

  if (g_options.recurse) {
    // The subdirectory names are taken first and the search closed before
    // any of them is walked, so that a deep tree never holds one open
    // search per level.
    std::vector<std::string> subdirectories;
    do {
      if (!(entry.attributes & kAttrDirectory)) continue;
      if (strcmp(entry.name, ".") == 0 || strcmp(entry.name, "..") == 0) continue;
      std::string path(directory);
      path.append(entry.name);
      path.push_back(kPathSeparator);
      subdirectories.push_back(std::move(path));
    } while (find_next(search, &entry));
    find_close(search);
    for (const std::string& sub : subdirectories) walk_directory(sub.c_str());
  } else {
    find_close(search);
  }

  if (g_options.output_to_file && g_options.recurse) fprintf(stderr, "\n%.75s", directory);
  process_directory_files(directory);
}

void process_directory_files(const char* directory) {
  for (const std::string& pattern : g_pattern_list) {
    if (pattern[0] == '-') break;
    g_file_searchstr.assign(directory);
    g_file_searchstr.append(pattern);
    FindData entry;
    DirSearch* search = find_first(g_file_searchstr.c_str(), &entry);
    if (!search) continue;
    do {
      if (key_abort_requested()) exit_program(USER_ABORTED);
      if (entry.attributes & kAttrDirectory) continue;
      if (g_options.exclude_active && is_excluded(entry.name)) continue;
      g_file_handler(directory, entry.name, entry.kind);
    } while (find_next(search, &entry));
    find_close(search);
  }
}
