// Evidence images through The Sleuth Kit's library.  Each volume is held as
// a TSK file system; a directory handle is a slot holding the directory's
// names as TSK loaded them, a file handle a slot holding a reusable TSK file
// object.  Nothing here writes to the image.
//
// The library (and the dozens of libraries it needs for E01, VMDK, VHD and
// AFF images) is loaded when the first image is opened, so that a run
// without an image starts as fast as ever and does not need it at all.
#include "platform/image_file_system.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <tsk/libtsk.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "platform/dos_pattern.h"
#include "platform/file_time.h"

const bool kImageSupport = true;
const char kImageUnsupportedMessage[] = "Evidence images are not supported by this build";

namespace {

#ifndef BINSIFT_TSK_LIBRARY
#define BINSIFT_TSK_LIBRARY "libtsk.so"
#endif

// The library's functions this file calls, found when it is loaded.
#define BINSIFT_TSK_FUNCTIONS(X)                                                         \
  X(tsk_error_get) X(tsk_error_reset) X(tsk_img_open_utf8_sing) X(tsk_img_close)         \
  X(tsk_img_read)                                                                         \
  X(tsk_vs_open) X(tsk_vs_close) X(tsk_vs_part_get) X(tsk_fs_open_img) X(tsk_fs_open_vol) \
  X(tsk_fs_close) X(tsk_fs_type_toname) X(tsk_fs_dir_open_meta) X(tsk_fs_dir_close)      \
  X(tsk_fs_dir_walk) X(tsk_fs_meta_walk) X(tsk_fs_file_open_meta) X(tsk_fs_file_close)   \
  X(tsk_fs_file_read) X(tsk_fs_file_attr_get) X(tsk_fs_file_attr_get_type)

struct TskLibrary {
#define BINSIFT_TSK_MEMBER(name) decltype(&::name) name = nullptr;
  BINSIFT_TSK_FUNCTIONS(BINSIFT_TSK_MEMBER)
#undef BINSIFT_TSK_MEMBER
  void* handle = nullptr;
};

TskLibrary lib;

// Loads the library once; false with the reason when it cannot be.
bool load_library(std::string* reason) {
  if (lib.handle != nullptr) return true;
  void* handle = dlopen(BINSIFT_TSK_LIBRARY, RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* text = dlerror();
    *reason = std::string("The Sleuth Kit library cannot be loaded (") +
              (text != nullptr ? text : BINSIFT_TSK_LIBRARY) + ")";
    return false;
  }
  TskLibrary loaded;
#define BINSIFT_TSK_LOAD(name)                                                        \
  loaded.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name));           \
  if (loaded.name == nullptr) {                                                      \
    *reason = "The Sleuth Kit library " BINSIFT_TSK_LIBRARY " lacks " #name;         \
    dlclose(handle);                                                                 \
    return false;                                                                    \
  }
  BINSIFT_TSK_FUNCTIONS(BINSIFT_TSK_LOAD)
#undef BINSIFT_TSK_LOAD
  loaded.handle = handle;
  lib = loaded;
  return true;
}

// NTFS keeps its own metadata files in the first MFT entries; like the
// system's own directory listing, the volume does not show them.
constexpr TSK_INUM_T kFirstUserMftEntry = 16;
// Directories are only memory here, so a walk may hold many.
constexpr size_t kDirectoryBudget = 1u << 16;
// An index file is read up to this many bytes; carving checks the clusters
// of that much of a deleted file.
constexpr TSK_OFF_T kCarveCheckBytes = 65536;
constexpr uint8_t kKindNotKnown = 0xFF;

// The library's description of its last error, on one line, and the error
// state cleared.
std::string library_reason(const char* fallback) {
  const char* text = lib.tsk_error_get();
  std::string reason = (text != nullptr && *text != '\0') ? text : fallback;
  for (char& c : reason) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!reason.empty() && reason.back() == ' ') reason.pop_back();
  lib.tsk_error_reset();
  return reason;
}

FileTime time_from_unix(time_t seconds, uint32_t nanoseconds) {
  if (seconds == 0) return 0;  // the library's "not kept"
  if (seconds < -kSecondsFrom1601To1970) return 0;
  return file_time_from_unix(seconds, nanoseconds);
}

uint64_t read_le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

char fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

int compare_folded(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const unsigned char x = static_cast<unsigned char>(fold(*a));
    const unsigned char y = static_cast<unsigned char>(fold(*b));
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}

bool starts_with_index_prefix(const char* name) {
  return name != nullptr && name[0] == '$' && (name[1] == 'I' || name[1] == 'i');
}

