#include "decode/folder_contents.h"

#include <cstring>

#include "common/terminal_text.h"

namespace {

// A folder's names are kept a batch at a time: a folder with more entries
// than a batch holds is listed again for the next batch, from where the
// last one ended.  The branch as a whole keeps at most kKeptEntries names
// and kKeptNameBytes of text, so that a deep tree stays small too (each
// folder keeps at least one name).
constexpr size_t kBatchEntries = 4096;
constexpr size_t kKeptEntries = 16 * 1024;
constexpr size_t kKeptNameBytes = 256 * 1024;
// How many folders of the branch are held open at once; the others are
// closed and opened again from their child when the listing returns.
constexpr size_t kOpenFolders = 8;

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool escape_pressed() {
  const int key = console_poll_key();
  return key == 3 || key == 27;
}

CompanionKind kind_of(EntryKind kind) {
  switch (kind) {
    case EntryKind::kRegular: return CompanionKind::kFile;
    case EntryKind::kDirectory: return CompanionKind::kDirectory;
    default: return CompanionKind::kOther;
  }
}

}  // namespace

// Keeps the next batch of a folder's names: it passes over the entries
// earlier batches held, then keeps names while the bounds allow.
class FolderContents::Batch final : public DirEntryVisitor {
 public:
  Batch(FolderContents* owner, Frame* frame) : owner_(owner), frame_(frame) {}

  bool visit(const DirEntry& entry) override {
    if (is_dot_or_dot_dot(entry.name)) return true;
    if (seen_++ < frame_->listed) return true;
    std::vector<Entry>& entries = owner_->entries_;
    std::string& names = owner_->names_;
    const size_t kept = entries.size() - frame_->entries_start;
    if (kept > 0 && (kept >= kBatchEntries || entries.size() >= kKeptEntries ||
                     names.size() + entry.name_length >= kKeptNameBytes)) {
      more_ = true;
      return false;
    }
    entries.push_back({static_cast<uint32_t>(names.size()), entry.kind});
    names.append(entry.name, entry.name_length);
    names.push_back('\0');
    return true;
  }
  bool more() const { return more_; }

 private:
  FolderContents* owner_;
  Frame* frame_;
  uint64_t seen_ = 0;
  bool more_ = false;
};

FolderContents::FolderContents(RecordSink* next) : next_(next) {
  directory_.reserve(1040);
  content_path_.reserve(1040);
  folder_name_.reserve(256);
  parent_source_.reserve(1040);
  names_.reserve(16 * 1024);
  entries_.reserve(256);
  frames_.reserve(64);
  message_.reserve(1040);
}

bool FolderContents::take(const RecycleRecord& record) {
  if (!next_->take(record)) return false;
  const CompanionInfo& companion = record.companion;
  if (companion.kind != CompanionKind::kDirectory || companion.fs == nullptr ||
      companion.folder == kNoDir || companion.name.empty() ||
      record.format == RecordFormat::kContent)
    return true;
  return write_contents(record, companion.fs, companion.folder, companion.name);
}

bool FolderContents::write_contents(const RecycleRecord& record, FileSystem* fs, DirRef folder,
                                    std::string_view name) {
  fs_ = fs;
  // Every content record is the index record's deletion, path and user,
  // with the entry's own place, kind, size and times; it has no index file.
  parent_source_.assign(record.source_prefix);
  parent_source_.append(record.directory);
  parent_source_.append(record.file_name);
  content_ = record;
  content_.format = RecordFormat::kContent;
  content_.opened = true;
  content_.has_fields = false;
  content_.has_size = false;
  content_.size = 0;
  content_.warnings = 0;
  content_.laid_out = LaidOutFields();
  content_.entry_name = {};
  content_.index_created = 0;
  content_.index_modified = 0;
  content_.has_entry = false;
  content_.entry = 0;
  content_.has_offset = false;
  content_.offset = 0;
  content_.parent_source = parent_source_;

  separator_ = record.directory.empty() ? kPathSeparator : record.directory.back();
  directory_.assign(record.directory);
  directory_.append(name);
  directory_.push_back(separator_);
  content_path_.clear();

  folder_name_.assign(name);
  std::string error;
  const DirRef top = fs_->open_subdirectory_anew(folder, folder_name_.c_str(), &error);
  if (top == kNoDir) {
    report_unreadable(directory_, error);
    return true;
  }
  enter(top);

  while (!frames_.empty()) {
    Frame& frame = frames_.back();
    if (frame.next == frame.entries_end) {
      if (!frame.abandoned && !frame.complete && read_batch(&frame)) continue;
      leave();
      continue;
    }
    directory_.resize(frame.directory_length);
    content_path_.resize(frame.content_length);
    const Entry entry = entries_[frame.next++];
    const char* entry_name = names_.c_str() + entry.name;
    if (escape_pressed()) {
      aborted_ = true;
      close_all();
      return false;
    }
    EntryInfo info;
    if (!write_entry(entry_name, entry.kind, &info)) {
      close_all();
      return false;
    }
    // Only a real folder is entered: never a link or junction.
    if (info.kind != EntryKind::kDirectory) continue;
    keep_within_budget();
    const size_t index = frames_.size() - 1;
    const DirRef child = fs_->open_subdirectory_anew(frames_[index].dir, entry_name, &error);
    directory_.append(entry_name);
    directory_.push_back(separator_);
    if (child == kNoDir) {
      report_unreadable(directory_, error);
      continue;
    }
    content_path_.append(entry_name);
    content_path_.push_back('\\');
    enter(child);
  }
  return true;
}

