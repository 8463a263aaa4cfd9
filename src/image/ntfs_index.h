// The names of an NTFS folder's $I30 index, read from the bytes of its
// $INDEX_ROOT and $INDEX_ALLOCATION attributes as The Sleuth Kit's folder
// load reads them, in time linear in the folder's size: the root's node,
// then every index record in the order it lies in the allocation (not as a
// tree, so that records no longer in the tree are read too), the space past
// each node's last entry searched for the names of deleted entries, 8.3
// names left out.  The names reach the folder's table (NtfsFolderNames) in
// the order, and under the rules, by which the library adds them, so that a
// folder read here lists exactly what the library's load lists.
//
// Nothing here reads the image or needs the library: the bytes are handed
// in, which is how the tests and the fuzzer drive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// What the reader needs of the volume.
struct NtfsIndexVolume {
  uint64_t first_entry = 0;  // the lowest and highest metadata address
  uint64_t last_entry = 0;
  uint32_t cluster_size = 4096;
};

// The kinds of name the library's folder load gives.
enum class NtfsNameType : uint8_t { kUndefined, kRegular, kDirectory, kVirtualDirectory };

// One name of a folder, as the library's folder structure holds it.
struct NtfsFolderName {
  uint64_t entry = 0;
  uint32_t sequence = 0;
  uint32_t hash = 0;  // the library's hash of the name (NtfsFolderNames::library_hash)
  uint32_t name_at = 0;
  uint32_t name_length = 0;
  NtfsNameType type = NtfsNameType::kUndefined;
  bool allocated = false;  // false: the library's "unallocated" name
};

// A folder's names, added as the library adds a name to a folder it loads:
// a name already listed for the same entry stays, unless it is unallocated
// and the new one is not, which then takes its place (and keeps its
// position).  Linear in the number of names, where the library compares
// each new name with every one before it.
class NtfsFolderNames {
 public:
  void clear();
  void add(uint64_t entry, uint32_t sequence, std::string_view name, NtfsNameType type,
           bool allocated);
  // Whether an allocated name of `entry` whose library hash is `hash` is
  // listed (the library's test of whether its MFT-wide map adds an entry).
  bool has_allocated(uint64_t entry, uint32_t hash) const;

  size_t size() const { return names_.size(); }
  const NtfsFolderName& at(size_t i) const { return names_[i]; }
  // The name's bytes, followed by a NUL.
  const char* text(size_t i) const { return text_.data() + names_[i].name_at; }

  // The hash the library gives a name: djb2 over its bytes, as signed
  // chars, with '/' left out.
  static uint32_t library_hash(std::string_view name);

 private:
  static uint64_t key_of(uint64_t entry, std::string_view name);
  static uint64_t key_of(uint64_t entry, uint32_t hash);
  void grow_names();
  void grow_allocated();
  void mark_allocated(size_t index);

  std::vector<NtfsFolderName> names_;
  std::string text_;
  // Open addressing: 0 is an empty slot, else the index of a name plus 1.
  std::vector<uint32_t> by_name_;       // (entry, name)
  std::vector<uint32_t> allocated_;     // (entry, library hash) of allocated names
  size_t allocated_count_ = 0;
};

// Reads the index root (the $INDEX_ROOT attribute's bytes, `root`, which
// must start at an address that is a multiple of 4, as the library's copy
// of it does) of the folder at entry `folder` into `names`.
// `folder_deleted`: the folder's own entry is not in use, so that every name
// counts as deleted.  `has_children` tells whether the root says that nodes
// below it lie in the index allocation.  False when the library's load
// would refuse the folder, or would read past the bytes it has.
bool read_index_root(std::span<const uint8_t> root, uint64_t folder, bool folder_deleted,
                     const NtfsIndexVolume& volume, bool* has_children, NtfsFolderNames* names);

// Reads the index allocation (the $INDEX_ALLOCATION attribute's bytes up to
// its allocated size, slack included; the update sequence fixups are
// applied in place), as read_index_root says.
bool read_index_allocation(std::span<uint8_t> allocation, uint64_t folder, bool folder_deleted,
                           const NtfsIndexVolume& volume, NtfsFolderNames* names);

// The library's conversion of an NTFS name to UTF-8: unpaired surrogates
// become '^', and a high surrogate at the end stops the name.  The text is
// cut at its first NUL, as the library's C strings are.
void ntfs_name_to_utf8(const uint8_t* utf16, size_t units, std::string* out);