// The container format of an image file, from its signature.  The library's
// own detection tries one reader after the other and leaks what the ones
// that fail leave behind; a file of no known container is a raw image
// (single or split).
TSK_IMG_TYPE_ENUM container_type(const char* path) {
  unsigned char head[512] = {};
  unsigned char tail[512] = {};
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return TSK_IMG_TYPE_RAW;
  const size_t got = std::fread(head, 1, sizeof head, f);
  size_t tail_got = 0;
  if (got == sizeof head && fseeko(f, -static_cast<off_t>(sizeof tail), SEEK_END) == 0)
    tail_got = std::fread(tail, 1, sizeof tail, f);
  std::fclose(f);
  auto starts = [&](const unsigned char* data, size_t size, const char* magic, size_t length) {
    return size >= length && std::memcmp(data, magic, length) == 0;
  };
  if (starts(head, got, "EVF\x09\x0d\x0a\xff\x00", 8) || starts(head, got, "EVF2\x0d\x0a\x81\x00", 8) ||
      starts(head, got, "LVF\x09\x0d\x0a\xff\x00", 8))
    return TSK_IMG_TYPE_EWF_EWF;
  if (starts(head, got, "KDMV", 4) || starts(head, got, "COWD", 4) ||
      starts(head, got, "# Disk DescriptorFile", 21))
    return TSK_IMG_TYPE_VMDK_VMDK;
  if (starts(head, got, "conectix", 8) || starts(head, got, "vhdxfile", 8) ||
      starts(tail, tail_got, "conectix", 8))
    return TSK_IMG_TYPE_VHD_VHD;
  if (starts(head, got, "AFF10\x0d\x0a", 7)) return TSK_IMG_TYPE_AFF_ANY;
  return TSK_IMG_TYPE_RAW;
}

// A partition that by its type holds no file system, which an examiner
// would not call unreadable.
bool holds_no_file_system(const char* description) {
  if (description == nullptr) return false;
  std::string d(description);
  for (char& c : d) c = fold(c);
  return d.find("MICROSOFT RESERVED") != std::string::npos ||
         d.find("SWAP") != std::string::npos;
}

class TskVolume final : public ImageVolume {
 public:
  TskVolume(TSK_FS_INFO* fs, const std::string& image, std::string name, uint64_t id)
      : fs_(fs), name_(std::move(name)), id_(id) {
    prefix_ = "IMAGE:" + name_ + ":";
    context_ = "image " + image + ", partition " + name_;
    ntfs_ = TSK_FS_TYPE_ISNTFS(fs->ftype);
    if (ntfs_) {
      kind_ = FileSystemKind::kNtfs;
    } else if (fs->ftype == TSK_FS_TYPE_FAT12 || fs->ftype == TSK_FS_TYPE_FAT16 ||
               fs->ftype == TSK_FS_TYPE_FAT32) {
      kind_ = FileSystemKind::kFat32;
    }
    // Windows file systems find a name whatever its case.
    fold_names_ = ntfs_ || TSK_FS_TYPE_ISFAT(fs->ftype);
    type_name_ = lib.tsk_fs_type_toname(fs->ftype);
  }

  ~TskVolume() override {
    for (DirSlot& slot : dirs_) {
      if (slot.dir != nullptr) lib.tsk_fs_dir_close(slot.dir);
    }
    for (FileSlot& slot : files_) {
      if (slot.file != nullptr) lib.tsk_fs_file_close(slot.file);
    }
    if (scratch_ != nullptr) lib.tsk_fs_file_close(scratch_);
    lib.tsk_fs_close(fs_);
  }

  // ImageVolume
  const std::string& name() const override { return name_; }
  const std::string& source_prefix() const override { return prefix_; }
  FileSystemKind kind() const override { return kind_; }
  const char* type_name() const override { return type_name_ != nullptr ? type_name_ : "?"; }
  bool last_open_missing() const override { return missing_; }
  bool find_bin_folders(std::vector<std::string>* out, std::string* error) override;
  bool can_carve() const override { return ntfs_; }
  bool carve_index_files(CarvedFileVisitor* visitor, std::string* error) override;

  // FileSystem
  DirRef open_directory(const char* path, std::string* error) override;
  DirRef open_subdirectory(DirRef parent, const char* name, std::string* error) override;
  DirRef open_parent(DirRef child, std::string* error) override;
  bool identify_directory(DirRef dir, DirIdentity* out) override;
  void close_directory(DirRef dir) override;
  size_t open_directory_budget() const override { return kDirectoryBudget; }
  bool list_directory(DirRef dir, const char* pattern, DirEntryVisitor* visitor,
                      std::string* error) override;
  bool search_per_pattern() const override { return false; }
  bool lookup(DirRef dir, const char* name, EntryInfo* out) override;
  FileRef open_file(DirRef dir, const char* name, EntryKind hint) override;
  size_t read_file(FileRef file, void* buffer, size_t size) override;
  void close_file(FileRef file) override;
  // Nothing is ever set in an image: the times are "captured" and "restored"
  // without touching it, so that a run with time resetting goes on quietly.
  bool capture_times(FileRef file, SavedTimes* out) override;
  bool restore_times(FileRef, const SavedTimes&) override { return true; }
  int count_streams(DirRef, int* failure, int* line) override {
    if (failure != nullptr) *failure = 0;
    if (line != nullptr) *line = 0;
    return 0;
  }
  FileSystemKind volume_kind(const char*) override { return kind_; }

 private:
  struct DirSlot {
    TSK_FS_DIR* dir = nullptr;
    TSK_INUM_T addr = 0;
    TSK_INUM_T parent = 0;
    // The folder this one was opened from (its slot and that slot's serial),
    // to refuse a folder that is its own ancestor in a corrupt volume.
    DirRef opened_from = kNoDir;
    uint64_t opened_from_serial = 0;
    uint64_t serial = 0;
    bool in_use = false;
    bool indexed = false;
    std::vector<uint32_t> by_name;    // visible names, sorted by bytes
    std::vector<uint32_t> by_folded;  // the same, sorted with ASCII case folded
    std::vector<uint8_t> kinds;       // EntryKind per name, kKindNotKnown until asked
  };
  struct FileSlot {
    TSK_FS_FILE* file = nullptr;  // reused from one open to the next
    TSK_OFF_T offset = 0;
    bool readable = true;
    bool in_use = false;
  };

