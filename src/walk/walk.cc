#include "walk/walk.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/memory.h"
#include "common/streams.h"
#include "driver/exit.h"
#include "options/options.h"
#include "platform/dos_pattern.h"
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

// What one reading of a directory keeps for after its subdirectories have
// been walked: the subdirectory names, and the files that some pattern
// selects, as long as they fit.  One per depth, reused by every directory
// at that depth.
struct Level {
  std::string names;                  // NUL-separated
  std::vector<uint32_t> subdirectories;
  struct File {
    uint32_t name;
    EntryKind kind;
  };
  std::vector<File> files;
  bool files_complete = true;         // false when the files did not fit
};

// Bounded, so that memory stays the same whatever the size of the bin: a
// directory with more selected files than this is read again, pattern by
// pattern, after its subdirectories (two more reads of a large directory).
constexpr size_t kLevelFileBytes = 16 * 1024;
constexpr size_t kLevelFiles = 1024;

std::vector<Level> g_levels;
size_t g_depth = 0;

// The file patterns in force (up to one that starts with "-"), compiled.
std::vector<DosPattern> g_patterns;
std::vector<std::string> g_compiled_from;

void compile_patterns() {
  if (g_compiled_from == g_pattern_list) return;
  g_patterns.clear();
  for (const std::string& pattern : g_pattern_list) {
    if (pattern[0] == '-') break;
    g_patterns.emplace_back();
    g_patterns.back().compile(pattern.c_str());
  }
  g_compiled_from = g_pattern_list;
}

bool any_pattern_matches(const char* name) {
  for (DosPattern& p : g_patterns)
    if (p.matches(name)) return true;
  return false;
}

uint32_t keep_name(Level* level, const char* name) {
  const uint32_t at = static_cast<uint32_t>(level->names.size());
  level->names.append(name);
  level->names.push_back('\0');
  return at;
}

// Hands one file to the decoder, unless Esc was pressed or it is excluded.
void handle_file(const char* directory, const char* name, EntryKind kind) {
  if (key_abort_requested()) exit_program(USER_ABORTED);
  if (g_options.exclude_active && is_excluded(name)) return;
  g_file_handler(directory, name, kind);
}

}  // namespace

FileHandler g_file_handler = decode;

void reserve_walk_buffers() {
  if (!allocation_succeeds([] { g_searchstr.reserve(1040); })) {
    fprintf(stderr, "\n%d %c%cbinsift\nCouldn't create g_searchstr buffer\n", 517, '.',
            kPathSeparator);
    exit_program(INSUFFICIENT_MEMORY);
  }
  if (!allocation_succeeds([] { g_file_searchstr.reserve(1040); })) {
    fprintf(stderr, "\nLine #: %d,  memory error", 525);
    exit_program(INSUFFICIENT_MEMORY);
  }
  if (!allocation_succeeds([] { g_scratch_path.reserve(1040); })) {
    fprintf(stderr, "\nLine #: %d,  memory error", 534);
    exit_program(INSUFFICIENT_MEMORY);
  }
}

bool key_abort_requested() {
  const int key = console_poll_key();
  return key == 3 || key == 27;
}

void walk_directory(const char* directory) {
  compile_patterns();
  g_searchstr.assign(directory);
  g_searchstr.append("*.*");
  FindData entry;
  DirSearch* search = find_first(g_searchstr.c_str(), &entry);
  if (!search) {
    // A directory that is there but cannot be read is named, so that the
    // report is never taken for complete when part of the bin was not read.
    std::string reason;
    if (last_search_unreadable(&reason))
      fprintf(stderr, "\nCan't read directory %s: %s\n", directory, reason.c_str());
    return;
  }

  if (g_volume_type == VolumeType::kNtfs) {
    g_scratch_path.assign(directory);
    if (g_scratch_path.size() > 1 && g_scratch_path.back() == kPathSeparator)
      g_scratch_path.pop_back();
    probe_streams(g_scratch_path.c_str());
  }

  // One reading of the directory gives its subdirectories and, while they
  // fit, the files the patterns select; the search is closed before any
  // subdirectory is walked, so a deep tree holds one open directory at most.
  if (g_levels.size() <= g_depth) g_levels.resize(g_depth + 1);
  Level* level = &g_levels[g_depth];
  level->names.clear();
  level->subdirectories.clear();
  level->files.clear();
  level->files_complete = !kDirectorySearchPerPattern;
  do {
    if (entry.attributes & kAttrDirectory) {
      // Only real directories are entered: never a link or junction.
      if (!g_options.recurse || entry.kind != EntryKind::kDirectory) continue;
      if (strcmp(entry.name, ".") == 0 || strcmp(entry.name, "..") == 0) continue;
      level->subdirectories.push_back(keep_name(level, entry.name));
    } else if (level->files_complete && any_pattern_matches(entry.name)) {
      if (level->names.size() + strlen(entry.name) >= kLevelFileBytes ||
          level->files.size() >= kLevelFiles) {
        level->files_complete = false;
        continue;
      }
      level->files.push_back({keep_name(level, entry.name), entry.kind});
    }
  } while (find_next(search, &entry));
  find_close(search);

  ++g_depth;
  for (size_t i = 0; i < g_levels[g_depth - 1].subdirectories.size(); ++i) {
    // One path per subdirectory (not per file); a local string, since
    // walking below may move the level buffers.
    const Level& here = g_levels[g_depth - 1];
    std::string path(directory);
    path.append(here.names.c_str() + here.subdirectories[i]);
    path.push_back(kPathSeparator);
    walk_directory(path.c_str());
  }
  --g_depth;

  if (g_options.output_to_file && g_options.recurse) fprintf(stderr, "\n%.75s", directory);
  level = &g_levels[g_depth];
  if (level->files_complete) {
    // With one pattern every file kept has matched it already.
    const bool single = g_patterns.size() == 1;
    for (DosPattern& pattern : g_patterns) {
      for (const Level::File& file : level->files) {
        const char* name = level->names.c_str() + file.name;
        if (single || pattern.matches(name)) handle_file(directory, name, file.kind);
      }
    }
  } else {
    process_directory_files(directory);
  }
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
      if (entry.attributes & kAttrDirectory) {
        if (key_abort_requested()) exit_program(USER_ABORTED);
        continue;
      }
      handle_file(directory, entry.name, entry.kind);
    } while (find_next(search, &entry));
    find_close(search);
  }
}
