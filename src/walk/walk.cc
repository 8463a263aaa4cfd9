#include "walk/walk.h"

#include <cstdio>
#include <cstring>

#include "common/memory.h"
#include "common/terminal_text.h"
#include "walk/streams.h"

namespace {

// Bounded, so that memory stays small whatever the size of the bin: a
// directory with more selected files than this is listed again, pattern by
// pattern, after its subdirectories (which costs the system a second reading
// of the whole directory, so the bounds hold the folders of a large bin).
// The branch as a whole keeps at most kKeptFilesTotal files and
// kKeptNameBytes of names, so that a deep tree stays small too.
constexpr size_t kLevelFileBytes = 256 * 1024;
constexpr size_t kLevelFiles = 16 * 1024;
constexpr size_t kKeptFilesTotal = 32 * 1024;
constexpr size_t kKeptNameBytes = 512 * 1024;

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

bool key_abort_requested() {
  const int key = console_poll_key();
  return key == 3 || key == 27;
}

// Collects one directory's listing into the walk's stacks.
class Walker::Lister final : public DirEntryVisitor {
 public:
  Lister(Walker* walker, WalkFrame* frame) : walker_(walker), frame_(frame) {}

  bool visit(const DirEntry& entry) override {
    Walker& w = *walker_;
    if (entry.directory) {
      // Only real directories are entered: never a link or junction.
      if (!w.settings_.recurse || entry.kind != EntryKind::kDirectory) return true;
      if (is_dot_or_dot_dot(entry.name)) return true;
      w.subdirectories_.push_back(keep(entry));
      return true;
    }
    if (!frame_->files_complete || !w.any_pattern_matches(entry.name)) return true;
    if (file_bytes_ + entry.name_length >= kLevelFileBytes ||
        w.files_.size() - frame_->files_start >= kLevelFiles ||
        w.files_.size() >= kKeptFilesTotal || w.names_.size() >= kKeptNameBytes) {
      frame_->files_complete = false;
      return true;
    }
    file_bytes_ += entry.name_length + 1;
    w.files_.push_back({keep(entry), entry.kind});
    return true;
  }

 private:
  uint32_t keep(const DirEntry& entry) {
    std::string& names = walker_->names_;
    const uint32_t at = static_cast<uint32_t>(names.size());
    names.append(entry.name, entry.name_length);
    names.push_back('\0');
    return at;
  }