  bool visible(const TSK_FS_NAME& n) const {
    if ((n.flags & TSK_FS_NAME_FLAG_ALLOC) == 0 || n.name == nullptr) return false;
    if (n.type == TSK_FS_NAME_TYPE_VIRT || n.type == TSK_FS_NAME_TYPE_VIRT_DIR) return false;
    if (ntfs_ && n.meta_addr < kFirstUserMftEntry && n.name[0] == '$') return false;
    return true;
  }
  DirSlot* slot_of(DirRef dir) {
    if (dir < 0 || static_cast<size_t>(dir) >= dirs_.size()) return nullptr;
    DirSlot* s = &dirs_[static_cast<size_t>(dir)];
    return s->in_use ? s : nullptr;
  }
  FileSlot* file_slot_of(FileRef file) {
    if (file < 0 || static_cast<size_t>(file) >= files_.size()) return nullptr;
    FileSlot* s = &files_[static_cast<size_t>(file)];
    return s->in_use ? s : nullptr;
  }
  std::string failure(const std::string& reason) const { return context_ + ": " + reason; }

  DirRef open_dir_addr(TSK_INUM_T addr, std::string* error);
  TSK_INUM_T parent_of(const TSK_FS_DIR* dir) const;
  void build_index(DirSlot* slot);
  // The index of the visible name `name` in the directory, or -1.
  long find_name(DirRef dir, const char* name);
  EntryKind kind_at(DirRef dir, size_t index);
  bool is_reparse_point(TSK_INUM_T addr);
  // Loads the metadata of `addr` into the lookup file object.
  bool load_scratch(TSK_INUM_T addr);
  FileRef open_file_addr(TSK_INUM_T addr, bool require_regular);
  bool data_readable(TSK_FS_FILE* file);
  void fill_times(TSK_FS_FILE* file, EntryTimes* out);

  TSK_FS_INFO* fs_;
  std::string name_, prefix_, context_;
  uint64_t id_;
  bool ntfs_ = false;
  bool fold_names_ = false;
  const char* type_name_ = nullptr;
  FileSystemKind kind_ = FileSystemKind::kOther;
  bool missing_ = false;
  uint64_t next_serial_ = 1;

  std::vector<DirSlot> dirs_;
  std::vector<size_t> free_dirs_;
  std::vector<FileSlot> files_;
  std::vector<size_t> free_files_;
  TSK_FS_FILE* scratch_ = nullptr;  // for lookups
  // One pattern per nesting level, should a visitor list another directory.
  std::vector<std::unique_ptr<DosPattern>> patterns_;
  size_t list_depth_ = 0;
};

TSK_INUM_T TskVolume::parent_of(const TSK_FS_DIR* dir) const {
  if (dir->addr == fs_->root_inum) return fs_->root_inum;
  for (size_t i = 0; i < dir->names_used; ++i) {
    const TSK_FS_NAME& n = dir->names[i];
    if ((n.flags & TSK_FS_NAME_FLAG_ALLOC) != 0 && n.name != nullptr &&
        std::strcmp(n.name, "..") == 0) {
      return n.meta_addr;
    }
  }
  if (dir->fs_file != nullptr && dir->fs_file->meta != nullptr &&
      dir->fs_file->meta->name2 != nullptr && ntfs_) {
    return dir->fs_file->meta->name2->par_inode;
  }
  return fs_->root_inum;
}

DirRef TskVolume::open_dir_addr(TSK_INUM_T addr, std::string* error) {
  lib.tsk_error_reset();
  TSK_FS_DIR* dir = lib.tsk_fs_dir_open_meta(fs_, addr);
  if (dir == nullptr) {
    if (error != nullptr) *error = failure(library_reason("the folder cannot be read"));
    return kNoDir;
  }
  size_t index;
  if (!free_dirs_.empty()) {
    index = free_dirs_.back();
    free_dirs_.pop_back();
  } else {
    index = dirs_.size();
    dirs_.emplace_back();
  }
  DirSlot& s = dirs_[index];
  s.dir = dir;
  s.addr = addr;
  s.parent = parent_of(dir);
  s.opened_from = kNoDir;
  s.opened_from_serial = 0;
  s.serial = next_serial_++;
  s.in_use = true;
  s.indexed = false;
  s.by_name.clear();
  s.by_folded.clear();
  s.kinds.assign(dir->names_used, kKindNotKnown);
  return static_cast<DirRef>(index);
}

void TskVolume::close_directory(DirRef dir) {
  DirSlot* s = slot_of(dir);
  if (s == nullptr) return;
  lib.tsk_fs_dir_close(s->dir);
  s->dir = nullptr;
  s->in_use = false;
  free_dirs_.push_back(static_cast<size_t>(dir));
}

