#include "collect/collector.h"

#include <algorithm>

#include "report/record_text.h"

namespace {

// How many levels of a folder's tree keep their folders (of the source and
// of the copy) open; the levels above are closed and opened again, from the
// level below, when the copy comes back to them.
constexpr size_t kOpenLevels = 64;

constexpr int kMostNumbers = 100000;

// The bytes of a file as they are read, into the copy.
class CopyWriter final : public ByteSink {
 public:
  CopyWriter(CopyTarget* target, TargetRef file, std::string* reason)
      : target_(target), file_(file), reason_(reason) {}
  bool write(const unsigned char* data, size_t size) override {
    return target_->write(file_, data, size, reason_);
  }

 private:
  CopyTarget* target_;
  TargetRef file_;
  std::string* reason_;
};

class NameCollector final : public DirEntryVisitor {
 public:
  explicit NameCollector(std::vector<std::pair<std::string, EntryKind>>* out) : out_(out) {}
  bool visit(const DirEntry& entry) override {
    const std::string_view name(entry.name, entry.name_length);
    if (name == "." || name == "..") return true;
    out_->emplace_back(std::string(name), entry.kind);
    return true;
  }

 private:
  std::vector<std::pair<std::string, EntryKind>>* out_;
};

}  // namespace

// One folder of a companion's tree being copied: its handles, its times,
// and the folders in it still to copy.
struct Collector::Frame {
  DirRef source = kNoDir;
  TargetRef copy = kNoTarget;
  EntryTimes times;
  bool renamed = false;
  // What the source folder is, to know it again when it is opened anew.
  bool identified = false;
  DirIdentity identity;
  // The lengths of the paths before this folder's name was added.
  size_t copy_length = 0, source_length = 0, original_length = 0;
  std::vector<std::pair<std::string, EntryTimes>> folders;  // still to copy, last first
};

Collector::Collector(std::unique_ptr<CopyTarget> target, FileDigests* digests,
                     CollectMessages* messages)
    : target_(std::move(target)), digests_(digests), messages_(messages) {}

Collector::~Collector() = default;

bool Collector::start(std::string* reason) {
  bool taken = false;
  manifest_ = target_->create_file(target_->root(), "manifest.jsonl", &taken, reason);
  if (manifest_ == kNoTarget && taken) *reason = "manifest.jsonl exists";
  return manifest_ != kNoTarget;
}

bool Collector::finish() {
  if (manifest_ == kNoTarget) return !write_failed_;
  std::string reason;
  if (!target_->finish_file(manifest_, 0, 0, &reason)) {
    tell("write the manifest", "manifest.jsonl", reason);
    write_failed_ = true;
  }
  manifest_ = kNoTarget;
  return !write_failed_;
}

bool Collector::safe_component(std::string_view name, size_t limit, std::string* out) {
  out->clear();
  bool changed = false;
  for (char c : name) {
    if (c == '/' || c == '\0') {
      out->push_back('_');
      changed = true;
    } else {
      out->push_back(c);
    }
  }
  if (out->empty() || *out == "." || *out == "..") {
    out->assign(out->empty() ? 1 : out->size(), '_');
    changed = true;
  }
  if (out->size() > limit) {
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>((*out)[cut]) & 0xC0) == 0x80) --cut;
    out->resize(cut);
    changed = true;
  }
  return changed;
}

bool Collector::safe_name(std::string_view name, std::string* out) {
  const size_t limit = target_->name_limit();
  bool changed = safe_component(name, limit, out);
  // What else this system cannot hold; a name that grew past the limit is
  // cut and looked at again (the cut may end it with a dot).
  if (target_->mend_name(out)) {
    changed = true;
    if (out->size() > limit) {
      scratch_.assign(*out);
      safe_component(scratch_, limit, out);
      target_->mend_name(out);
    }
  }
  return changed;
}

