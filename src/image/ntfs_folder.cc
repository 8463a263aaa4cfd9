#include "image/ntfs_folder.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "image/tsk_library.h"

namespace {

TskLibrary& lib = tsk_library;

// The library copies a folder's index allocation into one buffer; past this
// much (only a damaged attribute claims it), the library's load decides.
constexpr TSK_OFF_T kMaxAllocation = TSK_OFF_T{256} << 20;
// An index allocation up to this size keeps its buffer for the next folder.
constexpr size_t kKeptAllocation = size_t{256} << 10;
// The library keeps this much of a name its map adds to a folder.
constexpr size_t kPlacedNameBytes = 256;

TSK_FS_NAME_TYPE_ENUM library_type(NtfsNameType type) {
  switch (type) {
    case NtfsNameType::kRegular: return TSK_FS_NAME_TYPE_REG;
    case NtfsNameType::kDirectory: return TSK_FS_NAME_TYPE_DIR;
    case NtfsNameType::kVirtualDirectory: return TSK_FS_NAME_TYPE_VIRT_DIR;
    case NtfsNameType::kUndefined: break;
  }
  return TSK_FS_NAME_TYPE_UNDEF;
}

// What the library's copy of an attribute into a buffer keeps of its walk.
struct Loading {
  uint8_t* at;
  size_t left;
};

TSK_WALK_RET_ENUM load_block(TSK_FS_FILE*, TSK_OFF_T, TSK_DADDR_T, char* buffer, size_t size,
                             TSK_FS_BLOCK_FLAG_ENUM, void* context) {
  auto* loading = static_cast<Loading*>(context);
  const size_t take = std::min(size, loading->left);
  std::memcpy(loading->at, buffer, take);
  loading->at += take;
  loading->left -= take;
  return loading->left > 0 ? TSK_WALK_CONT : TSK_WALK_STOP;
}

}  // namespace

NtfsFolderListing::~NtfsFolderListing() {
  if (folder_ != nullptr) lib.tsk_fs_file_close(folder_);
}

NtfsFolderReader::NtfsFolderReader(TSK_FS_INFO* fs) : fs_(fs) {
  volume_.first_entry = fs->first_inum;
  volume_.last_entry = fs->last_inum;
  volume_.cluster_size = fs->block_size;
}

TSK_WALK_RET_ENUM NtfsFolderReader::collect(TSK_FS_FILE* file, void* self) {
  auto* reader = static_cast<NtfsFolderReader*>(self);
  const TSK_FS_META* meta = file->meta;
  for (const TSK_FS_META_NAME_LIST* n = meta->name2; n != nullptr; n = n->next) {
    // Kept in 16 bytes.  A parent past that is never looked up (no folder
    // past it is loaded here); a volume whose own numbers do not fit has its
    // folders loaded by the library.
    if (n->par_inode > 0xFFFFFFFF) continue;
    if (n->par_seq > 0xFFFF || meta->seq > 0xFFFF || meta->addr > 0xFFFFFFFF) reader->usable_ = false;
    reader->placed_.push_back({static_cast<uint32_t>(n->par_inode), static_cast<uint32_t>(meta->addr),
                               NtfsFolderNames::library_hash(n->name),
                               static_cast<uint16_t>(n->par_seq), static_cast<uint16_t>(meta->seq)});
  }
  return TSK_WALK_CONT;
}

void NtfsFolderReader::read_parent_map() {
  if (map_read_) return;
  map_read_ = true;
  placed_.reserve(static_cast<size_t>(std::min<TSK_INUM_T>(fs_->last_inum + 1, TSK_INUM_T{1} << 22)));
  lib.tsk_error_reset();
  lib.tsk_fs_meta_walk(fs_, fs_->first_inum, fs_->last_inum,
                       static_cast<TSK_FS_META_FLAG_ENUM>(TSK_FS_META_FLAG_UNALLOC |
                                                          TSK_FS_META_FLAG_ALLOC),
                       collect, this);
  lib.tsk_error_reset();
  // The walk goes up the entries: by parent, each parent's entries stay in
  // the walk's order, as the library's map keeps them (the order of two
  // names of one entry does not change what a folder lists).
  std::sort(placed_.begin(), placed_.end(), [](const Placed& a, const Placed& b) {
    if (a.parent != b.parent) return a.parent < b.parent;
    if (a.parent_sequence != b.parent_sequence) return a.parent_sequence < b.parent_sequence;
    return a.entry < b.entry;
  });
  placed_.shrink_to_fit();
}

bool NtfsFolderReader::read_allocation(const TSK_FS_ATTR* allocation, TSK_INUM_T folder,
                                       bool deleted, NtfsFolderNames* names) {
  if ((allocation->flags & TSK_FS_ATTR_RES) != 0) return false;
  const TSK_OFF_T size = allocation->nrd.allocsize;
  if (size < 0 || size > kMaxAllocation) return false;
  const size_t bytes = static_cast<size_t>(size);
  if (bytes > allocation_size_) {
    allocation_.reset(new uint8_t[bytes]);
    allocation_size_ = bytes;
  }
  // Every cluster the attribute has, its slack too, as the library copies it.
  Loading loading{allocation_.get(), bytes};
  if (lib.tsk_fs_attr_walk(allocation, TSK_FS_FILE_WALK_FLAG_SLACK, load_block, &loading) != 0 ||
      loading.left > 0) {
    lib.tsk_error_reset();
    return false;
  }
  const bool read = read_index_allocation(std::span<uint8_t>(allocation_.get(), bytes), folder,
                                          deleted, volume_, names);
  // A large folder's buffer is not kept for the next folder.
  if (allocation_size_ > kKeptAllocation) {
    allocation_.reset();
    allocation_size_ = 0;
  }
  return read;
}