void TskVolume::build_index(DirSlot* s) {
  const TSK_FS_DIR* dir = s->dir;
  s->by_name.clear();
  for (size_t i = 0; i < dir->names_used; ++i) {
    if (visible(dir->names[i])) s->by_name.push_back(static_cast<uint32_t>(i));
  }
  const TSK_FS_NAME* names = dir->names;
  std::sort(s->by_name.begin(), s->by_name.end(), [names](uint32_t a, uint32_t b) {
    return std::strcmp(names[a].name, names[b].name) < 0;
  });
  if (fold_names_) {
    s->by_folded = s->by_name;
    std::stable_sort(s->by_folded.begin(), s->by_folded.end(), [names](uint32_t a, uint32_t b) {
      return compare_folded(names[a].name, names[b].name) < 0;
    });
  }
  s->indexed = true;
}

long TskVolume::find_name(DirRef dir, const char* name) {
  DirSlot* s = slot_of(dir);
  if (s == nullptr || name == nullptr) return -1;
  if (!s->indexed) build_index(s);
  const TSK_FS_NAME* names = s->dir->names;
  auto exact = std::lower_bound(s->by_name.begin(), s->by_name.end(), name,
                                [names](uint32_t a, const char* key) {
                                  return std::strcmp(names[a].name, key) < 0;
                                });
  if (exact != s->by_name.end() && std::strcmp(names[*exact].name, name) == 0) {
    return static_cast<long>(*exact);
  }
  if (!fold_names_) return -1;
  auto folded = std::lower_bound(s->by_folded.begin(), s->by_folded.end(), name,
                                 [names](uint32_t a, const char* key) {
                                   return compare_folded(names[a].name, key) < 0;
                                 });
  if (folded != s->by_folded.end() && compare_folded(names[*folded].name, name) == 0) {
    return static_cast<long>(*folded);
  }
  return -1;
}

bool TskVolume::load_scratch(TSK_INUM_T addr) {
  lib.tsk_error_reset();
  TSK_FS_FILE* file = lib.tsk_fs_file_open_meta(fs_, scratch_, addr);
  if (file == nullptr || file->meta == nullptr) {
    lib.tsk_error_reset();
    return false;
  }
  scratch_ = file;
  return true;
}

bool TskVolume::is_reparse_point(TSK_INUM_T addr) {
  if (!ntfs_) return false;
  if (!load_scratch(addr)) return false;
  const bool reparse =
      lib.tsk_fs_file_attr_get_type(scratch_, TSK_FS_ATTR_TYPE_NTFS_REPARSE, 0, 0) != nullptr;
  lib.tsk_error_reset();
  return reparse;
}

EntryKind TskVolume::kind_at(DirRef dir, size_t index) {
  DirSlot* s = slot_of(dir);
  if (s == nullptr) return EntryKind::kUnknown;
  if (s->kinds[index] != kKindNotKnown) return static_cast<EntryKind>(s->kinds[index]);
  const TSK_FS_NAME n = s->dir->names[index];
  EntryKind kind;
  switch (n.type) {
    case TSK_FS_NAME_TYPE_DIR:
      // A junction or directory link is a link: it is never entered.
      kind = (std::strcmp(n.name, ".") != 0 && std::strcmp(n.name, "..") != 0 &&
              is_reparse_point(n.meta_addr))
                 ? EntryKind::kLink
                 : EntryKind::kDirectory;
      break;
    case TSK_FS_NAME_TYPE_REG:
      kind = EntryKind::kRegular;
      break;
    case TSK_FS_NAME_TYPE_LNK:
      kind = EntryKind::kLink;
      break;
    case TSK_FS_NAME_TYPE_UNDEF:
      kind = EntryKind::kUnknown;
      break;
    default:
      kind = EntryKind::kOther;
      break;
  }
  s = slot_of(dir);  // the reparse check may not move slots, but stay safe
  s->kinds[index] = static_cast<uint8_t>(kind);
  return kind;
}

DirRef TskVolume::open_directory(const char* path, std::string* error) {
  missing_ = false;
  DirRef current = open_dir_addr(fs_->root_inum, error);
  if (current == kNoDir) return kNoDir;
  std::string component;
  const char* p = path;
  while (true) {
    while (*p == '/') ++p;
    if (*p == '\0') break;
    const char* end = std::strchr(p, '/');
    if (end == nullptr) end = p + std::strlen(p);
    component.assign(p, static_cast<size_t>(end - p));
    p = end;
    if (component == ".") continue;
    TSK_INUM_T next_addr;
    if (component == "..") {
      next_addr = dirs_[static_cast<size_t>(current)].parent;
    } else {
      const long index = find_name(current, component.c_str());
      if (index < 0 || kind_at(current, static_cast<size_t>(index)) != EntryKind::kDirectory) {
        close_directory(current);
        missing_ = true;
        if (error != nullptr) {
          *error = index < 0 ? "No such file or directory" : "Not a directory";
        }
        return kNoDir;
      }
      next_addr = dirs_[static_cast<size_t>(current)].dir->names[index].meta_addr;
    }
    close_directory(current);
    current = open_dir_addr(next_addr, error);
    if (current == kNoDir) return kNoDir;
  }
  return current;
}