void Collector::numbered(std::string_view name, int n, size_t limit, std::string* out) {
  const std::string suffix = " (" + std::to_string(n) + ")";
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) dot = name.size();
  std::string_view stem = name.substr(0, dot);
  const std::string_view extension = name.substr(dot);
  if (stem.size() + suffix.size() + extension.size() > limit) {
    size_t keep = limit > suffix.size() + extension.size() ? limit - suffix.size() - extension.size()
                                                           : 0;
    while (keep > 0 && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80) --keep;
    stem = stem.substr(0, keep);
  }
  out->assign(stem);
  out->append(suffix);
  if (out->size() + extension.size() <= limit) out->append(extension);
}

void Collector::tell(const char* what, std::string_view path, const std::string& reason) {
  std::string text = "Can't ";
  text.append(what).append(" ");
  text.append(path).append(": ").append(reason);
  messages_->problem(text);
}

TargetRef Collector::make_folder(TargetRef parent, std::string_view name, bool reuse,
                                 std::string* made, bool* renamed) {
  *renamed = safe_name(name, &name_);
  std::string reason;
  for (int n = 1; n < kMostNumbers; ++n) {
    if (n == 1) {
      made->assign(name_);
    } else {
      numbered(name_, n, target_->name_limit(), made);
      *renamed = true;
    }
    bool taken = false;
    const TargetRef folder = target_->make_folder(parent, made->c_str(), reuse, &taken, &reason);
    if (folder != kNoTarget) return folder;
    if (!taken) break;
  }
  if (reason.empty()) reason = "every numbered name is taken";
  scratch_.assign(copy_path_);
  if (!scratch_.empty()) scratch_.push_back('/');
  scratch_.append(*made);
  tell("make the folder", scratch_, reason);
  write_failed_ = true;
  return kNoTarget;
}

void Collector::collect(FileSystem* fs, DirRef dir, EntryKind kind, const EntryTimes& times,
                        const CollectItem& item) {
  last_read_whole_ = false;
  if (kind != EntryKind::kRegular && kind != EntryKind::kDirectory) return;
  item_ = &item;
  copy_path_.clear();
  bool renamed_above = false, renamed = false;
  std::string& made = folder_made_;
  const std::string_view sid = item.user_sid.empty() ? std::string_view("no-sid") : item.user_sid;
  const TargetRef sid_folder = make_folder(target_->root(), sid, true, &made, &renamed);
  if (sid_folder == kNoTarget) return;
  renamed_above |= renamed;
  copy_path_.assign(made);
  const TargetRef entry_folder = make_folder(sid_folder, item.entry_name, true, &made, &renamed);
  target_->close_folder(sid_folder, 0, 0);
  if (entry_folder == kNoTarget) return;
  renamed_above |= renamed;
  copy_path_.append("/").append(made);

  // The item's own name: the last component of its original path, or its
  // name in the bin when the path is not known.
  std::string_view want = item.original_path;
  const size_t cut = want.rfind('\\');
  if (cut != std::string_view::npos) want.remove_prefix(cut + 1);
  if (item.original_path.empty()) {
    want = item.companion_name;
    renamed_above = true;
  }
  source_path_.assign(item.source);
  original_path_.assign(item.original_path);

  if (kind == EntryKind::kRegular) {
    copy_file(fs, dir, item.companion_name.data(), entry_folder, want, times, renamed_above);
    target_->close_folder(entry_folder, 0, 0);
    return;
  }
  const TargetRef top = make_folder(entry_folder, want, false, &made, &renamed);
  target_->close_folder(entry_folder, 0, 0);
  if (top == kNoTarget) return;
  copy_path_.append("/").append(made);
  std::string reason;
  const DirRef source = fs->open_subdirectory_anew(dir, item.companion_name.data(), &reason);
  if (source == kNoDir) {
    tell("read the folder", item.source, reason);
    read_failed_ = true;
    target_->close_folder(top, times.last_write, times.last_access);
    return;
  }
  copy_tree(fs, source, top, times, renamed_above || renamed);
}

