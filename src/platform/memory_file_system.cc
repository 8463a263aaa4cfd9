#include "platform/memory_file_system.h"

#include <cstdint>
#include <cstring>

struct MemoryFileSystem::Node {
  std::string name;
  EntryKind kind = EntryKind::kDirectory;
  std::string data;
  EntryTimes times;
  Node* parent = nullptr;
  std::vector<std::unique_ptr<Node>> children;
  bool unreadable = false;
  bool restored = false;
  SavedTimes restored_times;
  int streams = 0;
  uint64_t id = 0;
  bool has_address = false;
  uint64_t address = 0;
  std::vector<std::string> deleted_names;  // of a directory
  std::vector<std::pair<std::string, std::string>> named_streams;  // name, data
  size_t readable = SIZE_MAX;  // bytes a read gives before it fails
  std::string read_error;
  size_t opens = 0;            // times opened for reading
  size_t bytes_read = 0;
};

MemoryFileSystem::MemoryFileSystem() : root_(std::make_unique<Node>()) { root_->id = next_node_++; }
MemoryFileSystem::~MemoryFileSystem() {
  // Taken apart level by level: a deep tree would overflow the stack if each
  // node destroyed its children itself.
  std::vector<std::unique_ptr<Node>> pending;
  pending.push_back(std::move(root_));
  while (!pending.empty()) {
    std::unique_ptr<Node> node = std::move(pending.back());
    pending.pop_back();
    for (auto& c : node->children) pending.push_back(std::move(c));
  }
}

MemoryFileSystem::Node* MemoryFileSystem::child(Node* dir, const char* name) const {
  for (const auto& c : dir->children)
    if (c->name == name) return c.get();
  return nullptr;
}

MemoryFileSystem::Node* MemoryFileSystem::make_child(Node* dir, const std::string& name,
                                                     EntryKind kind) {
  auto node = std::make_unique<Node>();
  node->name = name;
  node->kind = kind;
  node->parent = dir;
  node->id = next_node_++;
  dir->children.push_back(std::move(node));
  return dir->children.back().get();
}

MemoryFileSystem::Node* MemoryFileSystem::find(const std::string& path, bool make) {
  Node* at = root_.get();
  size_t i = 0;
  while (i < path.size()) {
    size_t end = path.find('/', i);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(i, end - i);
    i = end + 1;
    if (part.empty() || part == ".") continue;
    Node* next = child(at, part.c_str());
    if (!next) {
      if (!make) return nullptr;
      next = make_child(at, part, EntryKind::kDirectory);
    }
    at = next;
  }
  return at;
}

void MemoryFileSystem::add_directory(const std::string& path) { find(path, true); }

void MemoryFileSystem::add_file(const std::string& path, const std::string& data, EntryTimes times) {
  const size_t cut = path.rfind('/');
  Node* dir = find(cut == std::string::npos ? "" : path.substr(0, cut), true);
  Node* node = make_child(dir, path.substr(cut == std::string::npos ? 0 : cut + 1),
                          EntryKind::kRegular);
  node->data = data;
  node->times = times;
}

void MemoryFileSystem::add_link(const std::string& path) {
  const size_t cut = path.rfind('/');
  make_child(find(cut == std::string::npos ? "" : path.substr(0, cut), true),
             path.substr(cut == std::string::npos ? 0 : cut + 1), EntryKind::kLink);
}

void MemoryFileSystem::add_other(const std::string& path) {
  const size_t cut = path.rfind('/');
  make_child(find(cut == std::string::npos ? "" : path.substr(0, cut), true),
             path.substr(cut == std::string::npos ? 0 : cut + 1), EntryKind::kOther);
}

void MemoryFileSystem::add_chain(const std::string& top, int depth) {
  Node* at = find(top, true);
  for (int i = 0; i < depth; ++i) {
    at = make_child(at, "d" + std::to_string(i), EntryKind::kDirectory);
    make_child(at, "$I" + std::to_string(i), EntryKind::kRegular);
  }
}

void MemoryFileSystem::make_unreadable(const std::string& path) { find(path, true)->unreadable = true; }

void MemoryFileSystem::set_streams(const std::string& path, int count) {
  find(path, true)->streams = count;
}