DirRef TskVolume::open_subdirectory(DirRef parent, const char* name, std::string* error) {
  const long index = find_name(parent, name);
  if (index < 0) {
    if (error != nullptr) *error = "No such file or directory";
    return kNoDir;
  }
  if (kind_at(parent, static_cast<size_t>(index)) != EntryKind::kDirectory) {
    if (error != nullptr) *error = "Not a directory";
    return kNoDir;
  }
  const TSK_INUM_T addr = dirs_[static_cast<size_t>(parent)].dir->names[index].meta_addr;
  // A folder that is one of its own ancestors (only a corrupt volume has
  // one) would make the walk endless.
  DirRef up = parent;
  uint64_t up_serial = dirs_[static_cast<size_t>(parent)].serial;
  while (true) {
    DirSlot* s = slot_of(up);
    if (s == nullptr || s->serial != up_serial) break;
    if (s->addr == addr) {
      if (error != nullptr) {
        *error = failure("folder entry " + std::to_string(addr) +
                         " is one of its own parent folders (the file system is corrupt)");
      }
      return kNoDir;
    }
    up = s->opened_from;
    up_serial = s->opened_from_serial;
  }
  const DirRef child = open_dir_addr(addr, error);
  if (child == kNoDir) return kNoDir;
  DirSlot& c = dirs_[static_cast<size_t>(child)];
  c.opened_from = parent;
  c.opened_from_serial = dirs_[static_cast<size_t>(parent)].serial;
  return child;
}

DirRef TskVolume::open_parent(DirRef child, std::string* error) {
  DirSlot* s = slot_of(child);
  if (s == nullptr) {
    if (error != nullptr) *error = "Bad directory handle";
    return kNoDir;
  }
  return open_dir_addr(s->parent, error);
}

bool TskVolume::identify_directory(DirRef dir, DirIdentity* out) {
  DirSlot* s = slot_of(dir);
  if (s == nullptr) return false;
  out->volume = id_;
  out->node = s->addr;
  return true;
}

bool TskVolume::list_directory(DirRef dir, const char* pattern, DirEntryVisitor* visitor,
                               std::string* error) {
  DirSlot* s = slot_of(dir);
  if (s == nullptr) {
    if (error != nullptr) *error = "Bad directory handle";
    return false;
  }
  const bool all = std::strcmp(pattern, "*") == 0 || std::strcmp(pattern, "*.*") == 0;
  if (patterns_.size() <= list_depth_) patterns_.push_back(std::make_unique<DosPattern>());
  DosPattern* matcher = patterns_[list_depth_].get();
  if (!all) matcher->compile(pattern);
  ++list_depth_;
  const uint64_t serial = s->serial;
  const size_t count = s->dir->names_used;
  for (size_t i = 0; i < count; ++i) {
    s = slot_of(dir);  // a visitor may open or close directories
    if (s == nullptr || s->serial != serial) break;
    const TSK_FS_NAME& n = s->dir->names[i];
    if (!visible(n)) continue;
    if (!all && !matcher->matches(n.name)) continue;
    DirEntry entry;
    entry.name = n.name;
    entry.name_length = std::strlen(n.name);
    entry.kind = kind_at(dir, i);
    // As the Windows search shows it: a junction is a directory too (one
    // that is never entered).
    entry.directory = n.type == TSK_FS_NAME_TYPE_DIR;
    if (!visitor->visit(entry)) break;
  }
  --list_depth_;
  return true;
}

void TskVolume::fill_times(TSK_FS_FILE* file, EntryTimes* out) {
  *out = EntryTimes{};
  const TSK_FS_META* meta = file->meta;
  if (ntfs_) {
    // $STANDARD_INFORMATION as stored: creation, modification, MFT change,
    // access, each a FILETIME, at their full precision and range.
    const TSK_FS_ATTR* si = lib.tsk_fs_file_attr_get_type(file, TSK_FS_ATTR_TYPE_NTFS_SI, 0, 0);
    lib.tsk_error_reset();
    if (si != nullptr && (si->flags & TSK_FS_ATTR_RES) != 0 && si->rd.buf != nullptr &&
        si->size >= 32 && si->rd.buf_size >= 32) {
      out->creation = read_le64(si->rd.buf);
      out->last_write = read_le64(si->rd.buf + 8);
      out->last_access = read_le64(si->rd.buf + 24);
      return;
    }
  }
  out->last_write = time_from_unix(meta->mtime, meta->mtime_nano);
  out->last_access = time_from_unix(meta->atime, meta->atime_nano);
  out->creation = time_from_unix(meta->crtime, meta->crtime_nano);
}

bool TskVolume::lookup(DirRef dir, const char* name, EntryInfo* out) {
  const long index = find_name(dir, name);
  if (index < 0) return false;
  const TSK_FS_NAME& n = dirs_[static_cast<size_t>(dir)].dir->names[index];
  *out = EntryInfo{};
  if (!load_scratch(n.meta_addr)) {
    // The name is there but its metadata cannot be read.
    out->kind = n.type == TSK_FS_NAME_TYPE_DIR   ? EntryKind::kDirectory
                : n.type == TSK_FS_NAME_TYPE_REG ? EntryKind::kRegular
                                                 : EntryKind::kOther;
    return true;
  }
  const TSK_FS_META* meta = scratch_->meta;
  switch (meta->type) {
    case TSK_FS_META_TYPE_REG:
      out->kind = EntryKind::kRegular;
      out->size = meta->size > 0 ? static_cast<uint64_t>(meta->size) : 0;
      break;
    case TSK_FS_META_TYPE_DIR:
      out->kind = (ntfs_ && lib.tsk_fs_file_attr_get_type(scratch_, TSK_FS_ATTR_TYPE_NTFS_REPARSE,
                                                       0, 0) != nullptr)
                      ? EntryKind::kLink
                      : EntryKind::kDirectory;
      lib.tsk_error_reset();
      break;
    case TSK_FS_META_TYPE_LNK:
      out->kind = EntryKind::kLink;
      break;
    default:
      out->kind = EntryKind::kOther;
      break;
  }
  fill_times(scratch_, &out->times);
  return true;
}

