// Checks this program's NTFS folder loads (src/image/ntfs_folder.h) against
// The Sleuth Kit's own, entry for entry: every folder of every NTFS volume
// of each image (every MFT entry that is a folder, in use or not), loaded
// both ways, must list the same names in the same order, with the same
// entries, sequence numbers, kinds and flags; a folder this program leaves
// to the library is counted, and must be one the library refuses, or one it
// reads past its bytes for.
//
//   ntfs_folder_check [-v] IMAGE...
//
// Prints one line per volume (folders, how many were loaded here, how many
// were left to the library) and every difference; ends with 1 when there
// was one, 2 when an image cannot be opened.
#include <tsk/libtsk.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image/ntfs_folder.h"
#include "image/tsk_library.h"

namespace {

bool verbose = false;

void use_linked_library() {
#define BINSIFT_TSK_LINKED(name) tsk_library.name = &::name;
  BINSIFT_TSK_FUNCTIONS(BINSIFT_TSK_LINKED)
#undef BINSIFT_TSK_LINKED
}

struct Folders {
  std::vector<TSK_INUM_T> entries;
};

TSK_WALK_RET_ENUM collect_folder(TSK_FS_FILE* file, void* context) {
  if (file->meta != nullptr && file->meta->type == TSK_FS_META_TYPE_DIR)
    static_cast<Folders*>(context)->entries.push_back(file->meta->addr);
  return TSK_WALK_CONT;
}

std::string describe(const TSK_FS_NAME& n) {
  char line[1400];
  std::snprintf(line, sizeof line, "%s entry %llu seq %u type %d flags %d", n.name ? n.name : "(null)",
                static_cast<unsigned long long>(n.meta_addr), n.meta_seq, static_cast<int>(n.type),
                static_cast<int>(n.flags));
  return line;
}

// Returns the number of folders that differ.
size_t check_volume(const std::string& where, TSK_FS_INFO* fs) {
  NtfsFolderReader reader(fs);
  reader.read_parent_map();
  // The library walks every MFT entry at its first folder load, and that
  // load fails when the walk does; the program's adapter made that load
  // (of the root) on its own before, as this reader reads its map before
  // any folder.
  if (TSK_FS_DIR* first = tsk_fs_dir_open_meta(fs, fs->root_inum)) tsk_fs_dir_close(first);
  tsk_error_reset();
  Folders folders;
  folders.entries.push_back(fs->root_inum);
  tsk_fs_meta_walk(fs, fs->first_inum, fs->last_inum,
                   static_cast<TSK_FS_META_FLAG_ENUM>(TSK_FS_META_FLAG_ALLOC | TSK_FS_META_FLAG_UNALLOC),
                   collect_folder, &folders);
  tsk_error_reset();
  size_t own = 0, left = 0, differ = 0;
  NtfsFolderListing listing;
  for (TSK_INUM_T entry : folders.entries) {
    TSK_FS_DIR* theirs = tsk_fs_dir_open_meta(fs, entry);
    tsk_error_reset();
    if (!reader.load(entry, &listing)) {
      ++left;
      if (verbose)
        std::printf("%s: folder %llu left to the library (which %s it)\n", where.c_str(),
                    static_cast<unsigned long long>(entry), theirs ? "reads" : "refuses");
      if (theirs) tsk_fs_dir_close(theirs);
      continue;
    }
    ++own;
    const TSK_FS_DIR* mine = listing.dir();
    std::string why;
    if (theirs == nullptr) {
      why = "the library refuses it";
    } else if (theirs->names_used != mine->names_used) {
      why = "the library lists " + std::to_string(theirs->names_used) + " names, this program " +
            std::to_string(mine->names_used);
    } else if (theirs->seq != mine->seq || theirs->addr != mine->addr) {
      why = "the folder's own entry differs";
    }
    if (theirs != nullptr) {
      const size_t n = std::min(theirs->names_used, mine->names_used);
      for (size_t i = 0; i < n; ++i) {
        const TSK_FS_NAME& a = theirs->names[i];
        const TSK_FS_NAME& b = mine->names[i];
        if (a.meta_addr != b.meta_addr || a.meta_seq != b.meta_seq || a.type != b.type ||
            a.flags != b.flags || std::strcmp(a.name, b.name) != 0) {
          why += (why.empty() ? "" : "; ") + ("name " + std::to_string(i) + ": library " +
                                              describe(a) + ", this program " + describe(b));
          break;
        }
      }
    }
    if (!why.empty()) {
      ++differ;
      std::printf("%s: folder %llu differs: %s\n", where.c_str(), static_cast<unsigned long long>(entry),
                  why.c_str());
    }
    if (theirs) tsk_fs_dir_close(theirs);
  }
  std::printf("%s: %zu folders, %zu loaded here, %zu left to the library, %zu differ\n", where.c_str(),
              folders.entries.size(), own, left, differ);
  return differ;
}

}  // namespace

int main(int argc, char** argv) {
  use_linked_library();
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-v") == 0) {
      verbose = true;
      continue;
    }
    TSK_IMG_INFO* img = tsk_img_open_utf8_sing(argv[i], TSK_IMG_TYPE_DETECT, 0);
    if (img == nullptr) {
      std::fprintf(stderr, "%s: %s\n", argv[i], tsk_error_get());
      status = 2;
      continue;
    }
    size_t differ = 0;
    TSK_VS_INFO* vs = tsk_vs_open(img, 0, TSK_VS_TYPE_DETECT);
    tsk_error_reset();
    std::vector<std::pair<std::string, TSK_FS_INFO*>> volumes;
    if (vs != nullptr) {
      for (TSK_PNUM_T p = 0; p < vs->part_count; ++p) {
        const TSK_VS_PART_INFO* part = tsk_vs_part_get(vs, p);
        if (part == nullptr || (part->flags & TSK_VS_PART_FLAG_ALLOC) == 0) continue;
        TSK_FS_INFO* fs = tsk_fs_open_vol(part, TSK_FS_TYPE_DETECT);
        tsk_error_reset();
        if (fs != nullptr) volumes.emplace_back(std::string(argv[i]) + ":p" + std::to_string(part->addr), fs);
      }
    } else {
      TSK_FS_INFO* fs = tsk_fs_open_img(img, 0, TSK_FS_TYPE_DETECT);
      tsk_error_reset();
      if (fs != nullptr) volumes.emplace_back(std::string(argv[i]) + ":p0", fs);
    }
    for (auto& [where, fs] : volumes) {
      if (TSK_FS_TYPE_ISNTFS(fs->ftype)) differ += check_volume(where, fs);
      tsk_fs_close(fs);
    }
    if (vs != nullptr) tsk_vs_close(vs);
    tsk_img_close(img);
    if (differ != 0 && status == 0) status = 1;
  }
  return status;
}