void MemoryFileSystem::move_directory(const std::string& from, const std::string& to) {
  Node* node = find(from, false);
  if (!node || !node->parent) return;
  Node* old_parent = node->parent;
  const size_t cut = to.rfind('/');
  Node* new_parent = find(cut == std::string::npos ? "" : to.substr(0, cut), true);
  for (auto it = old_parent->children.begin(); it != old_parent->children.end(); ++it) {
    if (it->get() != node) continue;
    std::unique_ptr<Node> owned = std::move(*it);
    old_parent->children.erase(it);
    owned->name = to.substr(cut == std::string::npos ? 0 : cut + 1);
    owned->parent = new_parent;
    new_parent->children.push_back(std::move(owned));
    return;
  }
}

const SavedTimes* MemoryFileSystem::restored_times(const std::string& path) const {
  Node* node = const_cast<MemoryFileSystem*>(this)->find(path, false);
  return node && node->restored ? &node->restored_times : nullptr;
}

DirRef MemoryFileSystem::open_directory(const char* path, std::string* error) {
  Node* node = find(path, false);
  if (!node || node->kind != EntryKind::kDirectory) {
    *error = "No such file or directory";
    return kNoDir;
  }
  dirs_.push_back(node);
  if (++open_dirs_ > most_open_) most_open_ = open_dirs_;
  return static_cast<DirRef>(dirs_.size() - 1);
}

DirRef MemoryFileSystem::open_subdirectory(DirRef parent, const char* name, std::string* error) {
  Node* node = child(dirs_[static_cast<size_t>(parent)], name);
  if (!node || node->kind != EntryKind::kDirectory) {
    *error = node ? "Not a directory" : "No such file or directory";
    return kNoDir;
  }
  dirs_.push_back(node);
  if (++open_dirs_ > most_open_) most_open_ = open_dirs_;
  return static_cast<DirRef>(dirs_.size() - 1);
}

DirRef MemoryFileSystem::open_parent(DirRef child_ref, std::string* error) {
  Node* node = dirs_[static_cast<size_t>(child_ref)]->parent;
  if (!node) {
    *error = "No such file or directory";
    return kNoDir;
  }
  dirs_.push_back(node);
  if (++open_dirs_ > most_open_) most_open_ = open_dirs_;
  return static_cast<DirRef>(dirs_.size() - 1);
}

bool MemoryFileSystem::identify_directory(DirRef dir, DirIdentity* out) {
  out->volume = 1;
  out->node = dirs_[static_cast<size_t>(dir)]->id;
  return true;
}

void MemoryFileSystem::close_directory(DirRef dir) {
  if (dir == kNoDir) return;
  dirs_[static_cast<size_t>(dir)] = nullptr;
  --open_dirs_;
}

bool MemoryFileSystem::list_directory(DirRef dir, const char* pattern, DirEntryVisitor* visitor,
                                      std::string* error) {
  Node* node = dirs_[static_cast<size_t>(dir)];
  if (node->unreadable) {
    *error = "Permission denied";
    return false;
  }
  pattern_.compile(pattern);
  static const char* const kDots[] = {".", ".."};
  for (const char* dot : kDots) {
    if (!pattern_.matches(dot)) continue;
    DirEntry entry{dot, strlen(dot), EntryKind::kDirectory, true};
    if (!visitor->visit(entry)) return true;
  }
  // By index: a visitor may add nothing, but the vector must not be walked
  // by iterators that a test's change could invalidate.
  for (size_t i = 0; i < node->children.size(); ++i) {
    const Node& c = *node->children[i];
    if (!pattern_.matches(c.name.c_str())) continue;
    DirEntry entry{c.name.c_str(), c.name.size(), c.kind, c.kind == EntryKind::kDirectory};
    if (!visitor->visit(entry)) return true;
  }
  return true;
}

namespace {

template <typename Node>
void fill_info(const Node& node, EntryInfo* out) {
  *out = EntryInfo();
  out->kind = node.kind;
  out->size = node.data.size();
  out->times = node.times;
  out->has_address = node.has_address;
  out->address = node.address;
}

}  // namespace

bool MemoryFileSystem::lookup(DirRef dir, const char* name, EntryInfo* out) {
  Node* node = child(dirs_[static_cast<size_t>(dir)], name);
  if (!node) return false;
  fill_info(*node, out);
  return true;
}

void MemoryFileSystem::set_upcoming(DirRef, UpcomingFiles* files) {
  upcoming_ = files;
  group_start_ = foretold_.size();
}

bool MemoryFileSystem::names_deleted_entry(DirRef dir, const char* name) {
  for (const std::string& deleted : dirs_[static_cast<size_t>(dir)]->deleted_names)
    if (deleted == name) return true;
  return false;
}