FileRef TskVolume::open_file_addr(TSK_INUM_T addr, bool require_regular) {
  size_t index;
  if (!free_files_.empty()) {
    index = free_files_.back();
    free_files_.pop_back();
  } else {
    index = files_.size();
    files_.emplace_back();
  }
  FileSlot& s = files_[index];
  lib.tsk_error_reset();
  TSK_FS_FILE* file = lib.tsk_fs_file_open_meta(fs_, s.file, addr);
  if (file != nullptr) s.file = file;
  if (file == nullptr || file->meta == nullptr ||
      (require_regular && file->meta->type != TSK_FS_META_TYPE_REG)) {
    lib.tsk_error_reset();
    free_files_.push_back(index);
    return kNoFile;
  }
  s.offset = 0;
  s.readable = true;
  s.in_use = true;
  return static_cast<FileRef>(index);
}

FileRef TskVolume::open_file(DirRef dir, const char* name, EntryKind) {
  const long index = find_name(dir, name);
  if (index < 0) return kNoFile;
  const TSK_FS_NAME& n = dirs_[static_cast<size_t>(dir)].dir->names[index];
  if (n.type == TSK_FS_NAME_TYPE_DIR) return kNoFile;
  return open_file_addr(n.meta_addr, true);
}

size_t TskVolume::read_file(FileRef file, void* buffer, size_t size) {
  FileSlot* s = file_slot_of(file);
  if (s == nullptr || !s->readable || size == 0) return 0;
  if (s->offset >= s->file->meta->size) return 0;
  // Asked for no more than is left: the library clears the whole buffer it
  // is given before it copies a resident file's bytes.
  const TSK_OFF_T left = s->file->meta->size - s->offset;
  if (static_cast<uint64_t>(left) < size) size = static_cast<size_t>(left);
  lib.tsk_error_reset();
  const ssize_t got = lib.tsk_fs_file_read(s->file, s->offset, static_cast<char*>(buffer), size,
                                       TSK_FS_FILE_READ_FLAG_NONE);
  if (got <= 0) {
    lib.tsk_error_reset();
    return 0;
  }
  s->offset += got;
  return static_cast<size_t>(got);
}

void TskVolume::close_file(FileRef file) {
  FileSlot* s = file_slot_of(file);
  if (s == nullptr) return;
  s->in_use = false;  // the TSK file object stays for the next open
  free_files_.push_back(static_cast<size_t>(file));
}

bool TskVolume::capture_times(FileRef file, SavedTimes* out) {
  FileSlot* s = file_slot_of(file);
  if (s == nullptr) return false;
  *out = SavedTimes{};
  out->is_regular = true;
  return true;
}

bool TskVolume::find_bin_folders(std::vector<std::string>* out, std::string* error) {
  out->clear();
  const DirRef root = open_dir_addr(fs_->root_inum, error);
  if (root == kNoDir) return false;
  static const char* const kBinNames[] = {"$Recycle.Bin", "RECYCLER", "RECYCLED"};
  for (const char* bin : kBinNames) {
    const size_t count = dirs_[static_cast<size_t>(root)].dir->names_used;
    for (size_t i = 0; i < count; ++i) {
      const TSK_FS_NAME& n = dirs_[static_cast<size_t>(root)].dir->names[i];
      if (!visible(n) || compare_folded(n.name, bin) != 0) continue;
      if (kind_at(root, i) != EntryKind::kDirectory) continue;
      out->push_back(dirs_[static_cast<size_t>(root)].dir->names[i].name);
    }
  }
  close_directory(root);
  return true;
}

bool TskVolume::data_readable(TSK_FS_FILE* file) {
  lib.tsk_error_reset();
  const TSK_FS_ATTR* data = lib.tsk_fs_file_attr_get(file);
  if (data == nullptr) {
    lib.tsk_error_reset();
    return false;
  }
  if ((data->flags & TSK_FS_ATTR_RES) != 0) return true;
  if ((data->flags & TSK_FS_ATTR_NONRES) == 0) return false;
  // The clusters that hold what would be read must still be free: a cluster
  // allocated again belongs to another file now.
  const TSK_OFF_T wanted = std::min<TSK_OFF_T>(data->size, kCarveCheckBytes);
  const TSK_DADDR_T blocks = static_cast<TSK_DADDR_T>(
      (wanted + fs_->block_size - 1) / static_cast<TSK_OFF_T>(fs_->block_size));
  TSK_DADDR_T covered = 0;
  for (const TSK_FS_ATTR_RUN* run = data->nrd.run; run != nullptr; run = run->next) {
    if (run->offset >= blocks) break;
    if ((run->flags & TSK_FS_ATTR_RUN_FLAG_FILLER) != 0) return false;
    const TSK_DADDR_T len = std::min<TSK_DADDR_T>(run->len, blocks - run->offset);
    if ((run->flags & TSK_FS_ATTR_RUN_FLAG_SPARSE) == 0) {
      for (TSK_DADDR_T b = 0; b < len; ++b) {
        const TSK_DADDR_T addr = run->addr + b;
        if (addr > fs_->last_block) return false;
        if ((fs_->block_getflags(fs_, addr) & TSK_FS_BLOCK_FLAG_ALLOC) != 0) {
          lib.tsk_error_reset();
          return false;
        }
      }
    }
    covered = run->offset + len;
  }
  lib.tsk_error_reset();
  return covered >= blocks;
}