void NtfsFolderReader::add_placed(TSK_INUM_T folder, uint16_t sequence, NtfsFolderNames* names) {
  const Placed key{static_cast<uint32_t>(folder), 0, 0, sequence, 0};
  auto first = std::lower_bound(placed_.begin(), placed_.end(), key, [](const Placed& a, const Placed& b) {
    return a.parent != b.parent ? a.parent < b.parent : a.parent_sequence < b.parent_sequence;
  });
  for (auto it = first; it != placed_.end() && it->parent == folder && it->parent_sequence == sequence;
       ++it) {
    // An entry the index lists under that name, allocated, is there.
    if (names->has_allocated(it->entry, it->hash)) continue;
    TSK_FS_FILE* file = lib.tsk_fs_file_open_meta(fs_, nullptr, it->entry);
    if (file == nullptr) continue;
    if (file->meta != nullptr) {
      const bool allocated = (file->meta->flags & TSK_FS_META_FLAG_ALLOC) != 0;
      // The sequence number a name of a deleted entry would carry.
      const uint32_t entry_sequence = allocated ? it->sequence : it->sequence - 1u;
      for (const TSK_FS_META_NAME_LIST* n = file->meta->name2; n != nullptr; n = n->next) {
        if (n->par_inode != folder) continue;
        names->add(it->entry, entry_sequence,
                   std::string_view(n->name, strnlen(n->name, kPlacedNameBytes)),
                   NtfsNameType::kUndefined, allocated);
      }
    }
    lib.tsk_fs_file_close(file);
  }
}

bool NtfsFolderReader::load(TSK_INUM_T folder, NtfsFolderListing* listing, bool adopted) {
  if (!usable_ || !map_read_) return false;
  if (folder < fs_->first_inum || folder > fs_->last_inum || folder == TSK_FS_ORPHANDIR_INUM(fs_) ||
      folder > 0xFFFFFFFF)
    return false;
  NtfsFolderNames& names = listing->table_;
  names.clear();
  lib.tsk_error_reset();
  TSK_FS_FILE* file = listing->folder_;
  if (!(adopted && file != nullptr && file->meta != nullptr && file->meta->addr == folder)) {
    file = lib.tsk_fs_file_open_meta(fs_, listing->folder_, folder);
    if (file == nullptr) {
      lib.tsk_error_reset();
      return false;
    }
    listing->folder_ = file;
  }
  const TSK_FS_META* meta = file->meta;
  if (meta == nullptr || meta->attr == nullptr) return false;
  const bool deleted = (meta->flags & TSK_FS_META_FLAG_UNALLOC) != 0;
  const TSK_FS_ATTR* root = lib.tsk_fs_file_attr_get_type(file, TSK_FS_ATTR_TYPE_NTFS_IDXROOT, 0, 0);
  if (root == nullptr || (root->flags & TSK_FS_ATTR_NONRES) != 0 || root->rd.buf == nullptr) {
    lib.tsk_error_reset();
    return false;
  }
  if (folder != fs_->root_inum) {
    // The index has no "." and "..": made up, ".." once for each folder
    // the folder's names place it in.
    const uint32_t sequence = deleted ? meta->seq - 1 : meta->seq;
    names.add(folder, sequence, ".", NtfsNameType::kDirectory, !deleted);
    for (const TSK_FS_META_NAME_LIST* n = meta->name2; n != nullptr; n = n->next)
      names.add(n->par_inode, n->par_seq, "..", NtfsNameType::kDirectory, !deleted);
  }
  bool children = false;
  if (!read_index_root(std::span<const uint8_t>(root->rd.buf, root->rd.buf_size), folder, deleted,
                       volume_, &children, &names))
    return false;
  const TSK_FS_ATTR* allocation =
      lib.tsk_fs_file_attr_get_type(file, TSK_FS_ATTR_TYPE_NTFS_IDXALLOC, 0, 0);
  lib.tsk_error_reset();
  if (allocation == nullptr ? children : !read_allocation(allocation, folder, deleted, &names))
    return false;
  // A deleted folder's entries name it by the sequence number it had.
  uint16_t sequence = static_cast<uint16_t>(meta->seq);
  if (deleted) sequence = sequence > 0 ? static_cast<uint16_t>(sequence - 1) : 0;
  add_placed(folder, sequence, &names);
  lib.tsk_error_reset();
  if (folder == fs_->root_inum)
    names.add(TSK_FS_ORPHANDIR_INUM(fs_), 0, "$OrphanFiles", NtfsNameType::kVirtualDirectory, true);

  listing->names_.resize(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    const NtfsFolderName& n = names.at(i);
    TSK_FS_NAME& out = listing->names_[i];
    out = TSK_FS_NAME{};
    out.tag = TSK_FS_NAME_TAG;
    out.name = const_cast<char*>(names.text(i));
    out.name_size = n.name_length + 1;
    out.meta_addr = n.entry;
    out.meta_seq = n.sequence;
    if (folder != 0) {
      out.par_addr = folder;
      out.par_seq = meta->seq;
    }
    out.type = library_type(n.type);
    out.flags = n.allocated ? TSK_FS_NAME_FLAG_ALLOC : TSK_FS_NAME_FLAG_UNALLOC;
  }
  TSK_FS_DIR& dir = listing->dir_;
  dir = TSK_FS_DIR{};
  dir.tag = TSK_FS_DIR_TAG;
  dir.fs_file = file;
  dir.names = listing->names_.data();
  dir.names_used = listing->names_.size();
  dir.names_alloc = listing->names_.size();
  dir.addr = folder;
  dir.seq = meta->seq;
  dir.fs_info = fs_;
  return true;
}
