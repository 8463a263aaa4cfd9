// Evidence images through The Sleuth Kit's library.  Each volume is held as
// a TSK file system; a directory handle is a slot holding the directory's
// names as TSK loaded them, a file handle a slot holding a reusable TSK file
// object.  Nothing here writes to the image.
//
// Raw, split raw and EWF images are read by this program's own readers
// (image_reader.h), offered to the library as an external image, so that
// every byte that cannot be read is known as such; VMDK, VHD and AFF images
// are read by the library's own readers, after their files are checked.
// A shadow-copy store of an NTFS volume (shadow_copies.h) is offered to the
// library the same way, as an image of its own over the store's reader,
// which reads the volume's bytes through the image as the library does.
//
// The library (and the dozens of libraries it needs for E01, VMDK, VHD and
// AFF images) is loaded when the first image is opened, so that a run
// without an image starts as fast as ever and does not need it at all.
//
// This is the row of The Sleuth Kit in the table of image backends
// (image_backends.cc): open_with_tsk() opens an image, and the table of
// containers below says how each container's bytes reach the library.
#include <tsk/libtsk.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "image/entry_facts.h"
#include "image/evidence_image.h"
#include "image/image_reader.h"
#include "image/image_set.h"
#include "image/ntfs_folder.h"
#include "image/shadow_copies.h"
#include "image/tsk_library.h"
#include "platform/dos_pattern.h"
#include "platform/dynamic_library.h"
#include "platform/file_time.h"
#include "platform/image_files.h"

TskLibrary tsk_library;