// An entry found while carving, before it is handed out.
struct CarveCandidate {
  TSK_INUM_T addr = 0;
  bool has_parent = false;
  TSK_INUM_T parent = 0;
  std::string directory;
  std::string name;
};

struct CarveSearch {
  TSK_FS_INFO* fs = nullptr;
  std::vector<CarveCandidate> found;
  std::unordered_set<TSK_INUM_T> seen;
};

// True when the metadata entry is an unallocated regular file that still
// carries the name `name` (an entry taken over by another file since then
// holds that file's data, not this name's).
bool deleted_entry_named(const TSK_FS_META* meta, const char* name) {
  if (meta == nullptr || (meta->flags & TSK_FS_META_FLAG_UNALLOC) == 0) return false;
  if (meta->type != TSK_FS_META_TYPE_REG) return false;
  if (meta->name2 == nullptr) return true;
  for (const TSK_FS_META_NAME_LIST* n = meta->name2; n != nullptr; n = n->next) {
    if (std::strcmp(n->name, name) == 0) return true;
  }
  return false;
}

TSK_WALK_RET_ENUM carve_from_folders(TSK_FS_FILE* file, const char* path, void* context) {
  auto* search = static_cast<CarveSearch*>(context);
  const TSK_FS_NAME* name = file->name;
  if (name == nullptr || (name->flags & TSK_FS_NAME_FLAG_UNALLOC) == 0) return TSK_WALK_CONT;
  if (!starts_with_index_prefix(name->name)) return TSK_WALK_CONT;
  const TSK_FS_META* meta = file->meta;
  if (!deleted_entry_named(meta, name->name)) return TSK_WALK_CONT;
  if (!search->seen.insert(meta->addr).second) return TSK_WALK_CONT;
  CarveCandidate c;
  c.addr = meta->addr;
  c.has_parent = name->par_addr != TSK_FS_ORPHANDIR_INUM(search->fs);
  c.parent = name->par_addr;
  c.directory = "/";
  c.directory += path != nullptr ? path : "";
  if (c.directory.back() != '/') c.directory += '/';
  c.name = name->name;
  search->found.push_back(std::move(c));
  return TSK_WALK_CONT;
}

TSK_WALK_RET_ENUM carve_from_entries(TSK_FS_FILE* file, void* context) {
  auto* search = static_cast<CarveSearch*>(context);
  const TSK_FS_META* meta = file->meta;
  if (meta == nullptr || meta->type != TSK_FS_META_TYPE_REG) return TSK_WALK_CONT;
  if ((meta->flags & TSK_FS_META_FLAG_UNALLOC) == 0) return TSK_WALK_CONT;
  const char* index_name = nullptr;
  for (const TSK_FS_META_NAME_LIST* n = meta->name2; n != nullptr; n = n->next) {
    if (starts_with_index_prefix(n->name)) {
      index_name = n->name;
      break;
    }
  }
  if (index_name == nullptr) return TSK_WALK_CONT;
  if (!search->seen.insert(meta->addr).second) return TSK_WALK_CONT;
  CarveCandidate c;
  c.addr = meta->addr;
  c.directory = "/$OrphanFiles/";
  c.name = index_name;
  search->found.push_back(std::move(c));
  return TSK_WALK_CONT;
}

bool TskVolume::carve_index_files(CarvedFileVisitor* visitor, std::string* error) {
  if (!ntfs_) return true;
  CarveSearch search;
  search.fs = fs_;
  lib.tsk_error_reset();
  // Deleted names in folders, orphans (the library's $OrphanFiles) among
  // them; then every unallocated entry, for any that no folder names.
  if (lib.tsk_fs_dir_walk(fs_, fs_->root_inum,
                      static_cast<TSK_FS_DIR_WALK_FLAG_ENUM>(TSK_FS_DIR_WALK_FLAG_ALLOC |
                                                             TSK_FS_DIR_WALK_FLAG_UNALLOC |
                                                             TSK_FS_DIR_WALK_FLAG_RECURSE),
                      carve_from_folders, &search) != 0) {
    if (error != nullptr) *error = failure(library_reason("the folders cannot be searched"));
    return false;
  }
  if (lib.tsk_fs_meta_walk(fs_, fs_->first_inum, fs_->last_inum,
                       static_cast<TSK_FS_META_FLAG_ENUM>(TSK_FS_META_FLAG_UNALLOC |
                                                          TSK_FS_META_FLAG_USED),
                       carve_from_entries, &search) != 0) {
    if (error != nullptr) *error = failure(library_reason("the MFT cannot be searched"));
    return false;
  }
  lib.tsk_error_reset();
  for (const CarveCandidate& c : search.found) {
    DirRef parent = kNoDir;
    if (c.has_parent) parent = open_dir_addr(c.parent, nullptr);
    const FileRef file = open_file_addr(c.addr, false);
    CarvedIndexFile carved;
    carved.parent = parent;
    carved.directory = c.directory;
    carved.name = c.name;
    carved.entry = c.addr;
    carved.file = file;
    if (file != kNoFile) {
      FileSlot& s = files_[static_cast<size_t>(file)];
      s.readable = data_readable(s.file);
      carved.data_readable = s.readable;
    }
    const bool go_on = visitor->visit(carved);
    if (file != kNoFile) close_file(file);
    if (parent != kNoDir) close_directory(parent);
    if (!go_on) break;
  }
  return true;
}

