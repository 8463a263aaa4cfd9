// NTFS folders loaded by this program, in time linear in their size, where
// The Sleuth Kit's folder load takes time that grows with the square of it
// (each name it adds is compared with every name before it).  The listing
// is the library's to the byte: the same names in the same order, with the
// same entries, sequence numbers, kinds and flags, handed on as the
// library's folder structure (TSK_FS_DIR) so that the adapter reads it as
// it reads one the library loaded.  Where the library would refuse the
// folder, or read past the bytes it has, the folder is left to the library.
#pragma once

#include <tsk/libtsk.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "image/ntfs_index.h"

// One folder's listing, reused from one folder to the next.
class NtfsFolderListing {
 public:
  NtfsFolderListing() = default;
  NtfsFolderListing(const NtfsFolderListing&) = delete;
  NtfsFolderListing& operator=(const NtfsFolderListing&) = delete;
  ~NtfsFolderListing();
  // The listing as the library's structure: valid until the next load.
  TSK_FS_DIR* dir() { return &dir_; }
  // Takes `file`, the folder's own entry already loaded, for the next load;
  // gives back the one it had.
  TSK_FS_FILE* adopt(TSK_FS_FILE* file) {
    TSK_FS_FILE* had = folder_;
    folder_ = file;
    return had;
  }

 private:
  friend class NtfsFolderReader;
  TSK_FS_DIR dir_{};
  std::vector<TSK_FS_NAME> names_;
  NtfsFolderNames table_;
  TSK_FS_FILE* folder_ = nullptr;  // the folder's own entry (dir_.fs_file)
};

class NtfsFolderReader {
 public:
  explicit NtfsFolderReader(TSK_FS_INFO* fs);
  NtfsFolderReader(const NtfsFolderReader&) = delete;
  NtfsFolderReader& operator=(const NtfsFolderReader&) = delete;

  // Reads every MFT entry once, through the library's own walk of them, for
  // the folders their names place them in: a folder lists, besides its
  // index, the entries that place themselves in it under names the index
  // lacks, as the library's listing does.  Done once, before any folder is
  // loaded; a walk that fails part way keeps what it found, as the
  // library's does.
  void read_parent_map();
  // Loads the folder at entry `folder` into `listing` (whose adopted file
  // holds the folder's entry already, when `adopted`).  False when the
  // library's own load must be asked instead (the library refuses the
  // folder, or the folder is one this reader does not read).
  bool load(TSK_INUM_T folder, NtfsFolderListing* listing, bool adopted = false);

 private:
  // An entry whose $FILE_NAME places it in `parent`, as the library's map
  // keeps it.
  struct Placed {
    uint32_t parent;
    uint32_t entry;
    uint32_t hash;             // the library's hash of that name
    uint16_t parent_sequence;  // the parent's sequence number the name gives
    uint16_t sequence;         // the entry's own
  };
  static TSK_WALK_RET_ENUM collect(TSK_FS_FILE* file, void* self);
  bool read_allocation(const TSK_FS_ATTR* allocation, TSK_INUM_T folder, bool deleted,
                       NtfsFolderNames* names);
  void add_placed(TSK_INUM_T folder, uint16_t sequence, NtfsFolderNames* names);

  TSK_FS_INFO* fs_;
  NtfsIndexVolume volume_;
  std::vector<Placed> placed_;
  bool map_read_ = false;
  bool usable_ = true;  // false when the map cannot be kept as the library keeps it
  std::unique_ptr<uint8_t[]> allocation_;
  size_t allocation_size_ = 0;
};