bool Collector::copy_file(FileSystem* fs, DirRef dir, const char* name, TargetRef parent,
                          std::string_view want, const EntryTimes& times, bool renamed_above) {
  const size_t copy_length = copy_path_.size();
  bool renamed = safe_name(want, &safe_);
  const std::string& safe = safe_;
  std::string& made = file_made_;
  std::string reason;
  TargetRef file = kNoTarget;
  for (int n = 1; n < kMostNumbers && file == kNoTarget; ++n) {
    if (n == 1) {
      made = safe;
    } else {
      numbered(safe, n, target_->name_limit(), &made);
      renamed = true;
    }
    bool taken = false;
    file = target_->create_file(parent, made.c_str(), &taken, &reason);
    if (file == kNoTarget && !taken) break;
  }
  copy_path_.append("/").append(made);
  if (file == kNoTarget) {
    if (reason.empty()) reason = "every numbered name is taken";
    tell("make the copy", copy_path_, reason);
    write_failed_ = true;
    copy_path_.resize(copy_length);
    return false;
  }
  std::string write_reason;
  CopyWriter writer(target_.get(), file, &write_reason);
  uint64_t size = 0;
  const DigestOutcome outcome = digests_->read(fs, dir, name, &writer, &size, &reason);
  bool kept = false;
  switch (outcome) {
    case DigestOutcome::kDone:
      if (target_->finish_file(file, times.last_write, times.last_access, &write_reason)) {
        kept = true;
      } else {
        tell("write the copy", copy_path_, write_reason);
        write_failed_ = true;
      }
      break;
    case DigestOutcome::kSinkFailed:
      tell("write the copy", copy_path_, write_reason);
      write_failed_ = true;
      target_->discard_file(parent, made.c_str(), file);
      break;
    case DigestOutcome::kNotOpened:
    case DigestOutcome::kReadFailed:
      tell("read", source_path_, reason);
      read_failed_ = true;
      target_->discard_file(parent, made.c_str(), file);
      break;
  }
  last_read_whole_ = outcome == DigestOutcome::kDone;
  if (kept) write_manifest_line(size, renamed || renamed_above);
  copy_path_.resize(copy_length);
  return kept;
}