class TskImage final : public EvidenceImage {
 public:
  TskImage(TSK_IMG_INFO* img) : img_(img) {}
  ~TskImage() override {
    volumes_.clear();  // each closes its file system before the image goes
    if (vs_ != nullptr) lib.tsk_vs_close(vs_);
    lib.tsk_img_close(img_);
  }
  size_t volume_count() const override { return volumes_.size(); }
  ImageVolume* volume(size_t index) override {
    return index < volumes_.size() ? volumes_[index].get() : nullptr;
  }
  const std::vector<std::string>& volume_errors() const override { return errors_; }

  TSK_IMG_INFO* img_;
  TSK_VS_INFO* vs_ = nullptr;
  std::vector<std::unique_ptr<TskVolume>> volumes_;
  std::vector<std::string> errors_;
};

}  // namespace

std::unique_ptr<EvidenceImage> EvidenceImage::open(const char* path, std::string* error) {
  const std::string image_name = path;
  // A FIFO, socket or character device would block the run or never end;
  // an image is a file or a disk (a block device).
  struct stat st;
  if (stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode) &&
      !S_ISDIR(st.st_mode)) {
    *error = "Can't read image " + image_name + ": not a file or a disk";
    return nullptr;
  }
  std::string reason;
  if (!load_library(&reason)) {
    *error = "Can't read image " + image_name + ": " + reason;
    return nullptr;
  }
  lib.tsk_error_reset();
  TSK_IMG_INFO* img = lib.tsk_img_open_utf8_sing(path, container_type(path), 0);
  if (img == nullptr) {
    *error = "Can't read image " + image_name + ": " + library_reason("it cannot be opened");
    return nullptr;
  }
  auto image = std::make_unique<TskImage>(img);
  // An image whose first sector cannot be read (shorter than a sector, or a
  // damaged container) is told as such, not as one without a file system.
  char sector[512];
  lib.tsk_error_reset();
  if (lib.tsk_img_read(img, 0, sector, sizeof sector) != static_cast<ssize_t>(sizeof sector)) {
    *error = "Can't read image " + image_name +
             ": its first sector cannot be read, the image is truncated or damaged (" +
             library_reason("read error") + ")";
    return nullptr;
  }
  image->vs_ = lib.tsk_vs_open(img, 0, TSK_VS_TYPE_DETECT);
  if (image->vs_ == nullptr) {
    // No partition table: the whole image may be one file system.
    const std::string table_reason = library_reason("no partition table");
    TSK_FS_INFO* fs = lib.tsk_fs_open_img(img, 0, TSK_FS_TYPE_DETECT);
    if (fs == nullptr) {
      *error = "Can't read image " + image_name +
               ": neither a partition table nor a file system was found (" +
               library_reason("no file system") + ")";
      return nullptr;
    }
    image->volumes_.push_back(std::make_unique<TskVolume>(fs, image_name, "p0", 1));
    return image;
  }
  bool any_partition = false;
  for (TSK_PNUM_T i = 0; i < image->vs_->part_count; ++i) {
    const TSK_VS_PART_INFO* part = lib.tsk_vs_part_get(image->vs_, i);
    if (part == nullptr || (part->flags & TSK_VS_PART_FLAG_ALLOC) == 0) continue;
    if (holds_no_file_system(part->desc)) continue;
    any_partition = true;
    const std::string name = "p" + std::to_string(part->addr);
    lib.tsk_error_reset();
    TSK_FS_INFO* fs = lib.tsk_fs_open_vol(part, TSK_FS_TYPE_DETECT);
    if (fs == nullptr) {
      std::string where = "sectors " + std::to_string(part->start) + " to " +
                          std::to_string(part->start + part->len - 1);
      if (part->desc != nullptr && part->desc[0] != '\0') where = part->desc + (", " + where);
      image->errors_.push_back("Can't read image " + image_name + ", partition " + name + " (" +
                               where + "): no file system that can be read (" +
                               library_reason("unknown file system") + ")");
      continue;
    }
    image->volumes_.push_back(
        std::make_unique<TskVolume>(fs, image_name, name, static_cast<uint64_t>(part->start) + 1));
  }
  if (!any_partition) {
    *error = "Can't read image " + image_name + ": its partition table lists no partition";
    return nullptr;
  }
  return image;
}

std::vector<std::string> evidence_files(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return {};
  return {path};
}