namespace {

#ifndef BINSIFT_TSK_LIBRARY
#define BINSIFT_TSK_LIBRARY "libtsk.so"
#endif

TskLibrary& lib = tsk_library;

// Loads the library once; false with the reason when it cannot be.
bool load_tsk(std::string* reason) {
  if (lib.handle != nullptr) return true;
  std::string why;
  const LibraryHandle handle = load_library(BINSIFT_TSK_LIBRARY, &why);
  if (handle == nullptr) {
    *reason = std::string("The Sleuth Kit library cannot be loaded (") +
              (!why.empty() ? why : BINSIFT_TSK_LIBRARY) + ")";
    return false;
  }
  TskLibrary loaded;
#define BINSIFT_TSK_LOAD(name)                                                        \
  loaded.name = reinterpret_cast<decltype(&::name)>(library_symbol(handle, #name));  \
  if (loaded.name == nullptr) {                                                      \
    *reason = "The Sleuth Kit library " BINSIFT_TSK_LIBRARY " lacks " #name;         \
    unload_library(handle);                                                          \
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
// An MFT entry's header: its sequence number and flags (in use, directory).
constexpr uint16_t kMftInUse = 0x0001;
constexpr uint16_t kMftDirectory = 0x0002;

// What is known of one name of a listed directory, found when first asked:
// what it is (the low byte, from classify) ...
constexpr uint8_t kClassified = 0x80;
constexpr uint8_t kStale = 0x40;        // its entry is no longer in use: not shown
constexpr uint8_t kShownAsDirectory = 0x20;
constexpr uint8_t kKindBits = 0x0F;     // EntryKind
// ... whether its entry's metadata gives it this name in this folder ...
constexpr uint16_t kOwnNameKnown = 0x0100;
constexpr uint16_t kOwnName = 0x0200;
// ... and whether the listing shows it (NTFS: see TskVolume::decide).
constexpr uint16_t kDecided = 0x0400;
constexpr uint16_t kShown = 0x0800;
constexpr uint16_t kPassedOver = 0x1000;  // not shown, and maybe to be told
constexpr uint16_t kToldOrSilent = 0x2000;
// ... and whether another name of the folder has the same bytes.
constexpr uint16_t kTwin = 0x4000;
// The entries of this many folders of a folder are kept from its facts.
constexpr size_t kFoldersAhead = 4096;
// The facts of this many entries of the folders of a folder are read with
// its own.
constexpr size_t kFactsBelow = 16384;
constexpr uint32_t kNoFacts = 0xFFFFFFFF;
// Past this many MFT entries a set of entries keeps them one by one, not as
// bits: only a damaged $MFT claims so many.
constexpr uint64_t kEntryBitsLimit = uint64_t{1} << 26;

// The library's description of its last error, on one line, and the error
// state cleared.
std::string library_reason(const std::string& fallback) {
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

uint64_t read_le(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
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

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
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

// ---------------------------------------------------------------------------
// This program's readers, as the library sees them.

// Every read the library asks of a reader of this program.  A read that
// fails is counted, and its region told once.  The library first reads a
// whole cache block and, when that fails, at once the bytes it was asked
// for alone: a failed block read followed by a successful read inside it
// was no failure of what was asked, and the bytes asked for alone (or more
// than a cache block, which the library reads past its cache) are handed
// out with zeros for what cannot be read, so that the library goes on with
// the rest (a damaged MFT entry is one it passes over) while the failure is
// counted against whatever was being read.  Unreadable bytes never reach
// the library's cache.
class ReadGuard {
 public:
  ReadGuard(std::unique_ptr<ImageReader> reader, std::string image, ImageMessages* messages)
      : reader_(std::move(reader)), image_(std::move(image)), messages_(messages) {
    for (uint64_t region : reader_->told_regions()) told_.insert(region);
  }

  uint64_t size() const { return reader_->size(); }

  ssize_t read(TSK_OFF_T offset, char* buffer, size_t size) {
    const bool retry = pending_ && offset >= pending_start_ && static_cast<uint64_t>(offset) <
                                                                   pending_end_;
    if (pending_ && !retry) confirm(pending_failure_);
    pending_ = false;
    ReadFailure failure;
    if (offset < 0) {
      failure.reason = "a read before the image's start";
    } else if (reader_->read(static_cast<uint64_t>(offset), buffer, size, &failure)) {
      return static_cast<ssize_t>(size);
    } else if (retry || size + static_cast<size_t>(offset % 512) > TSK_IMG_INFO_CACHE_LEN) {
      // Asked for alone, or too much for the cache, which the library then
      // does not try again.
      read_around(static_cast<uint64_t>(offset), buffer, size);
      return static_cast<ssize_t>(size);
    } else {
      pending_ = true;
      pending_start_ = offset;
      pending_end_ = static_cast<uint64_t>(offset) + size;
      pending_failure_ = failure;
    }
    lib.tsk_error_reset();
    lib.tsk_error_set_errno(TSK_ERR_IMG_READ);
    lib.tsk_error_set_errstr("%s", failure.reason.c_str());
    return -1;
  }

  // While quiet, a read that fails is neither told nor counted against
  // what is being read, only in quiet_failures(): a read made ahead of its
  // turn, which is made again (and told) when its turn comes.
  void set_quiet(bool quiet) {
    settle();
    quiet_ = quiet;
  }
  uint64_t quiet_failures() const { return quiet_failures_; }

  // A failed read that the library did not try again counts now.
  void settle() {
    if (pending_) confirm(pending_failure_);
    pending_ = false;
  }
  uint64_t failures() const { return failures_; }
  const std::string& last_reason() const { return last_reason_; }

 private:
  // The bytes at `offset` sector by sector, zeros where they cannot be
  // read; each failure counted.
  void read_around(uint64_t offset, char* buffer, size_t size) {
    constexpr size_t kPiece = 512;
    size_t done = 0;
    while (done < size) {
      const size_t piece = std::min(kPiece - static_cast<size_t>((offset + done) % kPiece), size - done);
      ReadFailure failure;
      if (!reader_->read(offset + done, buffer + done, piece, &failure)) {
        std::memset(buffer + done, 0, piece);
        confirm(failure);
      }
      done += piece;
    }
  }

  void confirm(const ReadFailure& failure) {
    if (quiet_) {
      ++quiet_failures_;
      return;
    }
    ++failures_;
    last_reason_ = failure.reason;
    if (told_.insert(failure.region).second)
      messages_->problem("Can't read image " + image_ + ": " + failure.reason);
  }

  std::unique_ptr<ImageReader> reader_;
  std::string image_;
  ImageMessages* messages_;
  bool pending_ = false;
  TSK_OFF_T pending_start_ = 0;
  uint64_t pending_end_ = 0;
  ReadFailure pending_failure_;
  uint64_t failures_ = 0;
  bool quiet_ = false;
  uint64_t quiet_failures_ = 0;
  std::string last_reason_;
  std::unordered_set<uint64_t> told_;
};

// Whether the reads made between its start and failed() met a failure.
class FailureWatch {
 public:
  explicit FailureWatch(ReadGuard* guard)
      : guard_(guard), before_(guard != nullptr ? guard->failures() : 0) {}
  bool failed() {
    if (guard_ == nullptr) return false;
    guard_->settle();
    return guard_->failures() != before_;
  }
  // Why what was being read failed: the read that failed, when one did
  // (what the library makes of the zeros it was given instead says less),
  // else the library's own reason.
  std::string reason(const char* fallback) {
    if (failed()) {
      lib.tsk_error_reset();
      return "Error reading image file (" + guard_->last_reason() + ")";
    }
    return library_reason(fallback);
  }

 private:
  ReadGuard* guard_;
  uint64_t before_;
};

// The library's image structure first, as an external image must be.
struct ExternalImage {
  TSK_IMG_INFO info;
  ReadGuard* guard;
};

ssize_t external_read(TSK_IMG_INFO* img, TSK_OFF_T offset, char* buffer, size_t size) {
  return reinterpret_cast<ExternalImage*>(img)->guard->read(offset, buffer, size);
}
void external_close(TSK_IMG_INFO* img) { std::free(img); }
void external_stat(TSK_IMG_INFO*, FILE*) {}

// Offers the bytes that `guard` reads to the library as an image; null when
// the library cannot take them.
TSK_IMG_INFO* open_guarded(ReadGuard* guard) {
  auto* external = static_cast<ExternalImage*>(std::calloc(1, sizeof(ExternalImage)));
  if (external == nullptr) return nullptr;
  external->guard = guard;
  lib.tsk_error_reset();
  TSK_IMG_INFO* img =
      lib.tsk_img_open_external(external, static_cast<TSK_OFF_T>(guard->size()), 512,
                                external_read, external_close, external_stat);
  if (img == nullptr) std::free(external);
  return img;
}

// A shadow-copy store as the library reads it: an image of its own, whose
// bytes the store's reader gives.  Closed after the file system in it.
struct StoreImage {
  std::unique_ptr<ReadGuard> guard;
  TSK_IMG_INFO* img = nullptr;
  ~StoreImage() {
    if (img != nullptr) lib.tsk_img_close(img);
  }
};

// ---------------------------------------------------------------------------
// A file system's boot sector, read to tell why the library cannot open it.

struct FileSystemSignature {
  TSK_FS_TYPE_ENUM type = TSK_FS_TYPE_UNSUPP;
  const char* name = "";
  uint64_t size = 0;  // bytes, as the boot sector gives it
};

FileSystemSignature signature_at(TSK_IMG_INFO* img, TSK_OFF_T offset) {
  FileSystemSignature sig;
  uint8_t b[2048] = {};
  if (lib.tsk_img_read(img, offset, reinterpret_cast<char*>(b), sizeof b) !=
      static_cast<ssize_t>(sizeof b)) {
    lib.tsk_error_reset();
    return sig;
  }
  const uint64_t sector = read_le(b + 0x0B, 2);
  if (std::memcmp(b + 3, "NTFS    ", 8) == 0) {
    sig.type = TSK_FS_TYPE_NTFS;
    sig.name = "NTFS";
    sig.size = read_le(b + 0x28, 8) * sector;
  } else if (std::memcmp(b + 3, "EXFAT   ", 8) == 0) {
    sig.type = TSK_FS_TYPE_EXFAT;
    sig.name = "exFAT";
    const uint64_t shift = b[0x6C];
    sig.size = shift < 16 ? read_le(b + 0x48, 8) << shift : 0;
  } else if (b[510] == 0x55 && b[511] == 0xAA &&
             (std::memcmp(b + 0x36, "FAT1", 4) == 0 || std::memcmp(b + 0x52, "FAT32", 5) == 0)) {
    sig.type = TSK_FS_TYPE_FAT_DETECT;
    sig.name = "FAT";
    const uint64_t sectors = read_le(b + 0x13, 2) != 0 ? read_le(b + 0x13, 2) : read_le(b + 0x20, 4);
    sig.size = sectors * sector;
  } else if (read_le(b + 1024 + 56, 2) == 0xEF53) {
    sig.type = TSK_FS_TYPE_EXT_DETECT;
    sig.name = "ext";
    const uint64_t log = read_le(b + 1024 + 24, 4);
    sig.size = log < 20 ? read_le(b + 1024 + 4, 4) * (1024u << log) : 0;
  }
  return sig;
}

// Opens the file system at `offset` (of the partition `part`, when there is
// one) as the kind its boot sector names (NTFS, FAT, exFAT, ext), which
// reads a few sectors; the library's detection, which tries every kind it
// knows, only when there is no such boot sector or the volume does not open
// as that kind.
TSK_FS_INFO* open_file_system(TSK_IMG_INFO* img, const TSK_VS_PART_INFO* part, TSK_OFF_T offset) {
  const FileSystemSignature sig = signature_at(img, offset);
  if (sig.type != TSK_FS_TYPE_UNSUPP) {
    lib.tsk_error_reset();
    TSK_FS_INFO* fs = part != nullptr ? lib.tsk_fs_open_vol(part, sig.type)
                                      : lib.tsk_fs_open_img(img, offset, sig.type);
    if (fs != nullptr) return fs;
  }
  lib.tsk_error_reset();
  return part != nullptr ? lib.tsk_fs_open_vol(part, TSK_FS_TYPE_DETECT)
                         : lib.tsk_fs_open_img(img, offset, TSK_FS_TYPE_DETECT);
}

// Why no file system opens at `offset`: the library's detection gives no
// reason of its own kind, so a file system whose boot sector is there is
// opened again as that kind for the library's reason.
std::string file_system_failure(TSK_IMG_INFO* img, TSK_OFF_T offset, const std::string& detected,
                                FileSystemSignature* sig) {
  *sig = signature_at(img, offset);
  if (sig->type == TSK_FS_TYPE_UNSUPP) return detected;
  lib.tsk_error_reset();
  TSK_FS_INFO* fs = lib.tsk_fs_open_img(img, offset, sig->type);
  if (fs != nullptr) {
    lib.tsk_fs_close(fs);
    return detected;
  }
  return library_reason(detected);
}

// ---------------------------------------------------------------------------

// A set of MFT entries: a bit each, grown as entries are added, so that it
// costs an eighth of a byte per entry of the volume at most.
class EntrySet {
 public:
  bool contains(uint64_t entry) const {
    if (entry >= kEntryBitsLimit) return far_.count(entry) != 0;
    const size_t word = static_cast<size_t>(entry / 64);
    return word < bits_.size() && (bits_[word] >> (entry % 64) & 1) != 0;
  }
  void insert(uint64_t entry) {
    if (entry >= kEntryBitsLimit) {
      far_.insert(entry);
      return;
    }
    const size_t word = static_cast<size_t>(entry / 64);
    if (word >= bits_.size()) {
      bits_.reserve(std::min<size_t>(kEntryBitsLimit / 64, std::max(word + 1, 2 * bits_.size())));
      bits_.resize(word + 1, 0);
    }
    bits_[word] |= uint64_t{1} << (entry % 64);
  }

 private:
  std::vector<uint64_t> bits_;
  std::unordered_set<uint64_t> far_;
};

// An entry found while carving, before it is handed out.
struct CarveCandidate {
  TSK_INUM_T addr = 0;
  std::string name;
};

class TskVolume final : public ImageVolume {
 public:
  // `store`: the store image that holds the file system, when the volume
  // is a shadow copy's.
  TskVolume(TSK_FS_INFO* fs, const std::string& image, std::string name, uint64_t id,
            ReadGuard* guard, ImageMessages* messages, std::unique_ptr<StoreImage> store = nullptr)
      : fs_(fs),
        name_(std::move(name)),
        id_(id),
        guard_(guard),
        messages_(messages),
        store_(std::move(store)) {
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
    if (ntfs_) {
      // Every MFT entry is read once for the folders its names place it in
      // (a folder lists the names its index lacks): done here, so that an
      // unreadable entry elsewhere (told by the reader) is not counted
      // against the first folder opened.
      folders_ = std::make_unique<NtfsFolderReader>(fs_);
      folders_->read_parent_map();
      if (guard_ != nullptr) guard_->settle();
      lib.tsk_error_reset();
    }
  }

  ~TskVolume() override {
    for (DirSlot& slot : dirs_) {
      if (slot.listing == nullptr && slot.dir != nullptr) lib.tsk_fs_dir_close(slot.dir);
      slot.listing.reset();
      for (auto& kept : slot.folders_ahead) give_back(kept.second);
    }
    spare_listings_.clear();
    for (TSK_FS_FILE* file : spare_files_) lib.tsk_fs_file_close(file);
    for (FileSlot& slot : files_) {
      if (slot.file != nullptr) lib.tsk_fs_file_close(slot.file);
    }
    if (scratch_ != nullptr) lib.tsk_fs_file_close(scratch_);
    if (ahead_ != nullptr) lib.tsk_fs_file_close(ahead_);
    if (mft_ != nullptr) lib.tsk_fs_file_close(mft_);
    lib.tsk_fs_close(fs_);
  }

  // ImageVolume
  const std::string& name() const override { return name_; }
  const std::string& source_prefix() const override { return prefix_; }
  FileSystemKind kind() const override { return kind_; }
  bool names_fold_case() const override { return fold_names_; }
  const char* type_name() const override { return type_name_ != nullptr ? type_name_ : "?"; }
  bool last_open_missing() const override { return missing_; }
  bool find_bin_folders(std::vector<std::string>* out, std::string* error) override;
  void expect_files(const std::vector<std::string>& patterns) override;
  bool can_carve() const override { return ntfs_; }
  bool carve_index_files(const std::vector<std::string>& folders, bool recurse,
                         CarvedFileVisitor* visitor, std::string* error) override;
  std::unique_ptr<ScanBytes> unallocated_space(std::string* error) override;

  // FileSystem
  DirRef open_directory(const char* path, std::string* error) override;
  DirRef open_subdirectory(DirRef parent, const char* name, std::string* error) override;
  DirRef open_parent(DirRef child, std::string* error) override;
  DirRef open_subdirectory_anew(DirRef parent, const char* name, std::string* error) override {
    const DirRef dir = open_subdirectory(parent, name, error);
    if (dir != kNoDir) dirs_[static_cast<size_t>(dir)].reopened = true;
    return dir;
  }
  bool identify_directory(DirRef dir, DirIdentity* out) override;
  void close_directory(DirRef dir) override;
  size_t open_directory_budget() const override { return kDirectoryBudget; }
  bool list_directory(DirRef dir, const char* pattern, DirEntryVisitor* visitor,
                      std::string* error) override;
  bool search_per_pattern() const override { return false; }
  bool lookup(DirRef dir, const char* name, EntryInfo* out) override;
  void want_change_times(bool) override {}  // the metadata gives them with the rest
  bool names_deleted_entry(DirRef dir, const char* name) override;
  FileRef open_file(DirRef dir, const char* name, EntryKind hint) override;
  size_t read_file(FileRef file, void* buffer, size_t size) override;
  void close_file(FileRef file) override;
  bool file_info(FileRef file, EntryInfo* out) override;
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
  bool read_named_stream(DirRef dir, const char* name, const char* stream, char* buffer,
                         size_t capacity, size_t* length) override;

 private:
  struct DirSlot {
    TSK_FS_DIR* dir = nullptr;
    std::unique_ptr<NtfsFolderListing> listing;  // when this program loaded the folder
    TSK_INUM_T addr = 0;
    TSK_INUM_T parent = 0;
    std::string path;  // inside the volume, from "/" and ending with "/"
    // The folder this one was opened from (its slot and that slot's serial),
    // to refuse a folder that is its own ancestor in a corrupt volume.
    DirRef opened_from = kNoDir;
    uint64_t opened_from_serial = 0;
    uint64_t serial = 0;
    bool in_use = false;
    bool indexed = false;
    // Opened again after the walk closed it (open_parent): it may list
    // what it listed before.
    bool reopened = false;
    // Its folder was listed before in this volume: it lists nothing more.
    bool repeat = false;
    bool listing_checked = false;
    bool passed_over = false;  // a name was passed over: to tell, or not
    std::vector<uint32_t> by_name;    // visible names, sorted by bytes
    std::vector<uint32_t> by_folded;  // the same, sorted with ASCII case folded
    std::vector<uint32_t> by_entry;   // the same, sorted by entry, when needed
    bool entry_indexed = false;
    std::vector<uint16_t> state;      // kClassified and the rest, per name
    // NTFS: its entries' facts, read in MFT-entry order when first listed,
    // and the entries of the folders it holds, loaded then (by entry).
    EntryFactsTable facts;
    bool facts_read = false;
    std::vector<uint32_t> fact_of_name;  // per name: its entry's facts, or kNoFacts
    // The facts of the entries of the folders it holds whose index lies in
    // their MFT entry, read with its own: each such folder takes its own.
    EntryFactsTable facts_below;
    std::vector<std::pair<TSK_INUM_T, TSK_FS_FILE*>> folders_ahead;
  };
  struct FileSlot {
    TSK_FS_FILE* file = nullptr;  // reused from one open to the next
    // The file's data when it was kept with its folder's facts (then `file`
    // is not opened): every byte of it.
    bool kept = false;
    std::vector<uint8_t> data;
    EntryInfo kept_info;  // what file_info gives of a kept file
    TSK_OFF_T offset = 0;
    std::string path;             // for messages
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
  // Tells that the entry `addr` at `path` cannot be read, once per entry.
  void tell(const char* what, TSK_INUM_T addr, const std::string& path, const std::string& reason) {
    if (!told_entries_.insert(addr).second) return;
    messages_->problem(std::string("Can't read ") + what + " " + path + ": " + failure(reason));
  }

  // `entry`: the folder's own entry, loaded already, or null.
  DirRef open_dir_addr(TSK_INUM_T addr, const std::string& path, std::string* error,
                       TSK_FS_FILE* entry = nullptr);
  // The folder at `addr` as this program loads it (into `listing`) or, when
  // it leaves the folder to the library, as the library does; null when it
  // cannot be loaded.
  TSK_FS_DIR* load_folder(TSK_INUM_T addr, std::unique_ptr<NtfsFolderListing>* listing,
                          TSK_FS_FILE* entry);
  // File objects kept for reuse.
  TSK_FS_FILE* spare_file() {
    if (spare_files_.empty()) return nullptr;
    TSK_FS_FILE* file = spare_files_.back();
    spare_files_.pop_back();
    return file;
  }
  void give_back(TSK_FS_FILE* file) {
    if (file != nullptr) spare_files_.push_back(file);
  }
  TSK_INUM_T parent_of(const TSK_FS_DIR* dir) const;
  void build_index(DirSlot* slot);
  // The index of the live name `name` in the directory, or -1.
  long find_name(DirRef dir, const char* name);
  // Whether find_name finds the name at `index` (a live one) under its own
  // bytes: when no other name has them, without looking.
  bool is_own_name(DirRef dir, size_t index) {
    DirSlot* s = slot_of(dir);
    if (!s->indexed) build_index(s);
    return (s->state[index] & kTwin) == 0 ||
           find_name(dir, s->dir->names[index].name) == static_cast<long>(index);
  }
  // The index of the live name `name` in the directory, or -1; among
  // several entries of one name, the one whose metadata gives it the name
  // here.
  long pick_name(DirRef dir, const std::vector<uint32_t>& sorted, const char* name, bool folded);
  // What the name at `index` is (kClassified and the rest).
  uint8_t classify(DirRef dir, size_t index);
  // Whether the entry of the name at `index` has that name in this folder
  // by its own metadata.
  bool own_name(DirRef dir, size_t index);
  // Whether another name of the same entry in `dir` is shown.
  bool shown_under_another_name(DirRef dir, size_t index);
  // Where the metadata of `entry` puts it: the first of its names that is
  // not empty and lies in a folder in use (its parent reference's sequence
  // number matching); false when there is none.  `here` is the folder
  // being listed (known to be in use), `here_sequence` its sequence number.
  bool own_place(DirRef dir, size_t index, TSK_INUM_T here, uint32_t here_sequence,
                 TSK_INUM_T* parent, std::string* name);
  // Whether the listing of `dir` shows the name at `index`; decided once
  // per name (NTFS: each MFT entry under one name in one folder).
  bool decide(DirRef dir, size_t index);
  // Tells each name of `dir` passed over whose entry or name the volume
  // does not give otherwise.
  void tell_passed_over(DirRef dir);
  void tell_passed_over_once(DirRef dir);
  EntryKind kind_at(DirRef dir, size_t index) {
    return static_cast<EntryKind>(classify(dir, index) & kKindBits);
  }
  bool is_reparse_point(TSK_INUM_T addr);
  // Reads the facts of the entries `dir` lists (NTFS), in MFT-entry order.
  void read_facts(DirRef dir);
  // The facts of the entry of name `index` of `dir`, when read (any, or
  // only those of a loaded entry).
  const EntryFacts* any_facts_at(DirRef dir, size_t index) {
    const DirSlot* s = slot_of(dir);
    if (s == nullptr || index >= s->fact_of_name.size() || s->fact_of_name[index] == kNoFacts)
      return nullptr;
    return &s->facts.at(s->fact_of_name[index]);
  }
  const EntryFacts* facts_at(DirRef dir, size_t index) {
    const EntryFacts* f = any_facts_at(dir, index);
    return f != nullptr && f->loaded ? f : nullptr;
  }
  // read_mft_header and is_reparse_point, from the facts of `dir` where
  // they hold the entry (of name `index`).
  bool header_of(DirRef dir, TSK_INUM_T addr, uint16_t* sequence, uint16_t* flags);
  bool header_at(DirRef dir, size_t index, uint16_t* sequence, uint16_t* flags) {
    if (const EntryFacts* f = any_facts_at(dir, index)) {
      *sequence = f->sequence;
      *flags = f->flags;
      return f->header;
    }
    return read_mft_header(slot_of(dir)->dir->names[index].meta_addr, sequence, flags);
  }
  bool reparse_at(DirRef dir, size_t index) {
    const EntryFacts* f = facts_at(dir, index);
    return f != nullptr ? f->reparse : is_reparse_point(slot_of(dir)->dir->names[index].meta_addr);
  }
  // Reads the facts of `entries` into `table`, in their (MFT-entry) order,
  // taking those `known` holds from it.
  void read_facts_of(DirSlot* s, EntryFactsTable* table, const EntryFactsTable* known);
  // Reads the facts of the entries of the folders of `s` whose index lies
  // in their MFT entry.
  void read_facts_below(DirSlot* s);
  // Whether the run's patterns select `name`.
  bool expected(const char* name);
  // Keeps the data of the loaded regular file `file` with its facts, when
  // it lies in the MFT entry and there is room.
  void keep_data(EntryFactsTable* table, EntryFacts* facts, TSK_FS_FILE* file);
  // The sequence number and flags of MFT entry `addr`, read from its header.
  bool read_mft_header(TSK_INUM_T addr, uint16_t* sequence, uint16_t* flags);
  // Loads the metadata of `addr` into the lookup file object.
  bool load_scratch(TSK_INUM_T addr, std::string* reason = nullptr);
  FileRef open_file_addr(TSK_INUM_T addr, bool require_regular, const std::string& path);
  bool data_readable(TSK_FS_FILE* file);
  // Where the data of `file` starts in the volume; false when it is
  // resident or starts with no cluster.
  bool data_offset(TSK_FS_FILE* file, uint64_t* offset);
  // Carving: the deleted index files the open folder `dir` lists, handed
  // out, and (when `below` is given) the folders it holds; false when the
  // visitor stops.
  bool carve_folder(DirRef dir, CarvedFileVisitor* visitor, std::unordered_set<TSK_INUM_T>* seen,
                    std::vector<std::pair<TSK_INUM_T, std::string>>* below);
  bool visit_carved(DirRef parent, const std::string& directory, const CarveCandidate& c,
                    CarvedFileVisitor* visitor);
  // The path of folder `addr` from its names, from "/" and ending with "/";
  // empty when it cannot be told.
  std::string folder_path(TSK_INUM_T addr, int depth);
  void fill_times(TSK_FS_FILE* file, EntryTimes* out);

  TSK_FS_INFO* fs_;
  std::string name_, prefix_, context_;
  uint64_t id_;
  ReadGuard* guard_;  // null when the library reads the image itself
  ImageMessages* messages_;
  std::unique_ptr<StoreImage> store_;  // closed after fs_
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
  TSK_FS_FILE* ahead_ = nullptr;    // for facts read ahead
  // The entries whose facts are read, and whether their data is kept.
  std::vector<std::pair<TSK_INUM_T, bool>> ahead_entries_;
  // The run's file patterns: the data of the files they select is kept
  // with the facts.
  std::vector<DosPattern> expected_;
  NtfsFolderNames below_names_;  // read_facts_below's, reused
  std::vector<TSK_FS_FILE*> spare_files_;
  // NTFS: folders loaded by this program, and listings kept for reuse.
  std::unique_ptr<NtfsFolderReader> folders_;
  std::vector<std::unique_ptr<NtfsFolderListing>> spare_listings_;
  // $MFT, whose entries' headers tell which names are live.
  TSK_FS_FILE* mft_ = nullptr;
  uint64_t mft_entry_size_ = 0;
  bool mft_tried_ = false;
  std::unordered_set<TSK_INUM_T> told_entries_;
  // NTFS: the entries a listing showed without their own metadata placing
  // them there (each is shown once), and the folders listed, each listed
  // once per volume.
  EntrySet shown_unplaced_;
  EntrySet listed_;
  std::string place_name_;  // own_place's answer, reused
  std::unordered_map<TSK_INUM_T, std::string> folder_paths_;
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

TSK_FS_DIR* TskVolume::load_folder(TSK_INUM_T addr, std::unique_ptr<NtfsFolderListing>* listing,
                                   TSK_FS_FILE* entry) {
  if (folders_ != nullptr) {
    if (!spare_listings_.empty()) {
      *listing = std::move(spare_listings_.back());
      spare_listings_.pop_back();
    } else {
      *listing = std::make_unique<NtfsFolderListing>();
    }
    if (entry != nullptr) give_back((*listing)->adopt(entry));
    if (folders_->load(addr, listing->get(), entry != nullptr)) return (*listing)->dir();
    spare_listings_.push_back(std::move(*listing));
  } else {
    give_back(entry);
  }
  return lib.tsk_fs_dir_open_meta(fs_, addr);
}

DirRef TskVolume::open_dir_addr(TSK_INUM_T addr, const std::string& path, std::string* error,
                                TSK_FS_FILE* entry) {
  lib.tsk_error_reset();
  FailureWatch watch(guard_);
  std::unique_ptr<NtfsFolderListing> listing;
  TSK_FS_DIR* dir = load_folder(addr, &listing, entry);
  if (dir == nullptr) {
    if (error != nullptr) *error = failure(watch.reason("the folder cannot be read"));
    return kNoDir;
  }
  // Part of the folder could not be read: what the library could list of
  // it is walked, and the folder named.
  if (watch.failed()) tell("part of directory", addr, path, watch.reason("part of it cannot be read"));
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
  s.listing = std::move(listing);
  s.addr = addr;
  s.parent = parent_of(dir);
  s.path = path;
  s.opened_from = kNoDir;
  s.opened_from_serial = 0;
  s.serial = next_serial_++;
  s.in_use = true;
  s.indexed = false;
  s.reopened = false;
  s.repeat = false;
  s.listing_checked = false;
  s.passed_over = false;
  s.entry_indexed = false;
  s.facts.clear();
  s.facts_read = false;
  s.fact_of_name.clear();
  s.facts_below.clear();
  s.by_entry.clear();
  s.by_name.clear();
  s.by_folded.clear();
  s.state.assign(dir->names_used, 0);
  return static_cast<DirRef>(index);
}

void TskVolume::close_directory(DirRef dir) {
  DirSlot* s = slot_of(dir);
  if (s == nullptr) return;
  if (s->listing != nullptr) {
    spare_listings_.push_back(std::move(s->listing));
  } else {
    lib.tsk_fs_dir_close(s->dir);
  }
  for (auto& kept : s->folders_ahead) give_back(kept.second);
  s->folders_ahead.clear();
  s->facts.release();
  s->facts_below.release();
  s->fact_of_name.clear();
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
  std::stable_sort(s->by_name.begin(), s->by_name.end(), [names](uint32_t a, uint32_t b) {
    return std::strcmp(names[a].name, names[b].name) < 0;
  });
  if (fold_names_) {
    s->by_folded = s->by_name;
    std::stable_sort(s->by_folded.begin(), s->by_folded.end(), [names](uint32_t a, uint32_t b) {
      return compare_folded(names[a].name, names[b].name) < 0;
    });
  }
  // Names of the same bytes (only a damaged index has them) are looked up
  // one by one; any other is its own name.
  for (size_t k = 1; k < s->by_name.size(); ++k) {
    if (std::strcmp(names[s->by_name[k - 1]].name, names[s->by_name[k]].name) == 0) {
      s->state[s->by_name[k - 1]] |= kTwin;
      s->state[s->by_name[k]] |= kTwin;
    }
  }
  s->indexed = true;
}

long TskVolume::find_name(DirRef dir, const char* name) {
  DirSlot* s = slot_of(dir);
  if (s == nullptr || name == nullptr) return -1;
  if (!s->indexed) build_index(s);
  const long exact = pick_name(dir, s->by_name, name, false);
  if (exact >= 0 || !fold_names_) return exact;
  return pick_name(dir, slot_of(dir)->by_folded, name, true);
}

long TskVolume::pick_name(DirRef dir, const std::vector<uint32_t>& sorted, const char* name,
                          bool folded) {
  const TSK_FS_NAME* names = slot_of(dir)->dir->names;
  auto same = [&](uint32_t index) {
    return folded ? compare_folded(names[index].name, name) == 0
                  : std::strcmp(names[index].name, name) == 0;
  };
  auto it = std::lower_bound(sorted.begin(), sorted.end(), name, [&](uint32_t a, const char* key) {
    return folded ? compare_folded(names[a].name, key) < 0 : std::strcmp(names[a].name, key) < 0;
  });
  // A folder index may still list a name whose entry is no longer in use
  // beside the live entry of the same name: the live one is the name.
  long first = -1;
  bool several = false;
  for (auto at = it; at != sorted.end() && same(*at); ++at) {
    if ((classify(dir, *at) & kStale) != 0) continue;
    if (first >= 0) {
      several = true;
      break;
    }
    first = static_cast<long>(*at);
  }
  if (!several || !ntfs_) return first;
  // Several live entries of one name: a damaged index entry names another
  // entry so, and The Sleuth Kit lists the true one as well, found from the
  // parent reference in its metadata.  The one whose metadata gives it the
  // name here is the name's.
  for (auto at = it; at != sorted.end() && same(*at); ++at) {
    if ((classify(dir, *at) & kStale) == 0 && own_name(dir, *at)) return static_cast<long>(*at);
  }
  return first;
}

bool TskVolume::load_scratch(TSK_INUM_T addr, std::string* reason) {
  lib.tsk_error_reset();
  FailureWatch watch(guard_);
  TSK_FS_FILE* file = lib.tsk_fs_file_open_meta(fs_, scratch_, addr);
  if (file != nullptr) scratch_ = file;
  if (file == nullptr || file->meta == nullptr || watch.failed()) {
    const std::string why = watch.reason("its metadata cannot be read");
    if (reason != nullptr) *reason = why;
    return false;
  }
  return true;
}

bool TskVolume::read_mft_header(TSK_INUM_T addr, uint16_t* sequence, uint16_t* flags) {
  if (!mft_tried_) {
    mft_tried_ = true;
    // The entry size from the boot sector: a cluster count, or when negative
    // a power of two of bytes.
    int8_t size_code = 0;
    if (lib.tsk_fs_read(fs_, 0x40, reinterpret_cast<char*>(&size_code), 1) == 1) {
      const uint64_t size = size_code > 0 ? static_cast<uint64_t>(size_code) * fs_->block_size
                            : size_code > -31 ? uint64_t{1} << -size_code
                                              : 0;
      if (size >= 256 && size <= 65536 && size % 256 == 0) mft_entry_size_ = size;
    }
    if (mft_entry_size_ != 0) mft_ = lib.tsk_fs_file_open_meta(fs_, nullptr, 0);
    lib.tsk_error_reset();
  }
  if (mft_ == nullptr) return false;
  uint8_t header[24];
  FailureWatch watch(guard_);
  const ssize_t got = lib.tsk_fs_file_read(mft_, static_cast<TSK_OFF_T>(addr * mft_entry_size_),
                                           reinterpret_cast<char*>(header), sizeof header,
                                           TSK_FS_FILE_READ_FLAG_NONE);
  if (got != static_cast<ssize_t>(sizeof header) || watch.failed() ||
      std::memcmp(header, "FILE", 4) != 0) {
    lib.tsk_error_reset();
    return false;
  }
  *sequence = static_cast<uint16_t>(read_le(header + 16, 2));
  *flags = static_cast<uint16_t>(read_le(header + 22, 2));
  return true;
}

void TskVolume::expect_files(const std::vector<std::string>& patterns) {
  expected_.clear();
  for (const std::string& pattern : patterns) {
    if (pattern.empty() || pattern[0] == '-') break;
    expected_.emplace_back();
    expected_.back().compile(pattern.c_str());
  }
}

bool TskVolume::header_of(DirRef dir, TSK_INUM_T addr, uint16_t* sequence, uint16_t* flags) {
  const DirSlot* s = slot_of(dir);
  if (const EntryFacts* f = s != nullptr ? s->facts.find(addr) : nullptr) {
    *sequence = f->sequence;
    *flags = f->flags;
    return f->header;
  }
  return read_mft_header(addr, sequence, flags);
}

void TskVolume::keep_data(EntryFactsTable* table, EntryFacts* facts, TSK_FS_FILE* file) {
  // What read_file would read through the library: the data attribute's
  // own bytes, when they are all there and it is as long as the file.
  const TSK_FS_ATTR* data = lib.tsk_fs_file_attr_get(file);
  lib.tsk_error_reset();
  const TSK_OFF_T size = file->meta->size;
  if (data == nullptr || (data->flags & TSK_FS_ATTR_RES) == 0 || (data->flags & TSK_FS_ATTR_COMP) != 0 ||
      data->size != size || size < 0 || static_cast<uint64_t>(size) > EntryFactsTable::kFileDataBytes ||
      (size > 0 && (data->rd.buf == nullptr || data->rd.buf_size < static_cast<size_t>(size))))
    return;
  table->add_data(facts, data->rd.buf, static_cast<size_t>(size));
}

// Sorts `entries` by entry, each once; an entry of several names has its
// data kept when any of them is selected.
void sort_entries(std::vector<std::pair<TSK_INUM_T, bool>>* entries) {
  std::sort(entries->begin(), entries->end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second > b.second;
  });
  entries->erase(std::unique(entries->begin(), entries->end(),
                             [](const auto& a, const auto& b) { return a.first == b.first; }),
                 entries->end());
}

bool TskVolume::expected(const char* name) {
  for (DosPattern& pattern : expected_) {
    if (pattern.matches(name)) return true;
  }
  return false;
}

void TskVolume::read_facts(DirRef dir) {
  DirSlot* s = slot_of(dir);
  s->facts_read = true;
  s->facts.clear();
  ahead_entries_.clear();
  for (size_t i = 0; i < s->dir->names_used; ++i) {
    const TSK_FS_NAME& n = s->dir->names[i];
    if (visible(n) && !is_dot_or_dot_dot(n.name)) ahead_entries_.emplace_back(n.meta_addr, expected(n.name));
  }
  sort_entries(&ahead_entries_);
  // The folder it was opened from may have read them already.
  const DirSlot* above = slot_of(s->opened_from);
  const EntryFactsTable* known =
      above != nullptr && above->serial == s->opened_from_serial && above->facts_below.size() != 0
          ? &above->facts_below
          : nullptr;
  read_facts_of(s, &s->facts, known);
  s->fact_of_name.assign(s->dir->names_used, kNoFacts);
  for (size_t i = 0; i < s->dir->names_used; ++i) {
    const TSK_FS_NAME& n = s->dir->names[i];
    if (!visible(n) || is_dot_or_dot_dot(n.name)) continue;
    if (const EntryFacts* f = s->facts.find(n.meta_addr))
      s->fact_of_name[i] = static_cast<uint32_t>(f - &s->facts.at(0));
  }
  read_facts_below(s);
}

void TskVolume::read_facts_below(DirSlot* s) {
  s->facts_below.clear();
  ahead_entries_.clear();
  NtfsIndexVolume volume;
  volume.first_entry = fs_->first_inum;
  volume.last_entry = fs_->last_inum;
  volume.cluster_size = fs_->block_size;
  for (const auto& [entry, file] : s->folders_ahead) {
    if (ahead_entries_.size() >= kFactsBelow) break;
    if (file == nullptr || file->meta == nullptr) continue;
    // Only a folder whose whole index lies in its MFT entry: a larger one
    // reads its own.
    const TSK_FS_ATTR* root = lib.tsk_fs_file_attr_get_type(file, TSK_FS_ATTR_TYPE_NTFS_IDXROOT, 0, 0);
    const TSK_FS_ATTR* allocation =
        lib.tsk_fs_file_attr_get_type(file, TSK_FS_ATTR_TYPE_NTFS_IDXALLOC, 0, 0);
    lib.tsk_error_reset();
    if (root == nullptr || allocation != nullptr || (root->flags & TSK_FS_ATTR_RES) == 0 ||
        root->rd.buf == nullptr)
      continue;
    bool children = false;
    below_names_.clear();
    if (!read_index_root(std::span<const uint8_t>(root->rd.buf, root->rd.buf_size), entry, false, volume,
                         &children, &below_names_))
      continue;
    for (size_t i = 0; i < below_names_.size(); ++i) {
      const NtfsFolderName& n = below_names_.at(i);
      if (n.allocated && n.entry >= kFirstUserMftEntry)
        ahead_entries_.emplace_back(n.entry, expected(below_names_.text(i)));
    }
  }
  sort_entries(&ahead_entries_);
  read_facts_of(s, &s->facts_below, nullptr);
}

void TskVolume::read_facts_of(DirSlot* s, EntryFactsTable* table, const EntryFactsTable* known) {
  const bool own = table == &s->facts;
  table->reserve(ahead_entries_.size());
  if (guard_ != nullptr) guard_->set_quiet(true);
  for (const auto& [entry, wanted] : ahead_entries_) {
    if (const EntryFacts* k = known != nullptr ? known->find(entry) : nullptr) {
      table->copy(*known, *k);
      continue;
    }
    const uint64_t failures = guard_ != nullptr ? guard_->quiet_failures() : 0;
    EntryFacts* f = table->add(entry);
    lib.tsk_error_reset();
    TSK_FS_FILE* file = lib.tsk_fs_file_open_meta(fs_, ahead_, entry);
    if (file != nullptr) ahead_ = file;
    if (file != nullptr && file->meta != nullptr) {
      const TSK_FS_META* meta = file->meta;
      f->loaded = true;
      f->type = static_cast<uint8_t>(meta->type);
      f->size = meta->size;
      f->reparse = lib.tsk_fs_file_attr_get_type(file, TSK_FS_ATTR_TYPE_NTFS_REPARSE, 0, 0) != nullptr;
      lib.tsk_error_reset();
      fill_times(file, &f->times);
      for (const TSK_FS_META_NAME_LIST* m = meta->name2; m != nullptr; m = m->next)
        table->add_name(f, m->par_inode, m->par_seq, m->name);
      if (meta->type == TSK_FS_META_TYPE_REG && wanted) keep_data(table, f, file);
    }
    // The header last: its block was just read.
    f->header = read_mft_header(entry, &f->sequence, &f->flags);
    lib.tsk_error_reset();
    // Facts that met a failing read are read again, and told, in turn.
    if (guard_ != nullptr && guard_->quiet_failures() != failures) {
      table->drop_last();
    } else if (own && file != nullptr && file->meta != nullptr &&
               file->meta->type == TSK_FS_META_TYPE_DIR && s->folders_ahead.size() < kFoldersAhead) {
      // A folder's entry, for opening the folder.
      s->folders_ahead.emplace_back(entry, ahead_);
      ahead_ = spare_file();
    }
  }
  if (guard_ != nullptr) guard_->set_quiet(false);
}

bool TskVolume::is_reparse_point(TSK_INUM_T addr) {
  if (!ntfs_) return false;
  if (!load_scratch(addr)) return false;
  const bool reparse =
      lib.tsk_fs_file_attr_get_type(scratch_, TSK_FS_ATTR_TYPE_NTFS_REPARSE, 0, 0) != nullptr;
  lib.tsk_error_reset();
  return reparse;
}

uint8_t TskVolume::classify(DirRef dir, size_t index) {
  DirSlot* s = slot_of(dir);
  if (s == nullptr) return kClassified;
  if ((s->state[index] & kClassified) != 0) return static_cast<uint8_t>(s->state[index] & 0xFF);
  const TSK_FS_NAME n = s->dir->names[index];
  EntryKind kind = EntryKind::kUnknown;
  bool shown_as_directory = false;
  bool stale = false;
  auto from_metadata = [&](const TSK_FS_META* meta) {
    // An entry is what its metadata says, whatever its name's type says
    // (the library gives names it rebuilt from the metadata no type).
    if ((meta->flags & TSK_FS_META_FLAG_ALLOC) == 0) {
      stale = true;
      return;
    }
    switch (meta->type) {
      case TSK_FS_META_TYPE_DIR:
        shown_as_directory = true;
        kind = (ntfs_ && lib.tsk_fs_file_attr_get_type(scratch_, TSK_FS_ATTR_TYPE_NTFS_REPARSE, 0,
                                                       0) != nullptr)
                   ? EntryKind::kLink
                   : EntryKind::kDirectory;
        lib.tsk_error_reset();
        break;
      case TSK_FS_META_TYPE_REG: kind = EntryKind::kRegular; break;
      case TSK_FS_META_TYPE_LNK: kind = EntryKind::kLink; break;
      default: kind = EntryKind::kOther; break;
    }
  };
  if (is_dot_or_dot_dot(n.name)) {
    kind = EntryKind::kDirectory;
    shown_as_directory = true;
  } else if (ntfs_) {
    // The entry's header says whether it is in use (a folder index keeps
    // names of entries deleted since) and whether it is a folder.
    uint16_t sequence = 0, flags = 0;
    std::string reason;
    if (header_at(dir, index, &sequence, &flags)) {
      if ((flags & kMftInUse) == 0 || (n.meta_seq != 0 && sequence != n.meta_seq)) {
        stale = true;
      } else if ((flags & kMftDirectory) != 0) {
        shown_as_directory = true;
        kind = reparse_at(dir, index) ? EntryKind::kLink : EntryKind::kDirectory;
      } else {
        kind = n.type == TSK_FS_NAME_TYPE_LNK ? EntryKind::kLink : EntryKind::kRegular;
      }
    } else if (load_scratch(n.meta_addr, &reason)) {
      from_metadata(scratch_->meta);
    } else {
      tell("entry", n.meta_addr, slot_of(dir)->path + n.name, reason);
    }
  } else {
    switch (n.type) {
      case TSK_FS_NAME_TYPE_DIR:
        kind = EntryKind::kDirectory;
        shown_as_directory = true;
        break;
      case TSK_FS_NAME_TYPE_REG: kind = EntryKind::kRegular; break;
      case TSK_FS_NAME_TYPE_LNK: kind = EntryKind::kLink; break;
      case TSK_FS_NAME_TYPE_UNDEF: {
        std::string reason;
        if (load_scratch(n.meta_addr, &reason)) {
          from_metadata(scratch_->meta);
        } else {
          tell("entry", n.meta_addr, slot_of(dir)->path + n.name, reason);
        }
        break;
      }
      default: kind = EntryKind::kOther; break;
    }
  }
  const uint8_t state = static_cast<uint8_t>(
      kClassified | (stale ? kStale : 0) | (shown_as_directory ? kShownAsDirectory : 0) |
      static_cast<uint8_t>(kind));
  s = slot_of(dir);  // nothing here opens directories, but stay safe
  if (s != nullptr) s->state[index] = static_cast<uint16_t>((s->state[index] & 0xFF00) | state);
  return state;
}

bool TskVolume::shown_under_another_name(DirRef dir, size_t index) {
  DirSlot* s = slot_of(dir);
  const TSK_FS_NAME* names = s->dir->names;
  if (!s->entry_indexed) {
    s->by_entry.clear();
    for (size_t i = 0; i < s->dir->names_used; ++i) {
      if (visible(names[i])) s->by_entry.push_back(static_cast<uint32_t>(i));
    }
    std::stable_sort(s->by_entry.begin(), s->by_entry.end(), [names](uint32_t a, uint32_t b) {
      return names[a].meta_addr < names[b].meta_addr;
    });
    s->entry_indexed = true;
  }
  const TSK_INUM_T entry = names[index].meta_addr;
  auto at = std::lower_bound(
      s->by_entry.begin(), s->by_entry.end(), entry,
      [names](uint32_t a, TSK_INUM_T key) { return names[a].meta_addr < key; });
  for (size_t k = static_cast<size_t>(at - s->by_entry.begin());; ++k) {
    s = slot_of(dir);
    if (k >= s->by_entry.size() || names[s->by_entry[k]].meta_addr != entry) return false;
    const uint32_t other = s->by_entry[k];
    if (other != index && !is_dot_or_dot_dot(names[other].name) && decide(dir, other)) return true;
  }
}

bool TskVolume::own_name(DirRef dir, size_t index) {
  DirSlot* s = slot_of(dir);
  if (s == nullptr) return false;
  if ((s->state[index] & kOwnNameKnown) != 0) return (s->state[index] & kOwnName) != 0;
  const TSK_FS_NAME& n = s->dir->names[index];
  const TSK_INUM_T here = s->addr;
  bool own = false;
  const EntryFacts* f = n.name[0] != '\0' ? facts_at(dir, index) : nullptr;
  if (f != nullptr) {
    for (const EntryFactsName& m : s->facts.names(*f)) {
      own = own || (m.parent == here && std::strcmp(s->facts.text(m), n.name) == 0);
    }
  } else if (n.name[0] != '\0' && load_scratch(n.meta_addr)) {
    for (const TSK_FS_META_NAME_LIST* m = scratch_->meta->name2; m != nullptr && !own; m = m->next) {
      own = m->par_inode == here && std::strcmp(m->name, n.name) == 0;
    }
  }
  lib.tsk_error_reset();
  s = slot_of(dir);
  s->state[index] = static_cast<uint16_t>(s->state[index] | kOwnNameKnown | (own ? kOwnName : 0));
  return own;
}

bool TskVolume::own_place(DirRef dir, size_t index, TSK_INUM_T here, uint32_t here_sequence,
                          TSK_INUM_T* parent, std::string* name) {
  const TSK_INUM_T entry = slot_of(dir)->dir->names[index].meta_addr;
  if (const EntryFacts* f = facts_at(dir, index)) {
    const EntryFactsTable& facts = slot_of(dir)->facts;
    for (const EntryFactsName& m : facts.names(*f)) {
      const char* text = facts.text(m);
      if (text[0] == '\0' || m.parent == entry) continue;
      bool in_use_folder;
      if (m.parent == here) {
        in_use_folder = m.parent_sequence == here_sequence;
      } else {
        uint16_t sequence = 0, flags = 0;
        in_use_folder = header_of(dir, m.parent, &sequence, &flags) && (flags & kMftInUse) != 0 &&
                        (flags & kMftDirectory) != 0 && sequence == m.parent_sequence;
      }
      if (in_use_folder) {
        *parent = m.parent;
        name->assign(text);
        return true;
      }
    }
    return false;
  }
  if (!load_scratch(entry)) {
    lib.tsk_error_reset();
    return false;
  }
  for (const TSK_FS_META_NAME_LIST* m = scratch_->meta->name2; m != nullptr; m = m->next) {
    if (m->name[0] == '\0' || m->par_inode == entry) continue;
    bool in_use_folder;
    if (m->par_inode == here) {
      in_use_folder = m->par_seq == here_sequence;
    } else {
      uint16_t sequence = 0, flags = 0;
      in_use_folder = read_mft_header(m->par_inode, &sequence, &flags) &&
                      (flags & kMftInUse) != 0 && (flags & kMftDirectory) != 0 &&
                      sequence == m->par_seq;
    }
    if (in_use_folder) {
      *parent = m->par_inode;
      name->assign(m->name);
      return true;
    }
  }
  return false;
}

// Which names of an NTFS folder the listing shows.  The Sleuth Kit lists a
// folder's index and, beside it, every entry whose metadata (a $FILE_NAME
// attribute's name and parent reference) places it in the folder under a
// name the index lacks.  In a damaged volume the two disagree: an index
// entry that names another entry (which is then listed twice, and its name
// twice, the second time for the true entry), or a name that differs from
// the entry's own.  Each entry is shown once per volume, under the name
// and in the folder its own metadata gives it; only an entry whose
// metadata places it in no folder in use is shown where the index lists
// it, at the first such place the run lists.  A name passed over whose
// entry and name are not both shown here is told (tell_passed_over).
bool TskVolume::decide(DirRef dir, size_t index) {
  DirSlot* s = slot_of(dir);
  if (s == nullptr) return false;
  if ((s->state[index] & kDecided) != 0) return (s->state[index] & kShown) != 0;
  const uint8_t what = classify(dir, index);
  bool show = (what & kStale) == 0;
  bool passed = false;
  s = slot_of(dir);
  const TSK_FS_NAME& n = s->dir->names[index];
  if (show && ntfs_ && !is_dot_or_dot_dot(n.name)) {
    if (s->repeat) {
      show = false;  // its entries were shown by the first listing
    } else if (n.name[0] == '\0' || !is_own_name(dir, index)) {
      passed = true;  // no name, or the name is another entry's
    } else {
      s = slot_of(dir);
      const TSK_FS_FILE* folder = s->dir->fs_file;
      const uint32_t sequence =
          folder != nullptr && folder->meta != nullptr ? folder->meta->seq : 0;
      TSK_INUM_T parent = 0;
      bool placed = own_place(dir, index, s->addr, sequence, &parent, &place_name_);
      if (placed && parent == s->addr && place_name_ != n.name) {
        // Its own name here is listed too (rebuilt when the index lacks it),
        // unless another entry took that name.
        const long home = find_name(dir, place_name_.c_str());
        placed = home >= 0 && slot_of(dir)->dir->names[home].meta_addr == n.meta_addr;
      }
      if (placed) {
        passed = parent != slot_of(dir)->addr || place_name_ != n.name;
      } else if (shown_unplaced_.contains(n.meta_addr)) {
        passed = true;
      } else {
        shown_unplaced_.insert(n.meta_addr);
      }
    }
    if (passed) show = false;
  }
  s = slot_of(dir);
  s->state[index] = static_cast<uint16_t>(s->state[index] | kDecided | (show ? kShown : 0) |
                                          (passed ? kPassedOver : 0));
  if (passed) s->passed_over = true;
  return show;
}

void TskVolume::tell_passed_over(DirRef dir) {
  DirSlot* s = slot_of(dir);
  // Deciding a name while telling another may pass over more.
  while (s != nullptr && s->passed_over) {
    s->passed_over = false;
    tell_passed_over_once(dir);
    s = slot_of(dir);
  }
}

void TskVolume::tell_passed_over_once(DirRef dir) {
  DirSlot* s = slot_of(dir);
  const size_t count = s->dir->names_used;
  for (size_t i = 0; i < count; ++i) {
    s = slot_of(dir);
    if ((s->state[i] & (kPassedOver | kToldOrSilent)) != kPassedOver) continue;
    s->state[i] = static_cast<uint16_t>(s->state[i] | kToldOrSilent);
    const TSK_FS_NAME n = s->dir->names[i];
    const std::string name = n.name;
    const std::string folder_path = s->path;
    const TSK_INUM_T here = s->addr;
    const TSK_FS_FILE* folder = s->dir->fs_file;
    const uint32_t sequence = folder != nullptr && folder->meta != nullptr ? folder->meta->seq : 0;
    // The name is still given here when another entry has it.
    const long winner = name.empty() ? -1 : find_name(dir, name.c_str());
    const bool name_given = winner >= 0 && static_cast<size_t>(winner) != i && decide(dir, winner);
    const TSK_INUM_T winner_entry = winner >= 0 ? slot_of(dir)->dir->names[winner].meta_addr : 0;
    const bool winner_owns = name_given && own_name(dir, static_cast<size_t>(winner));
    // The entry is given here when another of its names here is shown.
    const bool entry_here = shown_under_another_name(dir, i);
    if (entry_here && (name.empty() || name_given)) continue;
    TSK_INUM_T parent = 0;
    const bool placed = own_place(dir, i, here, sequence, &parent, &place_name_);
    const std::string own = placed ? place_name_ : std::string();
    const bool second_name = placed && own_name(dir, i);

    const std::string entry = "MFT entry " + std::to_string(n.meta_addr);
    std::string why = name.empty() ? "the folder lists " + entry + " without a name"
                                   : "the folder lists this name for " + entry;
    if (!placed) {
      why += load_scratch(n.meta_addr) ? ", whose metadata gives it no name in a folder in use"
                                       : ", whose metadata cannot be read";
      lib.tsk_error_reset();
    } else if (parent == here && own == name) {
      why += ", whose own name it is";
    } else {
      // A second name (a hard link) is the entry's own too.
      why += (second_name ? ", whose first name is " : ", whose own name is ") + own;
      if (parent != here) why += " in the folder of MFT entry " + std::to_string(parent);
    }
    if (name_given) {
      why += "; MFT entry " + std::to_string(winner_entry) +
             (winner_owns ? ", whose own name this is," : ", listed under it first,") +
             " is read under it";
    }
    if (entry_here) {
      why += "; " + entry + " is read under " +
             (placed && parent == here ? "its own name" : "another name here");
    } else if (placed && !(parent == here && own == name)) {
      why += "; " + entry + " is read only where its " + (second_name ? "first" : "own") +
             " name places it";
    } else if (!placed) {
      why += "; " + entry + " is read where it was listed first";
    }
    // A folder whose name is no longer given is named as a folder, so that
    // whatever lies in it is known to be unread under that name.
    const bool folder_unread = !name_given && (classify(dir, i) & kShownAsDirectory) != 0;
    messages_->problem(std::string("Can't read ") + (folder_unread ? "directory " : "entry ") +
                       folder_path + name + (folder_unread ? "/" : "") + ": " + failure(why));
  }
}

DirRef TskVolume::open_directory(const char* path, std::string* error) {
  missing_ = false;
  std::string walked = "/";
  DirRef current = open_dir_addr(fs_->root_inum, walked, error);
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
      if (walked.size() > 1) walked.erase(walked.rfind('/', walked.size() - 2) + 1);
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
      const TSK_FS_NAME& n = dirs_[static_cast<size_t>(current)].dir->names[index];
      next_addr = n.meta_addr;
      walked += n.name;
      walked += '/';
    }
    close_directory(current);
    current = open_dir_addr(next_addr, walked, error);
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
  const TSK_FS_NAME& n = dirs_[static_cast<size_t>(parent)].dir->names[index];
  const TSK_INUM_T addr = n.meta_addr;
  const std::string path = dirs_[static_cast<size_t>(parent)].path + n.name + "/";
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
  // The folder's entry, when it was loaded with the facts of this one's.
  TSK_FS_FILE* entry = nullptr;
  std::vector<std::pair<TSK_INUM_T, TSK_FS_FILE*>>& ahead = dirs_[static_cast<size_t>(parent)].folders_ahead;
  auto kept = std::lower_bound(ahead.begin(), ahead.end(), addr,
                               [](const std::pair<TSK_INUM_T, TSK_FS_FILE*>& k, TSK_INUM_T a) {
                                 return k.first < a;
                               });
  if (kept != ahead.end() && kept->first == addr) std::swap(entry, kept->second);
  const DirRef child = open_dir_addr(addr, path, error, entry);
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
  std::string path = s->path;
  if (path.size() > 1) path.erase(path.rfind('/', path.size() - 2) + 1);
  const DirRef parent = open_dir_addr(s->parent, path, error);
  if (parent != kNoDir) dirs_[static_cast<size_t>(parent)].reopened = true;
  return parent;
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
  if (ntfs_ && !s->listing_checked) {
    // A folder is listed once per volume (a walk that reaches it again, from
    // another -p path, finds nothing more in it); the walk may list a folder
    // it opened again itself.
    s->listing_checked = true;
    if (!s->reopened && listed_.contains(s->addr)) s->repeat = true;
    listed_.insert(s->addr);
  }
  if (ntfs_ && !s->repeat && !s->facts_read) {
    read_facts(dir);
    s = slot_of(dir);
  }
  const uint64_t serial = s->serial;
  const size_t count = s->dir->names_used;
  for (size_t i = 0; i < count; ++i) {
    s = slot_of(dir);  // a visitor may open or close directories
    if (s == nullptr || s->serial != serial) break;
    const TSK_FS_NAME& n = s->dir->names[i];
    if (!visible(n)) continue;
    if (!decide(dir, i)) continue;
    if (!all && !matcher->matches(n.name)) continue;
    const uint8_t state = classify(dir, i);
    DirEntry entry;
    entry.name = slot_of(dir)->dir->names[i].name;
    entry.name_length = std::strlen(entry.name);
    entry.kind = static_cast<EntryKind>(state & kKindBits);
    // As the Windows search shows it: a junction is a directory too (one
    // that is never entered).
    entry.directory = (state & kShownAsDirectory) != 0;
    if (!visitor->visit(entry)) break;
  }
  --list_depth_;
  s = slot_of(dir);
  if (s != nullptr && s->serial == serial) tell_passed_over(dir);
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
      out->creation = read_le(si->rd.buf, 8);
      out->last_write = read_le(si->rd.buf + 8, 8);
      out->change = read_le(si->rd.buf + 16, 8);
      out->last_access = read_le(si->rd.buf + 24, 8);
      return;
    }
  }
  out->last_write = time_from_unix(meta->mtime, meta->mtime_nano);
  out->last_access = time_from_unix(meta->atime, meta->atime_nano);
  out->creation = time_from_unix(meta->crtime, meta->crtime_nano);
  out->change = time_from_unix(meta->ctime, meta->ctime_nano);
}

bool TskVolume::lookup(DirRef dir, const char* name, EntryInfo* out) {
  const long index = find_name(dir, name);
  if (index < 0) return false;
  const uint8_t state = classify(dir, static_cast<size_t>(index));
  const TSK_FS_NAME& n = dirs_[static_cast<size_t>(dir)].dir->names[index];
  *out = EntryInfo{};
  if (const EntryFacts* f = facts_at(dir, static_cast<size_t>(index))) {
    switch (static_cast<TSK_FS_META_TYPE_ENUM>(f->type)) {
      case TSK_FS_META_TYPE_REG:
        out->kind = EntryKind::kRegular;
        out->size = f->size > 0 ? static_cast<uint64_t>(f->size) : 0;
        break;
      case TSK_FS_META_TYPE_DIR:
        out->kind = ntfs_ && f->reparse ? EntryKind::kLink : EntryKind::kDirectory;
        break;
      case TSK_FS_META_TYPE_LNK: out->kind = EntryKind::kLink; break;
      default: out->kind = EntryKind::kOther; break;
    }
    out->times = f->times;
    out->has_address = true;
    out->address = f->entry;
    return true;
  }
  std::string reason;
  if (!load_scratch(n.meta_addr, &reason)) {
    // The name is there but its metadata cannot be read.
    tell("entry", n.meta_addr, dirs_[static_cast<size_t>(dir)].path + n.name, reason);
    out->kind = static_cast<EntryKind>(state & kKindBits);
    if (out->kind == EntryKind::kUnknown) out->kind = EntryKind::kOther;
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
  out->has_address = true;
  out->address = meta->addr;
  return true;
}

bool TskVolume::names_deleted_entry(DirRef dir, const char* name) {
  // NTFS only: a folder's index keeps names of entries deleted since, and
  // the entry's header says whether it is still unused.
  DirSlot* s = slot_of(dir);
  if (!ntfs_ || s == nullptr || name == nullptr) return false;
  const uint64_t serial = s->serial;
  for (size_t i = 0; i < s->dir->names_used; ++i) {
    s = slot_of(dir);
    if (s == nullptr || s->serial != serial) return false;
    const TSK_FS_NAME& n = s->dir->names[i];
    if (n.name == nullptr || compare_folded(n.name, name) != 0) continue;
    if (n.meta_addr < kFirstUserMftEntry) continue;
    uint16_t sequence = 0, flags = 0;
    if (header_at(dir, i, &sequence, &flags) && (flags & kMftInUse) == 0) return true;
  }
  return false;
}

bool TskVolume::read_named_stream(DirRef dir, const char* name, const char* stream, char* buffer,
                                  size_t capacity, size_t* length) {
  // NTFS keeps a named stream as a $DATA attribute of that name.
  if (!ntfs_) return false;
  const long index = find_name(dir, name);
  if (index < 0) return false;
  const TSK_FS_NAME& n = dirs_[static_cast<size_t>(dir)].dir->names[index];
  if (!load_scratch(n.meta_addr)) {
    lib.tsk_error_reset();
    return false;
  }
  const int count = lib.tsk_fs_file_attr_getsize(scratch_);
  for (int i = 0; i < count; ++i) {
    const TSK_FS_ATTR* attr = lib.tsk_fs_file_attr_get_idx(scratch_, i);
    if (attr == nullptr || attr->type != TSK_FS_ATTR_TYPE_NTFS_DATA || attr->name == nullptr ||
        compare_folded(attr->name, stream) != 0)
      continue;
    size_t want = attr->size > 0 ? static_cast<size_t>(attr->size) : 0;
    if (want > capacity) want = capacity;
    *length = 0;
    if (want == 0) return true;
    FailureWatch watch(guard_);
    const ssize_t got = lib.tsk_fs_attr_read(attr, 0, buffer, want, TSK_FS_FILE_READ_FLAG_NONE);
    lib.tsk_error_reset();
    if (got <= 0 || watch.failed()) return false;
    *length = static_cast<size_t>(got);
    return true;
  }
  lib.tsk_error_reset();
  return false;
}

FileRef TskVolume::open_file_addr(TSK_INUM_T addr, bool require_regular, const std::string& path) {
  size_t index;
  if (!free_files_.empty()) {
    index = free_files_.back();
    free_files_.pop_back();
  } else {
    index = files_.size();
    files_.emplace_back();
  }
  FileSlot& s = files_[index];
  s.kept = false;
  lib.tsk_error_reset();
  FailureWatch watch(guard_);
  TSK_FS_FILE* file = lib.tsk_fs_file_open_meta(fs_, s.file, addr);
  if (file != nullptr) s.file = file;
  const bool failed = file == nullptr || file->meta == nullptr || watch.failed();
  if (failed || (require_regular && file->meta->type != TSK_FS_META_TYPE_REG)) {
    if (failed) tell("file", addr, path, watch.reason("its metadata cannot be read"));
    lib.tsk_error_reset();
    free_files_.push_back(index);
    return kNoFile;
  }
  s.offset = 0;
  s.readable = true;
  s.path = path;
  s.in_use = true;
  return static_cast<FileRef>(index);
}

FileRef TskVolume::open_file(DirRef dir, const char* name, EntryKind) {
  const long index = find_name(dir, name);
  if (index < 0) return kNoFile;
  if ((classify(dir, static_cast<size_t>(index)) & kShownAsDirectory) != 0) return kNoFile;
  const DirSlot& d = dirs_[static_cast<size_t>(dir)];
  const TSK_FS_NAME& n = d.dir->names[index];
  if (const EntryFacts* f = facts_at(dir, static_cast<size_t>(index))) {
    if (f->type != TSK_FS_META_TYPE_REG) return kNoFile;
    if (f->data) {
      // Its data was kept with the folder's facts.
      size_t slot;
      if (!free_files_.empty()) {
        slot = free_files_.back();
        free_files_.pop_back();
      } else {
        slot = files_.size();
        files_.emplace_back();
      }
      FileSlot& s = files_[slot];
      const DirSlot& here = dirs_[static_cast<size_t>(dir)];
      const uint8_t* bytes = here.facts.data(*f);
      s.kept = true;
      s.data.assign(bytes, bytes + f->data_length);
      s.kept_info = EntryInfo{};
      s.kept_info.kind = EntryKind::kRegular;
      s.kept_info.size = f->size > 0 ? static_cast<uint64_t>(f->size) : 0;
      s.kept_info.times = f->times;
      s.kept_info.has_address = true;
      s.kept_info.address = f->entry;
      s.offset = 0;
      s.readable = true;
      s.path = here.path + here.dir->names[index].name;
      s.in_use = true;
      return static_cast<FileRef>(slot);
    }
  }
  return open_file_addr(n.meta_addr, true, d.path + n.name);
}

size_t TskVolume::read_file(FileRef file, void* buffer, size_t size) {
  FileSlot* s = file_slot_of(file);
  if (s == nullptr || !s->readable || size == 0) return 0;
  if (s->kept) {
    const size_t left = s->data.size() - static_cast<size_t>(s->offset);
    if (left < size) size = left;
    if (size == 0) return 0;  // an empty file keeps no bytes at all
    std::memcpy(buffer, s->data.data() + s->offset, size);
    s->offset += static_cast<TSK_OFF_T>(size);
    return size;
  }
  if (s->offset >= s->file->meta->size) return 0;
  // Asked for no more than is left: the library clears the whole buffer it
  // is given before it copies a resident file's bytes.
  const TSK_OFF_T left = s->file->meta->size - s->offset;
  if (static_cast<uint64_t>(left) < size) size = static_cast<size_t>(left);
  lib.tsk_error_reset();
  FailureWatch watch(guard_);
  const ssize_t got = lib.tsk_fs_file_read(s->file, s->offset, static_cast<char*>(buffer), size,
                                       TSK_FS_FILE_READ_FLAG_NONE);
  if (got < 0 || watch.failed()) {
    // Nothing of a read that failed is handed out: the record is short.
    s->readable = false;
    tell("file", s->file->meta->addr, s->path, watch.reason("its data cannot be read"));
    return 0;
  }
  if (got == 0) return 0;
  s->offset += got;
  return static_cast<size_t>(got);
}

void TskVolume::close_file(FileRef file) {
  FileSlot* s = file_slot_of(file);
  if (s == nullptr) return;
  s->in_use = false;  // the TSK file object stays for the next open
  free_files_.push_back(static_cast<size_t>(file));
}

bool TskVolume::file_info(FileRef file, EntryInfo* out) {
  FileSlot* s = file_slot_of(file);
  if (s != nullptr && s->kept) {
    *out = s->kept_info;
    return true;
  }
  if (s == nullptr || s->file == nullptr || s->file->meta == nullptr) return false;
  const TSK_FS_META* meta = s->file->meta;
  *out = EntryInfo{};
  out->kind = meta->type == TSK_FS_META_TYPE_REG ? EntryKind::kRegular : EntryKind::kOther;
  out->size = meta->size > 0 ? static_cast<uint64_t>(meta->size) : 0;
  fill_times(s->file, &out->times);
  out->has_address = true;
  out->address = meta->addr;
  return true;
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
  const DirRef root = open_dir_addr(fs_->root_inum, "/", error);
  if (root == kNoDir) return false;
  static const char* const kBinNames[] = {"$Recycle.Bin", "RECYCLER", "RECYCLED"};
  for (const char* bin : kBinNames) {
    const size_t count = dirs_[static_cast<size_t>(root)].dir->names_used;
    for (size_t i = 0; i < count; ++i) {
      const TSK_FS_NAME& n = dirs_[static_cast<size_t>(root)].dir->names[i];
      if (!visible(n) || compare_folded(n.name, bin) != 0) continue;
      if (!decide(root, i) || kind_at(root, i) != EntryKind::kDirectory) continue;
      out->push_back(dirs_[static_cast<size_t>(root)].dir->names[i].name);
    }
  }
  tell_passed_over(root);
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

bool TskVolume::data_offset(TSK_FS_FILE* file, uint64_t* offset) {
  const TSK_FS_ATTR* data = lib.tsk_fs_file_attr_get(file);
  lib.tsk_error_reset();
  if (data == nullptr || (data->flags & TSK_FS_ATTR_NONRES) == 0) return false;
  const TSK_FS_ATTR_RUN* run = data->nrd.run;
  if (run == nullptr || run->offset != 0 || run->len == 0 ||
      (run->flags & (TSK_FS_ATTR_RUN_FLAG_FILLER | TSK_FS_ATTR_RUN_FLAG_SPARSE)) != 0)
    return false;
  *offset = static_cast<uint64_t>(run->addr) * fs_->block_size;
  return true;
}

namespace {

// The unallocated blocks of a file system, as its allocation tells them
// block by block (what the library's block walk with its unallocated flag
// gives), read run by run.  Only a cursor is kept, whatever the volume's
// size.
class UnallocatedBytes final : public ScanBytes {
 public:
  UnallocatedBytes(TSK_FS_INFO* fs, ReadGuard* guard, ImageMessages* messages, std::string context)
      : fs_(fs), guard_(guard), messages_(messages), context_(std::move(context)),
        cursor_(fs->first_block) {
    for (TSK_DADDR_T b = fs_->first_block; b <= fs_->last_block; ++b)
      if (unallocated(b)) total_ += fs_->block_size;
    lib.tsk_error_reset();
  }

  uint64_t total() const override { return total_; }

  size_t read(unsigned char* buffer, size_t size, uint64_t* offset) override {
    const TSK_DADDR_T most = size / fs_->block_size;
    while (most > 0) {
      while (cursor_ <= fs_->last_block && !unallocated(cursor_)) ++cursor_;
      if (cursor_ > fs_->last_block) break;
      const TSK_DADDR_T first = cursor_;
      while (cursor_ <= fs_->last_block && cursor_ - first < most && unallocated(cursor_)) ++cursor_;
      const size_t bytes = static_cast<size_t>(cursor_ - first) * fs_->block_size;
      const TSK_OFF_T at = static_cast<TSK_OFF_T>(first) * fs_->block_size;
      lib.tsk_error_reset();
      FailureWatch watch(guard_);
      const ssize_t got = lib.tsk_fs_read(fs_, at, reinterpret_cast<char*>(buffer), bytes);
      // The image's reader tells the bytes it could not read (and gives
      // zeros for them); the library's own readers are told here.
      const bool failed = watch.failed();
      if (got != static_cast<ssize_t>(bytes)) {
        if (!failed) {
          messages_->problem("Can't read the unallocated clusters at bytes " +
                             std::to_string(at) + " to " + std::to_string(at + bytes - 1) + " of " +
                             context_ + ": " + library_reason("the read failed"));
        }
        lib.tsk_error_reset();
        continue;
      }
      *offset = static_cast<uint64_t>(at);
      return bytes;
    }
    return 0;
  }

 private:
  bool unallocated(TSK_DADDR_T block) const {
    return (fs_->block_getflags(fs_, block) & TSK_FS_BLOCK_FLAG_UNALLOC) != 0;
  }

  TSK_FS_INFO* fs_;
  ReadGuard* guard_;
  ImageMessages* messages_;
  std::string context_;
  TSK_DADDR_T cursor_;
  uint64_t total_ = 0;
};

}  // namespace

std::unique_ptr<ScanBytes> TskVolume::unallocated_space(std::string* error) {
  if (fs_->block_getflags == nullptr || fs_->block_size == 0) {
    *error = failure("the file system does not tell its unallocated blocks");
    return nullptr;
  }
  return std::make_unique<UnallocatedBytes>(fs_, guard_, messages_, context_);
}

// An unallocated entry with an index file's name that no folder walked
// for carving lists, and the folder its name gives.
struct UnlistedEntry {
  TSK_INUM_T addr = 0;
  TSK_INUM_T parent = 0;
  uint32_t parent_sequence = 0;
  std::string name;
};

struct MetaSearch {
  const std::unordered_set<TSK_INUM_T>* seen = nullptr;
  std::vector<UnlistedEntry> found;
  CarvedFileVisitor* visitor = nullptr;  // told how far the search is
  TSK_INUM_T first = 0, count = 0;
};

TSK_WALK_RET_ENUM find_unlisted(TSK_FS_FILE* file, void* context) {
  auto* search = static_cast<MetaSearch*>(context);
  const TSK_FS_META* meta = file->meta;
  if (meta != nullptr && meta->addr >= search->first)
    search->visitor->searched(meta->addr - search->first, search->count);
  if (meta == nullptr || meta->type != TSK_FS_META_TYPE_REG) return TSK_WALK_CONT;
  if ((meta->flags & TSK_FS_META_FLAG_UNALLOC) == 0) return TSK_WALK_CONT;
  if (search->seen->count(meta->addr) != 0) return TSK_WALK_CONT;
  for (const TSK_FS_META_NAME_LIST* n = meta->name2; n != nullptr; n = n->next) {
    if (starts_with_index_prefix(n->name)) {
      search->found.push_back({meta->addr, n->par_inode, n->par_seq, n->name});
      break;
    }
  }
  return TSK_WALK_CONT;
}

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

bool TskVolume::carve_folder(DirRef dir, CarvedFileVisitor* visitor,
                             std::unordered_set<TSK_INUM_T>* seen,
                             std::vector<std::pair<TSK_INUM_T, std::string>>* below) {
  DirSlot* s = slot_of(dir);
  const std::string path = s->path;
  std::vector<CarveCandidate> found;
  const size_t count = s->dir->names_used;
  for (size_t i = 0; i < count; ++i) {
    const TSK_FS_NAME n = slot_of(dir)->dir->names[i];
    if (n.name == nullptr || is_dot_or_dot_dot(n.name)) continue;
    if (n.type == TSK_FS_NAME_TYPE_VIRT || n.type == TSK_FS_NAME_TYPE_VIRT_DIR) continue;
    if (ntfs_ && n.meta_addr < kFirstUserMftEntry) continue;
    const bool index_name = starts_with_index_prefix(n.name);
    const bool maybe_folder = below != nullptr && n.type != TSK_FS_NAME_TYPE_REG;
    if (!index_name && !maybe_folder) continue;
    // Names of entries still in use are the walk's: only the header is read.
    uint16_t sequence = 0, flags = 0;
    const bool header = read_mft_header(n.meta_addr, &sequence, &flags);
    if (header && (flags & kMftDirectory) != 0) {
      // A folder below, live or deleted, unless it is a link.
      if (maybe_folder && !((flags & kMftInUse) != 0 && is_reparse_point(n.meta_addr)))
        below->emplace_back(n.meta_addr, path + n.name + "/");
      continue;
    }
    if (!index_name || (header && (flags & kMftInUse) != 0)) continue;
    if (seen->count(n.meta_addr) != 0) continue;
    if (!load_scratch(n.meta_addr) || !deleted_entry_named(scratch_->meta, n.name)) continue;
    seen->insert(n.meta_addr);
    if (!visitor->wanted(path, n.name, true)) continue;
    found.push_back({n.meta_addr, n.name});
  }
  for (const CarveCandidate& c : found) {
    if (!visit_carved(dir, path, c, visitor)) return false;
  }
  return true;
}

bool TskVolume::visit_carved(DirRef parent, const std::string& directory, const CarveCandidate& c,
                             CarvedFileVisitor* visitor) {
  const FileRef file = open_file_addr(c.addr, false, directory + c.name);
  CarvedIndexFile carved;
  carved.parent = parent;
  carved.directory = directory;
  carved.name = c.name;
  carved.entry = c.addr;
  carved.file = file;
  if (file != kNoFile) {
    FileSlot& s = files_[static_cast<size_t>(file)];
    s.readable = data_readable(s.file);
    carved.data_readable = s.readable;
    carved.has_data_offset = s.readable && data_offset(s.file, &carved.data_offset);
  }
  const bool go_on = visitor->visit(carved);
  if (file != kNoFile) close_file(file);
  return go_on;
}

std::string TskVolume::folder_path(TSK_INUM_T addr, int depth) {
  if (addr == fs_->root_inum) return "/";
  auto known = folder_paths_.find(addr);
  if (known != folder_paths_.end()) return known->second;
  if (depth > 256 || !load_scratch(addr) || scratch_->meta->type != TSK_FS_META_TYPE_DIR)
    return std::string();
  // The longest of its names: the long one, not the 8.3 one.
  const TSK_FS_META_NAME_LIST* best = nullptr;
  for (const TSK_FS_META_NAME_LIST* n = scratch_->meta->name2; n != nullptr; n = n->next) {
    if (best == nullptr || std::strlen(n->name) > std::strlen(best->name)) best = n;
  }
  if (best == nullptr || best->par_inode == addr) return std::string();
  const std::string name = best->name;
  const TSK_INUM_T parent = best->par_inode;
  const std::string above = folder_path(parent, depth + 1);
  std::string path = above.empty() ? std::string() : above + name + "/";
  folder_paths_[addr] = path;
  return path;
}

bool TskVolume::carve_index_files(const std::vector<std::string>& folders, bool recurse,
                                  CarvedFileVisitor* visitor, std::string* error) {
  if (!ntfs_) return true;
  std::unordered_set<TSK_INUM_T> seen;          // entries given out (or passed over)
  std::unordered_set<TSK_INUM_T> folders_read;  // each folder is read once
  // The folders, each read once, depth first, each folder's own entries
  // before those of the folders below it.
  std::vector<std::pair<TSK_INUM_T, std::string>> stack, below;
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    std::string why;
    const DirRef dir = open_directory(it->c_str(), &why);
    if (dir == kNoDir) continue;  // told by the walk
    stack.emplace_back(dirs_[static_cast<size_t>(dir)].addr, dirs_[static_cast<size_t>(dir)].path);
    close_directory(dir);
  }
  while (!stack.empty()) {
    const auto [addr, path] = stack.back();
    stack.pop_back();
    if (!folders_read.insert(addr).second) continue;
    std::string why;
    const DirRef dir = open_dir_addr(addr, path, &why);
    if (dir == kNoDir) {
      messages_->problem("Can't read directory " + path + ": " + why);
      continue;
    }
    below.clear();
    const bool go_on = carve_folder(dir, visitor, &seen, recurse ? &below : nullptr);
    close_directory(dir);
    if (!go_on) return true;
    for (auto it = below.rbegin(); it != below.rend(); ++it) stack.push_back(*it);
  }
  // Then the entries no folder read lists: an orphan (whose folder is gone)
  // is one of them; an entry whose folder is there is one only when that
  // folder is in the run's scope.
  MetaSearch search;
  search.seen = &seen;
  search.visitor = visitor;
  search.first = fs_->first_inum;
  search.count = fs_->last_inum - fs_->first_inum + 1;
  visitor->searched(0, search.count);
  lib.tsk_error_reset();
  if (lib.tsk_fs_meta_walk(fs_, fs_->first_inum, fs_->last_inum,
                       static_cast<TSK_FS_META_FLAG_ENUM>(TSK_FS_META_FLAG_UNALLOC |
                                                          TSK_FS_META_FLAG_USED),
                       find_unlisted, &search) != 0) {
    if (error != nullptr) *error = failure(library_reason("the MFT cannot be searched"));
    return false;
  }
  lib.tsk_error_reset();
  visitor->searched(search.count, search.count);
  static const std::string kOrphans = "/$OrphanFiles/";
  for (const UnlistedEntry& entry : search.found) {
    // The folder its name gives still lists it when that folder's entry is
    // the one the name was made in (in use, or deleted and not used again).
    uint16_t sequence = 0, flags = 0;
    const bool there = read_mft_header(entry.parent, &sequence, &flags) &&
                       (flags & kMftDirectory) != 0 &&
                       (sequence == entry.parent_sequence ||
                        ((flags & kMftInUse) == 0 &&
                         static_cast<uint16_t>(sequence - 1) == entry.parent_sequence));
    const std::string path = there ? folder_path(entry.parent, 0) : std::string();
    const bool orphan = path.empty();
    if (!visitor->wanted(orphan ? kOrphans : path, entry.name, !orphan)) continue;
    DirRef parent = kNoDir;
    if (!orphan) {
      std::string why;
      parent = open_dir_addr(entry.parent, path, &why);
      if (parent == kNoDir) messages_->problem("Can't read directory " + path + ": " + why);
    }
    const bool go_on = visit_carved(parent, orphan ? kOrphans : path, {entry.addr, entry.name},
                                    visitor);
    if (parent != kNoDir) close_directory(parent);
    if (!go_on) break;
  }
  return true;
}

// ---------------------------------------------------------------------------

class TskImage final : public EvidenceImage {
 public:
  TskImage(std::string name, ImageMessages* messages)
      : name_(std::move(name)), messages_(messages) {}
  ~TskImage() override {
    if (single_fs_ != nullptr) lib.tsk_fs_close(single_fs_);
    if (vs_ != nullptr) lib.tsk_vs_close(vs_);
    if (img_ != nullptr) lib.tsk_img_close(img_);
  }
  size_t volume_count() const override { return vs_ != nullptr ? vs_->part_count : 1; }
  std::unique_ptr<ImageVolume> open_volume(size_t index) override;
  std::unique_ptr<ShadowStores> open_shadow_stores(size_t index) override;

  // Tells when the image's bytes end before the end of a volume.
  void check_end(const std::string& volume, uint64_t end) {
    const uint64_t size = img_->size > 0 ? static_cast<uint64_t>(img_->size) : 0;
    if (end > size) {
      messages_->problem("Can't read image " + name_ + ": it ends at byte " +
                         std::to_string(size) + ", before the end of partition " + volume +
                         " at byte " + std::to_string(end));
    }
  }

  std::string name_;
  ImageMessages* messages_;
  std::unique_ptr<ReadGuard> guard_;  // goes after the image that reads through it
  TSK_IMG_INFO* img_ = nullptr;
  TSK_VS_INFO* vs_ = nullptr;
  TSK_FS_INFO* single_fs_ = nullptr;  // an image that is one file system, until first opened

 private:
  const TSK_VS_PART_INFO* part_at(size_t index) {
    // Partitions are asked for in order: the list is followed from where
    // the last one was.
    if (cursor_ == nullptr || index < cursor_index_) {
      cursor_ = vs_->part_list;
      cursor_index_ = 0;
    }
    while (cursor_ != nullptr && cursor_index_ < index) {
      cursor_ = cursor_->next;
      ++cursor_index_;
    }
    return cursor_;
  }

  const TSK_VS_PART_INFO* cursor_ = nullptr;
  size_t cursor_index_ = 0;
  // The sectors of every partition read so far, and its name.
  std::map<std::pair<TSK_DADDR_T, TSK_DADDR_T>, TSK_PNUM_T> read_;
};

std::unique_ptr<ImageVolume> TskImage::open_volume(size_t index) {
  if (vs_ == nullptr) {
    if (index != 0) return nullptr;
    TSK_FS_INFO* fs = single_fs_;
    single_fs_ = nullptr;
    // Opened again: a run reads every volume's hives before it walks them.
    if (fs == nullptr) fs = lib.tsk_fs_open_img(img_, 0, TSK_FS_TYPE_DETECT);
    if (fs == nullptr) return nullptr;
    check_end("p0", static_cast<uint64_t>(fs->offset) + fs->block_count * fs->block_size);
    return std::make_unique<TskVolume>(fs, name_, "p0", 1, guard_.get(), messages_);
  }
  const TSK_VS_PART_INFO* part = part_at(index);
  if (part == nullptr || (part->flags & TSK_VS_PART_FLAG_ALLOC) == 0) return nullptr;
  if (holds_no_file_system(part->desc)) return nullptr;
  const std::string name = "p" + std::to_string(part->addr);
  std::string where = "sectors " + std::to_string(part->start) + " to " +
                      std::to_string(part->start + part->len - 1);
  const auto seen = read_.emplace(std::make_pair(part->start, part->len), part->addr);
  if (!seen.second && seen.first->second != part->addr) {
    const std::string first = "p" + std::to_string(seen.first->second);
    messages_->note("Image " + name_ + ": partition " + name + " (" + where +
                    ") names the same sectors as partition " + first + " and is read once, as " +
                    first);
    return nullptr;
  }
  if (part->desc != nullptr && part->desc[0] != '\0') where = part->desc + (", " + where);
  const TSK_OFF_T offset =
      static_cast<TSK_OFF_T>(vs_->offset + part->start * static_cast<TSK_DADDR_T>(vs_->block_size));
  const uint64_t part_end = static_cast<uint64_t>(offset) + part->len * vs_->block_size;
  lib.tsk_error_reset();
  FailureWatch watch(guard_.get());
  TSK_FS_INFO* fs = open_file_system(img_, part, offset);
  if (fs == nullptr) {
    FileSystemSignature sig;
    const std::string reason =
        file_system_failure(img_, offset, watch.reason("unknown file system"), &sig);
    watch.failed();
    messages_->problem("Can't read image " + name_ + ", partition " + name + " (" + where +
                       "): no file system that can be read (" + reason + ")");
    check_end(name, sig.size != 0 ? std::min(part_end, static_cast<uint64_t>(offset) + sig.size)
                                  : part_end);
    return nullptr;
  }
  check_end(name, static_cast<uint64_t>(fs->offset) + fs->block_count * fs->block_size);
  return std::make_unique<TskVolume>(fs, name_, name, static_cast<uint64_t>(part->start) + 1,
                                     guard_.get(), messages_);
}

// ---------------------------------------------------------------------------
// Shadow copies.

// A volume's bytes as its shadow copies are read from them: the image as
// the library reads it (through this program's reader, where it has one),
// at the volume's offset.
class VolumeInImage final : public VolumeBytes {
 public:
  VolumeInImage(TSK_IMG_INFO* img, ReadGuard* guard, TSK_OFF_T offset, uint64_t size)
      : img_(img), guard_(guard), offset_(offset), size_(size) {}
  uint64_t size() const override { return size_; }
  bool read(uint64_t offset, void* buffer, size_t size, std::string* reason) override {
    if (offset > size_ || size > size_ - offset) {
      *reason = "it ends at byte " + std::to_string(size_);
      return false;
    }
    lib.tsk_error_reset();
    FailureWatch watch(guard_);
    const ssize_t got = lib.tsk_img_read(img_, offset_ + static_cast<TSK_OFF_T>(offset),
                                         static_cast<char*>(buffer), size);
    if (got != static_cast<ssize_t>(size) || watch.failed()) {
      // What this program's reader says of the bytes, else the library.
      *reason = watch.failed() ? guard_->last_reason() : library_reason("read error");
      return false;
    }
    return true;
  }

 private:
  TSK_IMG_INFO* img_;
  ReadGuard* guard_;
  TSK_OFF_T offset_;
  uint64_t size_;
};

// The stores of one volume, each offered to the library as an image of its
// own, whose file system is opened as a live volume's is.
class TskShadowStores final : public ShadowStores {
 public:
  TskShadowStores(const std::string& image, std::string volume, uint64_t id,
                  ImageMessages* messages, TSK_IMG_INFO* img, ReadGuard* guard, TSK_OFF_T offset,
                  uint64_t size)
      : image_(image),
        volume_(std::move(volume)),
        id_(id),
        messages_(messages),
        bytes_(img, guard, offset, size) {}

  // Finds the stores; false when they cannot be read (told).
  bool open() {
    std::string error;
    copies_ = open_shadow_copies(&bytes_, &error);
    if (copies_ == nullptr) {
      messages_->problem("Can't read image " + image_ + ", partition " + volume_ +
                         ": its shadow copies cannot be read (" + error + ")");
    }
    return copies_ != nullptr;
  }

  size_t count() const override { return copies_->count(); }

  std::unique_ptr<ImageVolume> open_store(size_t index) override {
    const std::string name = volume_ + ":vss" + std::to_string(index + 1);
    const std::string cannot = "Can't read image " + image_ + ", partition " + name + ": ";
    std::string error;
    std::unique_ptr<ImageReader> reader = copies_->open_store(index, &error);
    if (reader == nullptr) {
      messages_->problem(cannot + "the shadow copy cannot be read (" + error + ")");
      return nullptr;
    }
    auto store = std::make_unique<StoreImage>();
    store->guard = std::make_unique<ReadGuard>(std::move(reader), image_ + ", partition " + name,
                                               messages_);
    store->img = open_guarded(store->guard.get());
    if (store->img == nullptr) {
      messages_->problem(cannot + "the shadow copy cannot be opened (" +
                         library_reason("the library cannot take it as an image") + ")");
      return nullptr;
    }
    lib.tsk_error_reset();
    FailureWatch watch(store->guard.get());
    TSK_FS_INFO* fs = open_file_system(store->img, nullptr, 0);
    if (fs == nullptr) {
      FileSystemSignature sig;
      const std::string reason =
          file_system_failure(store->img, 0, watch.reason("unknown file system"), &sig);
      watch.failed();
      messages_->problem(cannot + "no file system that can be read (" + reason + ")");
      return nullptr;
    }
    ReadGuard* guard = store->guard.get();
    const uint64_t id = id_ + (static_cast<uint64_t>(index + 1) << 48);
    return std::make_unique<TskVolume>(fs, image_, name, id, guard, messages_, std::move(store));
  }

 private:
  const std::string& image_;
  std::string volume_;
  uint64_t id_;
  ImageMessages* messages_;
  VolumeInImage bytes_;
  std::unique_ptr<ShadowCopies> copies_;  // destroyed before bytes_
};

std::unique_ptr<ShadowStores> TskImage::open_shadow_stores(size_t index) {
  TSK_OFF_T offset = 0;
  uint64_t size = img_->size > 0 ? static_cast<uint64_t>(img_->size) : 0;
  uint64_t id = 1;
  std::string volume = "p0";
  if (vs_ != nullptr) {
    const TSK_VS_PART_INFO* part = part_at(index);
    if (part == nullptr) return nullptr;
    offset = static_cast<TSK_OFF_T>(vs_->offset +
                                    part->start * static_cast<TSK_DADDR_T>(vs_->block_size));
    size = part->len * vs_->block_size;
    id = static_cast<uint64_t>(part->start) + 1;
    volume = "p" + std::to_string(part->addr);
  } else if (index != 0) {
    return nullptr;
  }
  auto stores = std::make_unique<TskShadowStores>(name_, volume, id, messages_, img_, guard_.get(),
                                                  offset, size);
  if (!stores->open()) return nullptr;
  return stores;
}

// Opens the image through one of this program's readers.
TSK_IMG_INFO* open_external(TskImage* image, std::unique_ptr<ImageReader> reader) {
  image->guard_ = std::make_unique<ReadGuard>(std::move(reader), image->name_, image->messages_);
  return open_guarded(image->guard_.get());
}

// How the bytes of each container reach the library: through this
// program's reader, offered to the library as an external image (so that
// every byte that cannot be read is known as such), or through the
// library's own reader of that kind.  A raw image, and any container whose
// reader cannot open it, is read by the raw reader.
struct ContainerRow {
  ImageContainer container;
  // This program's reader; null for the library's own.
  std::unique_ptr<ImageReader> (*reader)(const ImageSet& set, std::string* error);
  TSK_IMG_TYPE_ENUM library_type;  // the library's reader
};

const ContainerRow kContainers[] = {
    {ImageContainer::kEwf, open_ewf_reader, TSK_IMG_TYPE_DETECT},
    {ImageContainer::kVmdk, nullptr, TSK_IMG_TYPE_VMDK_VMDK},
    {ImageContainer::kVhd, nullptr, TSK_IMG_TYPE_VHD_VHD},
    {ImageContainer::kAff, nullptr, TSK_IMG_TYPE_AFF_ANY},
};

const ContainerRow* container_row(ImageContainer container) {
  for (const ContainerRow& row : kContainers)
    if (row.container == container) return &row;
  return nullptr;
}

}  // namespace

std::unique_ptr<EvidenceImage> open_with_tsk(const char* path, ImageMessages* messages,
                                             std::string* error) {
  const std::string image_name = path;
  const std::string cannot = "Can't read image " + image_name + ": ";
  // A FIFO, socket or character device would block the run or never end;
  // an image is a file or a disk (a block device).
  FileType type;
  std::string reason;
  if (!file_type_of(path, &type, &reason)) {
    *error = cannot + reason;
    return nullptr;
  }
  if (type == FileType::kOther) {
    *error = cannot + "not a file or a disk";
    return nullptr;
  }
  const bool folder = type == FileType::kDirectory;
  if (!load_tsk(&reason)) {
    *error = cannot + reason;
    return nullptr;
  }
  ImageSet set;
  if (!folder) set = examine_image_set(image_name);
  for (const std::string& problem : set.problems) messages->problem(cannot + problem);
  if (set.unsafe) {
    *error = cannot + "it is not opened, since its " + container_name(set.container) +
             " reader would open a file of it that is not a regular file";
    return nullptr;
  }

  auto image = std::make_unique<TskImage>(image_name, messages);
  // The container by its signature; when its reader cannot open the file,
  // the file is read as a raw image, and the reader's failure is told.
  std::string container_failure;
  if (const ContainerRow* row = container_row(set.container)) {
    const std::string failure = std::string("the ") + container_name(set.container) +
                                " reader cannot open it (";
    if (row->reader) {
      std::unique_ptr<ImageReader> reader = row->reader(set, &reason);
      if (reader) {
        image->img_ = open_external(image.get(), std::move(reader));
      } else {
        container_failure = failure + reason + ")";
      }
    } else {
      lib.tsk_error_reset();
      image->img_ = lib.tsk_img_open_utf8_sing(path, row->library_type, 0);
      if (image->img_ == nullptr)
        container_failure = failure + library_reason("it cannot be opened") + ")";
    }
  }
  if (image->img_ == nullptr) {
    if (folder) {
      *error = cannot + "a folder is no image";
      return nullptr;
    }
    ImageSet raw;
    if (set.container == ImageContainer::kRaw) {
      raw = set;
    } else {
      // A container file is not split: the file alone.
      raw.files.push_back(set.files.front());
      raw.files.back().segment = 1;
    }
    reason.clear();
    std::unique_ptr<ImageReader> reader = open_raw_reader(raw, &reason);
    if (reader) {
      image->img_ = open_external(image.get(), std::move(reader));
      if (image->img_ == nullptr) reason = library_reason("it cannot be opened");
    }
    if (image->img_ == nullptr) {
      *error = cannot + (container_failure.empty() ? "" : container_failure + ", and ") + reason;
      return nullptr;
    }
  }
  const std::string how = container_failure.empty() ? "" : container_failure + ", and as a raw image ";
  TSK_IMG_INFO* img = image->img_;
  // An image whose first sector cannot be read (shorter than a sector, or a
  // damaged container) is told as such, not as one without a file system.
  char sector[512];
  lib.tsk_error_reset();
  FailureWatch first(image->guard_.get());
  if (lib.tsk_img_read(img, 0, sector, sizeof sector) != static_cast<ssize_t>(sizeof sector) ||
      first.failed()) {
    *error = cannot + how +
             "its first sector cannot be read, the image is truncated or damaged (" +
             first.reason("read error") + ")";
    return nullptr;
  }
  image->vs_ = lib.tsk_vs_open(img, 0, TSK_VS_TYPE_DETECT);
  if (image->vs_ == nullptr) {
    // No partition table: the whole image may be one file system.
    lib.tsk_error_reset();
    FailureWatch watch(image->guard_.get());
    image->single_fs_ = open_file_system(img, nullptr, 0);
    if (image->single_fs_ == nullptr) {
      FileSystemSignature sig;
      const std::string detected = watch.reason("no file system");
      const std::string why = file_system_failure(img, 0, detected, &sig);
      watch.failed();
      if (sig.type == TSK_FS_TYPE_UNSUPP) {
        *error = cannot + how + "neither a partition table nor a file system was found (" + why + ")";
      } else {
        *error = cannot + how + "the " + sig.name + " file system it holds cannot be read (" + why + ")";
        image->check_end("p0", sig.size);
      }
      return nullptr;
    }
  }
  if (image->vs_ != nullptr) {
    bool any_partition = false;
    for (const TSK_VS_PART_INFO* part = image->vs_->part_list; part != nullptr && !any_partition;
         part = part->next) {
      any_partition =
          (part->flags & TSK_VS_PART_FLAG_ALLOC) != 0 && !holds_no_file_system(part->desc);
    }
    if (!any_partition) {
      *error = cannot + how + "its partition table lists no partition";
      return nullptr;
    }
  }
  if (!container_failure.empty()) {
    messages->note("Image " + image_name + ": " + container_failure + "; it is read as a raw image");
  }
  return image;
}