void Collector::copy_tree(FileSystem* fs, DirRef top, TargetRef target, const EntryTimes& times,
                          bool renamed_above) {
  std::vector<Frame> frames;
  std::vector<std::pair<std::string, EntryKind>> entries;
  std::string reason;
  std::string& made = folder_made_;

  // Lists the folder of the top frame, copies its files and keeps its
  // folders for later.
  auto enter = [&](Frame& frame) {
    entries.clear();
    NameCollector names(&entries);
    if (!fs->list_directory(frame.source, "*", &names, &reason)) {
      tell("read the folder", source_path_, reason);
      read_failed_ = true;
    }
    for (const auto& [name, kind] : entries) {
      EntryInfo info;
      if (!fs->lookup(frame.source, name.c_str(), &info)) continue;
      if (info.kind == EntryKind::kDirectory) {
        frame.folders.emplace_back(name, info.times);
        continue;
      }
      if (info.kind != EntryKind::kRegular) continue;  // links and the like are not followed
      const size_t source_length = source_path_.size(), original_length = original_path_.size();
      source_path_.append(1, kPathSeparator).append(name);
      original_path_.append("\\").append(name);
      copy_file(fs, frame.source, name.c_str(), frame.copy, name, info.times, frame.renamed);
      source_path_.resize(source_length);
      original_path_.resize(original_length);
    }
    // Taken from the back: the first listed first.
    std::reverse(frame.folders.begin(), frame.folders.end());
  };

  Frame first;
  first.source = top;
  first.copy = target;
  first.times = times;
  first.renamed = renamed_above;
  first.copy_length = copy_path_.size();
  first.source_length = source_path_.size();
  first.original_length = original_path_.size();
  frames.push_back(std::move(first));
  enter(frames.back());

  frames.back().identified = fs->identify_directory(top, &frames.back().identity);

  while (!frames.empty()) {
    Frame& frame = frames.back();
    if (frame.folders.empty()) {
      // The level above, closed while this one was deep, is opened again
      // from this one before this one is closed.
      if (frames.size() >= 2 && frames[frames.size() - 2].source == kNoDir &&
          frame.source != kNoDir) {
        Frame& above = frames[frames.size() - 2];
        std::string why;
        above.source = fs->open_parent(frame.source, &why);
        DirIdentity now;
        if (above.source != kNoDir && above.identified &&
            !(fs->identify_directory(above.source, &now) && now == above.identity)) {
          fs->close_directory(above.source);
          above.source = kNoDir;
          why = "it was moved while it was copied";
        }
        above.copy = above.source == kNoDir ? kNoTarget : target_->open_parent(frame.copy, &why);
        if (above.copy == kNoTarget) {
          if (above.source != kNoDir) fs->close_directory(above.source);
          above.source = kNoDir;
          scratch_.assign(source_path_, 0, frame.source_length);
          tell("read the folder", scratch_, why);
          read_failed_ = true;
          // Its folders still to copy are lost, and so are those above it.
          for (Frame& f : frames) f.folders.clear();
        }
      }
      if (frame.source != kNoDir) fs->close_directory(frame.source);
      if (frame.copy != kNoTarget)
        target_->close_folder(frame.copy, frame.times.last_write, frame.times.last_access);
      copy_path_.resize(frame.copy_length);
      source_path_.resize(frame.source_length);
      original_path_.resize(frame.original_length);
      frames.pop_back();
      continue;
    }
    const std::pair<std::string, EntryTimes> next = std::move(frame.folders.back());
    frame.folders.pop_back();
    Frame child;
    child.times = next.second;
    child.copy_length = copy_path_.size();
    child.source_length = source_path_.size();
    child.original_length = original_path_.size();
    source_path_.append(1, kPathSeparator).append(next.first);
    original_path_.append("\\").append(next.first);
    child.source = fs->open_subdirectory_anew(frame.source, next.first.c_str(), &reason);
    if (child.source == kNoDir) {
      tell("read the folder", source_path_, reason);
      read_failed_ = true;
      source_path_.resize(child.source_length);
      original_path_.resize(child.original_length);
      continue;
    }
    bool renamed = false;
    child.copy = make_folder(frame.copy, next.first, false, &made, &renamed);
    if (child.copy == kNoTarget) {
      fs->close_directory(child.source);
      source_path_.resize(child.source_length);
      original_path_.resize(child.original_length);
      continue;
    }
    child.renamed = frame.renamed || renamed;
    child.identified = fs->identify_directory(child.source, &child.identity);
    copy_path_.append("/").append(made);
    // Deep in the tree, the level kOpenLevels above is closed until the
    // copy comes back to it.
    if (frames.size() >= kOpenLevels) {
      Frame& far = frames[frames.size() - kOpenLevels];
      if (far.source != kNoDir) {
        fs->close_directory(far.source);
        target_->close_folder(far.copy, 0, 0);
        far.source = kNoDir;
        far.copy = kNoTarget;
      }
    }
    frames.push_back(std::move(child));
    enter(frames.back());
  }
}

void Collector::write_manifest_line(uint64_t size, bool renamed) {
  if (manifest_ == kNoTarget) return;
  line_.assign("{\"source\":");
  append_json_string(source_path_, &line_);
  line_.append(",\"original_path\":");
  append_json_string(original_path_, &line_);
  line_.append(",\"copy\":");
  append_json_string(copy_path_, &line_);
  line_.append(",\"size\":");
  append_unsigned(size, &line_);
  line_.append(",\"sha256\":");
  append_json_string(digests_->hex(kDigestSha256), &line_);
  line_.append(",\"renamed\":").append(renamed ? "true" : "false").append("}\n");
  std::string reason;
  if (!target_->write(manifest_, line_.data(), line_.size(), &reason)) {
    tell("write the manifest", "manifest.jsonl", reason);
    write_failed_ = true;
    std::string ignored;
    target_->finish_file(manifest_, 0, 0, &ignored);
    manifest_ = kNoTarget;
  }
}