bool FolderContents::write_entry(const char* name, EntryKind listed, EntryInfo* info) {
  const DirRef dir = frames_.back().dir;
  if (!fs_->lookup(dir, name, info)) {
    // Gone since it was listed: what the listing said.
    *info = EntryInfo();
    info->kind = listed;
  }
  CompanionInfo& entry = content_.companion;
  entry = CompanionInfo();
  entry.kind = kind_of(info->kind);
  entry.size = info->kind == EntryKind::kRegular ? info->size : 0;
  entry.times = info->times;
  entry.has_entry = info->has_address;
  entry.entry = info->address;
  entry.fs = fs_;
  entry.folder = dir;
  entry.name = name;
  const size_t length = content_path_.size();
  content_path_.append(name);
  content_.directory = directory_;
  content_.file_name = name;
  content_.content_path = content_path_;
  if (examiner_ != nullptr && entry.kind != CompanionKind::kMissing)
    examiner_->examine(fs_, dir, name, &content_);
  const bool written = next_->take(content_);
  content_path_.resize(length);
  return written;
}

void FolderContents::enter(DirRef dir) {
  Frame frame{};
  frame.dir = dir;
  frame.directory_length = directory_.size();
  frame.content_length = content_path_.size();
  frame.names_start = names_.size();
  frame.entries_start = frame.entries_end = frame.next = entries_.size();
  if (frames_.empty()) first_open_ = 0;
  frames_.push_back(frame);
  ++open_count_;
  read_batch(&frames_.back());
}

bool FolderContents::read_batch(Frame* frame) {
  frame->listed += frame->entries_end - frame->entries_start;
  entries_.resize(frame->entries_start);
  names_.resize(frame->names_start);
  Batch batch(this, frame);
  std::string error;
  if (!fs_->list_directory(frame->dir, "*", &batch, &error)) {
    report_unreadable(std::string_view(directory_.data(), frame->directory_length), error);
    frame->complete = true;  // what was listed stands; nothing more is asked
  } else {
    frame->complete = !batch.more();
  }
  frame->entries_end = entries_.size();
  frame->next = frame->entries_start;
  return frame->entries_end > frame->entries_start;
}

void FolderContents::leave() {
  const size_t index = frames_.size() - 1;
  Frame& done = frames_[index];
  if (index > 0 && frames_[index - 1].dir == kNoDir && !frames_[index - 1].abandoned) {
    // The parent was closed to stay within the budget: it is opened again
    // from here, and must be the folder that was left.
    Frame& parent = frames_[index - 1];
    std::string error = "it was moved or replaced while it was read";
    if (done.dir != kNoDir) parent.dir = fs_->open_parent(done.dir, &error);
    DirIdentity now;
    if (parent.dir != kNoDir && (!parent.identified || !fs_->identify_directory(parent.dir, &now) ||
                                 !(now == parent.identity))) {
      fs_->close_directory(parent.dir);
      parent.dir = kNoDir;
      error = "it was moved or replaced while it was read";
    }
    if (parent.dir == kNoDir) {
      parent.abandoned = true;
      report_unreadable(std::string_view(directory_.data(), parent.directory_length), error);
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
  entries_.resize(done.entries_start);
  frames_.pop_back();
}

void FolderContents::keep_within_budget() {
  if (open_count_ < kOpenFolders) return;
  // The shallowest open folder that is not the one being read.
  for (size_t i = first_open_; i + 1 < frames_.size(); ++i) {
    Frame& frame = frames_[i];
    if (frame.dir == kNoDir) continue;
    frame.identified = fs_->identify_directory(frame.dir, &frame.identity);
    fs_->close_directory(frame.dir);
    frame.dir = kNoDir;
    --open_count_;
    first_open_ = i + 1;
    return;
  }
}

void FolderContents::close_all() {
  for (Frame& frame : frames_)
    if (frame.dir != kNoDir) fs_->close_directory(frame.dir);
  frames_.clear();
  open_count_ = 0;
  first_open_ = 0;
  names_.clear();
  entries_.clear();
}

void FolderContents::report_unreadable(std::string_view directory, const std::string& reason) {
  ++unreadable_;
  message_.assign("\nCan't read directory ");
  append_terminal_text(&message_, directory.data(), directory.size());
  message_.append(": ");
  append_terminal_text(&message_, reason.data(), reason.size());
  message_.push_back('\n');
  write_handle(stderr_handle(), message_.data(), message_.size());
}
