// The depth-first directory walk: each directory's subdirectories first,
// then its own files, pattern by pattern.  Directories are held open by
// handle and everything below one is reached relative to it; full paths
// exist only as text.  The volumes it walks come from a volume source
// (volume_source.h).  This folder includes only common/ and platform/.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/exclusions.h"
#include "common/status.h"
#include "platform/dos_pattern.h"
#include "platform/file_system.h"

// How a walk ended.
enum class WalkStatus {
  kDone,
  kAborted,      // Esc (or Ctrl+C typed as a character)
  kWriteFailed,  // the report could not be written
  kEnded,        // counting a folder's streams ended the run (ended())
};

// What the walk does with each file it selects.
class FileVisitor {
 public:
  virtual ~FileVisitor() = default;
  // `name` in the open directory `dir`, whose path (for text) is
  // `directory`, ending with the path separator.  `kind` is what the
  // listing said the entry is.  False when the report could not be
  // written, which ends the walk.
  virtual bool visit_file(DirRef dir, std::string_view directory, const char* name,
                          EntryKind kind) = 0;
};

struct WalkSettings {
  bool recurse = true;
  // Each directory's path on the error stream before its files are handled
  // (the report goes to an output file and subdirectories are walked).
  bool show_directories = false;
  // Count each directory's named streams (an NTFS volume).
  bool probe_streams = false;
  const ExclusionList* exclude = nullptr;  // the exclusions in force, if any
  // Recycled folders are not searched for index files: a "$R..." folder
  // whose "$I..." entry is beside it is what a user deleted, and whatever
  // it holds (a file named like an index file too) is its content.
  bool skip_recycled_folders = false;
};

// One directory of the branch being walked.
struct WalkFrame {
  DirRef dir;                 // kNoDir while closed to stay within the budget
  size_t path_length;         // of path_ with this directory in it
  size_t names_start;
  size_t subdirectories_start, subdirectories_end, next_subdirectory;
  size_t files_start, files_end;
  bool files_complete;        // every selected file is in files_
  bool abandoned;             // lost during the walk: nothing more is read
  bool identified;
  DirIdentity identity;       // taken when the handle was closed
};

// The walk's buffers, made before the walk so that running out of memory
// shows there, each with its own message.
struct WalkBuffers {
  std::string path;     // the directory being walked, as text
  std::string message;
  std::string names;    // names of subdirectories and files kept for later
  std::vector<WalkFrame> frames;  // the branch, deepest last
};
// Reserves the buffers; the run ends with code 6 when one cannot be had.
Status reserve_walk_buffers(WalkBuffers* buffers);

class Walker {
 public:
  // `buffers` reserved beforehand (reserve_walk_buffers), or null for
  // buffers of the walker's own.
  Walker(FileSystem* fs, FileVisitor* visitor, const WalkSettings& settings,
         WalkBuffers* buffers = nullptr);

  // Walks the directory named `directory` (ending with the path
  // separator) with the file patterns in force, up to the first that
  // starts with "-".
  WalkStatus walk(const std::string& directory, const std::vector<std::string>& patterns);

  // Directories that could not be read so far; each was named on the error
  // stream.
  int unreadable_directories() const { return unreadable_; }
  // After kEnded: how the run ends.
  Status ended() const { return ended_; }

 private:
  class Lister;
  // The files of the frame being handled that the walk hands over next.
  class Upcoming final : public UpcomingFiles {
   public:
    explicit Upcoming(Walker* walker) : walker_(walker) {}
    void start(size_t first, size_t end, DosPattern* pattern) {
      next_ = first;
      end_ = end;
      pattern_ = pattern;
    }
    // The file at `index` of files_ is the one handed over now.
    void at(size_t index) { next_ = index + 1; }
    bool upcoming(size_t ahead, const char** name, EntryKind* kind) override;

   private:
    Walker* walker_;
    size_t next_ = 0, end_ = 0;
    DosPattern* pattern_ = nullptr;  // null: every file kept
  };

  // False when counting the directory's streams ended the run.
  bool enter(DirRef dir);
  void leave();
  WalkStatus handle_files(size_t index);
  WalkStatus relist_files(size_t index);
  WalkStatus hand_over(DirRef dir, const char* name, EntryKind kind);
  void keep_within_budget();
  void close_all();
  void report_unreadable(std::string_view directory, const std::string& reason);
  void compile_patterns(const std::vector<std::string>& patterns);
  bool any_pattern_matches(const char* name);
  // Whether the subdirectory `name` of `dir` is a recycled folder.
  bool is_recycled_folder(DirRef dir, const char* name);

  FileSystem* fs_;
  FileVisitor* visitor_;
  WalkSettings settings_;
  int unreadable_ = 0;
  Status ended_;
  WalkBuffers own_;

  // The branch being walked, deepest last.  Names of subdirectories still
  // to walk and of files kept for after them are stacked in `names_`,
  // `subdirectories_` and `files_`, each frame's above its parent's.
  std::vector<WalkFrame>& frames_;
  std::string& names_;
  std::vector<uint32_t> subdirectories_;
  struct KeptFile {
    uint32_t name;
    EntryKind kind;
  };
  std::vector<KeptFile> files_;
  std::string& path_;  // the directory being walked, as text
  size_t open_count_ = 0;
  size_t first_open_ = 0;  // frames below this one are closed
  size_t budget_;
  std::string& message_;
  // The file patterns in force, compiled, and their text for the systems
  // whose search is given each pattern.
  std::vector<DosPattern> patterns_;
  std::vector<std::string> pattern_text_;
  Upcoming upcoming_{this};
  std::string index_name_;  // a recycled folder's index file's name
};

// True when the user pressed Esc (or Ctrl+C typed as a character).
bool key_abort_requested();