bool MemoryFileSystem::file_info(FileRef file, EntryInfo* out) {
  fill_info(*files_[static_cast<size_t>(file)].node, out);
  return true;
}

void MemoryFileSystem::set_address(const std::string& path, uint64_t address) {
  Node* node = find(path, false);
  if (!node) return;
  node->has_address = true;
  node->address = address;
}

void MemoryFileSystem::add_deleted_name(const std::string& path) {
  const size_t slash = path.rfind('/');
  Node* dir = find(slash == std::string::npos ? "" : path.substr(0, slash), true);
  dir->deleted_names.push_back(slash == std::string::npos ? path : path.substr(slash + 1));
}

FileRef MemoryFileSystem::open_file(DirRef dir, const char* name, EntryKind) {
  if (upcoming_ != nullptr) {
    for (size_t i = group_start_; i < foretold_.size(); ++i) foretold_[i].opened.push_back(name);
    Foretold next;
    const char* told = nullptr;
    EntryKind kind = EntryKind::kUnknown;
    for (size_t ahead = 1; upcoming_->upcoming(ahead, &told, &kind); ++ahead) next.told.push_back(told);
    foretold_.push_back(std::move(next));
  }
  Node* node = child(dirs_[static_cast<size_t>(dir)], name);
  if (!node || node->kind != EntryKind::kRegular) return kNoFile;
  files_.push_back({node, 0});
  ++open_files_;
  ++node->opens;
  return static_cast<FileRef>(files_.size() - 1);
}

size_t MemoryFileSystem::read_file(FileRef file, void* buffer, size_t size) {
  Open& f = files_[static_cast<size_t>(file)];
  const size_t end = f.node->data.size() < f.node->readable ? f.node->data.size() : f.node->readable;
  const size_t left = end - f.position;
  size_t n = size < left ? size : left;
  if (read_limit_ != 0 && n > read_limit_) n = read_limit_;
  memcpy(buffer, f.node->data.data() + f.position, n);
  f.position += n;
  f.node->bytes_read += n;
  return n;
}

std::string MemoryFileSystem::read_error(FileRef file) {
  const Open& f = files_[static_cast<size_t>(file)];
  return f.position >= f.node->readable ? f.node->read_error : std::string();
}

bool MemoryFileSystem::read_named_stream(DirRef dir, const char* name, const char* stream,
                                         char* buffer, size_t capacity, size_t* length) {
  ++stream_reads_;
  const Node* node = child(dirs_[static_cast<size_t>(dir)], name);
  if (!node) return false;
  for (const auto& [stream_name, data] : node->named_streams) {
    if (stream_name != stream) continue;
    *length = data.size() < capacity ? data.size() : capacity;
    memcpy(buffer, data.data(), *length);
    return true;
  }
  return false;
}

void MemoryFileSystem::add_stream(const std::string& path, const std::string& stream,
                                  const std::string& data) {
  find(path, false)->named_streams.emplace_back(stream, data);
}

void MemoryFileSystem::fail_reads(const std::string& path, size_t after, const std::string& reason) {
  Node* node = find(path, false);
  node->readable = after;
  node->read_error = reason;
}

size_t MemoryFileSystem::opens(const std::string& path) { return find(path, false)->opens; }
size_t MemoryFileSystem::bytes_read(const std::string& path) {
  return find(path, false)->bytes_read;
}

void MemoryFileSystem::close_file(FileRef file) {
  if (file == kNoFile) return;
  files_[static_cast<size_t>(file)].node = nullptr;
  --open_files_;
}

bool MemoryFileSystem::capture_times(FileRef file, SavedTimes* out) {
  const Node* node = files_[static_cast<size_t>(file)].node;
  out->filetime[0] = node->times.creation;
  out->filetime[1] = node->times.last_access;
  out->filetime[2] = node->times.last_write;
  out->is_regular = true;
  return true;
}

bool MemoryFileSystem::restore_times(FileRef file, const SavedTimes& times) {
  Node* node = files_[static_cast<size_t>(file)].node;
  node->restored = true;
  node->restored_times = times;
  return true;
}

int MemoryFileSystem::count_streams(DirRef dir, int* failure, int*) {
  *failure = 0;
  const Node* node = dirs_[static_cast<size_t>(dir)];
  std::string path;
  for (const Node* n = node; n && n->parent; n = n->parent) path.insert(0, "/" + n->name);
  stream_probes_.push_back(path.empty() ? "/" : path);
  return node->streams;
}