  Walker* walker_;
  WalkFrame* frame_;
  size_t file_bytes_ = 0;
};

Status reserve_walk_buffers(WalkBuffers* b) {
  // Each ended with its own message when it cannot be had.
  if (!allocation_succeeds([b] { b->path.reserve(1040); })) {
    fprintf(stderr, "\n%d %c%cbinsift\nCouldn't create g_searchstr buffer\n", 517, '.',
            kPathSeparator);
    return Status::end(INSUFFICIENT_MEMORY);
  }
  if (!allocation_succeeds([b] { b->message.reserve(1040); })) {
    fprintf(stderr, "\nLine #: %d,  memory error", 525);
    return Status::end(INSUFFICIENT_MEMORY);
  }
  if (!allocation_succeeds([b] {
        b->names.reserve(16 * 1024);
        b->frames.reserve(64);
      })) {
    fprintf(stderr, "\nLine #: %d,  memory error", 534);
    return Status::end(INSUFFICIENT_MEMORY);
  }
  return Status();
}

Walker::Walker(FileSystem* fs, FileVisitor* visitor, const WalkSettings& settings,
               WalkBuffers* buffers)
    : fs_(fs),
      visitor_(visitor),
      settings_(settings),
      frames_(buffers ? buffers->frames : own_.frames),
      names_(buffers ? buffers->names : own_.names),
      path_(buffers ? buffers->path : own_.path),
      budget_(fs->open_directory_budget()),
      message_(buffers ? buffers->message : own_.message) {
  if (budget_ < 2) budget_ = 2;
}

void Walker::compile_patterns(const std::vector<std::string>& patterns) {
  patterns_.clear();
  pattern_text_.clear();
  for (const std::string& pattern : patterns) {
    if (pattern.empty() || pattern[0] == '-') break;
    pattern_text_.push_back(pattern);
    patterns_.emplace_back();
    patterns_.back().compile(pattern.c_str());
  }
}

bool Walker::any_pattern_matches(const char* name) {
  for (DosPattern& p : patterns_)
    if (p.matches(name)) return true;
  return false;
}

bool Walker::is_recycled_folder(DirRef dir, const char* name) {
  if (name[0] != '$' || name[1] != 'R' || name[2] == '\0') return false;
  // The index file is the same name with "$I" (as Windows writes it, or
  // "$i") in place of "$R".
  for (const char* prefix : {"$I", "$i"}) {
    index_name_.assign(prefix);
    index_name_.append(name + 2);
    EntryInfo info;
    if (fs_->lookup(dir, index_name_.c_str(), &info) && info.kind != EntryKind::kDirectory)
      return true;
  }
  return false;
}

void Walker::report_unreadable(std::string_view directory, const std::string& reason) {
  ++unreadable_;
  message_.assign("\nCan't read directory ");
  append_terminal_text(&message_, directory.data(), directory.size());
  message_.append(": ");
  append_terminal_text(&message_, reason.data(), reason.size());
  message_.push_back('\n');
  write_handle(stderr_handle(), message_.data(), message_.size());
}

WalkStatus Walker::walk(const std::string& directory, const std::vector<std::string>& patterns) {
  compile_patterns(patterns);
  path_.assign(directory);
  std::string error;
  const DirRef root = fs_->open_directory(directory.c_str(), &error);
  if (root == kNoDir) {
    report_unreadable(path_, error);
    return WalkStatus::kDone;
  }
  if (!enter(root)) {
    close_all();
    return WalkStatus::kEnded;
  }

  while (!frames_.empty()) {
    const size_t index = frames_.size() - 1;
    WalkFrame& frame = frames_[index];
    if (!frame.abandoned && frame.next_subdirectory < frame.subdirectories_end) {
      const char* name = names_.c_str() + subdirectories_[frame.next_subdirectory++];
      if (settings_.skip_recycled_folders && is_recycled_folder(frame.dir, name)) continue;
      path_.resize(frame.path_length);
      path_.append(name);
      path_.push_back(kPathSeparator);
      keep_within_budget();
      const DirRef child = fs_->open_subdirectory(frames_[index].dir, name, &error);
      if (child == kNoDir) {
        report_unreadable(path_, error);
        path_.resize(frames_[index].path_length);
        continue;
      }
      if (!enter(child)) {
        close_all();
        return WalkStatus::kEnded;
      }
      continue;
    }
    path_.resize(frame.path_length);
    const WalkStatus status = frame.abandoned ? WalkStatus::kDone : handle_files(index);
    if (status != WalkStatus::kDone) {
      close_all();
      return status;
    }
    leave();
  }
  return WalkStatus::kDone;
}

bool Walker::enter(DirRef dir) {
  WalkFrame frame{};
  frame.dir = dir;
  frame.path_length = path_.size();
  frame.names_start = names_.size();
  frame.subdirectories_start = subdirectories_.size();
  frame.next_subdirectory = frame.subdirectories_start;
  frame.files_start = files_.size();
  frame.files_complete = !fs_->search_per_pattern();
  if (frames_.empty()) first_open_ = 0;
  frames_.push_back(frame);
  ++open_count_;
  WalkFrame& here = frames_.back();

  if (settings_.probe_streams) {
    ended_ = probe_streams(fs_, dir);
    if (!ended_.ok()) return false;
  }

  // One listing gives the subdirectories and, while they fit, the files
  // the patterns select.
  Lister lister(this, &here);
  std::string error;
  if (!fs_->list_directory(dir, "*", &lister, &error)) report_unreadable(path_, error);
  here.subdirectories_end = subdirectories_.size();
  here.files_end = files_.size();
  return true;
}

void Walker::leave() {
  const size_t index = frames_.size() - 1;
  WalkFrame& done = frames_[index];
  if (index > 0 && frames_[index - 1].dir == kNoDir) {
    // The parent was closed to stay within the budget: it is opened again
    // from here, and must be the directory that was left.
    WalkFrame& parent = frames_[index - 1];
    std::string error = "it was moved or replaced during the walk";
    if (done.dir != kNoDir) parent.dir = fs_->open_parent(done.dir, &error);
    DirIdentity now;
    if (parent.dir != kNoDir &&
        (!parent.identified || !fs_->identify_directory(parent.dir, &now) ||
         !(now == parent.identity))) {
      fs_->close_directory(parent.dir);
      parent.dir = kNoDir;
      error = "it was moved or replaced during the walk";
    }
    if (parent.dir == kNoDir) {
      parent.abandoned = true;
      report_unreadable(std::string_view(path_.data(), parent.path_length), error);
    } else {
      ++open_count_;
    }
    first_open_ = index - 1;
  }
  if (done.dir != kNoDir) {
    fs_->close_directory(done.dir);
    --open_count_;
  }
  names_.resize(done.names_start);
  subdirectories_.resize(done.subdirectories_start);
  files_.resize(done.files_start);
  frames_.pop_back();
}

void Walker::keep_within_budget() {
  if (open_count_ < budget_) return;
  // The shallowest open directory that is not the one being read from;
  // every frame below first_open_ is closed already.
  for (size_t i = first_open_; i + 1 < frames_.size(); ++i) {
    WalkFrame& frame = frames_[i];
    if (frame.dir == kNoDir) continue;
    frame.identified = fs_->identify_directory(frame.dir, &frame.identity);
    fs_->close_directory(frame.dir);
    frame.dir = kNoDir;
    --open_count_;
    first_open_ = i + 1;
    return;
  }
}

void Walker::close_all() {
  for (WalkFrame& frame : frames_)
    if (frame.dir != kNoDir) fs_->close_directory(frame.dir);
  frames_.clear();
  open_count_ = 0;
  first_open_ = 0;
  names_.clear();
  subdirectories_.clear();
  files_.clear();
}

WalkStatus Walker::hand_over(DirRef dir, const char* name, EntryKind kind) {
  if (key_abort_requested()) return WalkStatus::kAborted;
  if (settings_.exclude && settings_.exclude->excludes(name)) return WalkStatus::kDone;
  return visitor_->visit_file(dir, path_, name, kind) ? WalkStatus::kDone
                                                      : WalkStatus::kWriteFailed;
}

bool Walker::Upcoming::upcoming(size_t ahead, const char** name, EntryKind* kind) {
  Walker& w = *walker_;
  for (size_t i = next_; i < end_; ++i) {
    const char* file = w.names_.c_str() + w.files_[i].name;
    // Only what hand_over passes to the visitor.
    if (pattern_ != nullptr && !pattern_->matches(file)) continue;
    if (w.settings_.exclude && w.settings_.exclude->excludes(file)) continue;
    if (--ahead == 0) {
      *name = file;
      *kind = w.files_[i].kind;
      return true;
    }
  }
  return false;
}

WalkStatus Walker::handle_files(size_t index) {
  if (settings_.show_directories) {
    message_.assign("\n");
    append_terminal_text(&message_, path_.data(), path_.size() < 75 ? path_.size() : 75);
    write_handle(stderr_handle(), message_.data(), message_.size());
  }
  const WalkFrame& frame = frames_[index];
  if (!frame.files_complete) return relist_files(index);
  // With one pattern every file kept has matched it already.
  const bool single = patterns_.size() == 1;
  WalkStatus status = WalkStatus::kDone;
  for (DosPattern& pattern : patterns_) {
    upcoming_.start(frame.files_start, frame.files_end, single ? nullptr : &pattern);
    fs_->set_upcoming(frame.dir, &upcoming_);
    for (size_t i = frame.files_start; i < frame.files_end && status == WalkStatus::kDone; ++i) {
      const char* name = names_.c_str() + files_[i].name;
      if (!single && !pattern.matches(name)) continue;
      upcoming_.at(i);
      status = hand_over(frame.dir, name, files_[i].kind);
    }
    fs_->set_upcoming(frame.dir, nullptr);
    if (status != WalkStatus::kDone) break;
  }
  return status;
}

WalkStatus Walker::relist_files(size_t index) {
  // Hands every file that one pattern's listing yields to the visitor.
  class Relister final : public DirEntryVisitor {
   public:
    Relister(Walker* walker, DirRef dir) : walker_(walker), dir_(dir) {}
    bool visit(const DirEntry& entry) override {
      if (entry.directory) {
        if (key_abort_requested()) status_ = WalkStatus::kAborted;
      } else {
        status_ = walker_->hand_over(dir_, entry.name, entry.kind);
      }
      return status_ == WalkStatus::kDone;
    }
    WalkStatus status() const { return status_; }

   private:
    Walker* walker_;
    DirRef dir_;
    WalkStatus status_ = WalkStatus::kDone;
  };

  const DirRef dir = frames_[index].dir;
  Relister lister(this, dir);
  for (const std::string& pattern : pattern_text_) {
    std::string error;
    if (!fs_->list_directory(dir, pattern.c_str(), &lister, &error)) report_unreadable(path_, error);
    if (lister.status() != WalkStatus::kDone) return lister.status();
  }
  return WalkStatus::kDone;
}
