#include "image/ntfs_index.h"

#include <algorithm>
#include <cstring>

#include "platform/utf8.h"

namespace {

// Layout of the index structures (little-endian).
constexpr size_t kRootListAt = 16;     // the node header in $INDEX_ROOT
constexpr size_t kRecordListAt = 24;   // the node header in an INDX record
constexpr size_t kRecordHeader = 40;   // an INDX record's header with its node header
constexpr size_t kEntryHeader = 16;    // an index entry before its key
constexpr size_t kFileNameFixed = 66;  // a $FILE_NAME key before the name
// The library looks at an entry only while its header and the key's fixed
// part (and one byte more) lie before the end of the node's space.
constexpr size_t kEntryLookedAt = kEntryHeader + kFileNameFixed + 1;
constexpr uint32_t kFileNameType = 0x30;
constexpr uint64_t kDirectoryFlag = 0x10000000;
constexpr uint8_t kNamespaceDos = 2;
constexpr uint8_t kNamespaceWin32AndDos = 3;
constexpr uint32_t kChildrenFlag = 1;
constexpr size_t kSectorStride = 512;

uint64_t le(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// The library's test that a time of a deleted name is plausible: after
// 1970 and before 2020, in units of 100 seconds.
bool plausible_time(uint64_t filetime) {
  constexpr uint64_t kFrom1601To1970 = (369ull * 365 + 89) * 24 * 36;
  constexpr uint64_t kFrom1601To2020 = kFrom1601To1970 + (50ull * 365 + 6) * 24 * 36;
  const uint64_t t = filetime / 1000000000;
  return t != 0 && t >= kFrom1601To1970 && t <= kFrom1601To2020;
}

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// One node's entries: the index entries from `start` up to `start + length`
// of `buffer`, those past `start + used` (the node's own end) being the
// space where deleted entries may still be found.  A name stays pending
// until the next entry shows whether it is followed by its 8.3 name (which
// is not listed).
class NodeReader {
 public:
  NodeReader(const uint8_t* buffer, size_t buffer_size, uint64_t folder, bool folder_deleted,
             const NtfsIndexVolume& volume, NtfsFolderNames* names)
      : buffer_(buffer),
        buffer_size_(buffer_size),
        folder_(folder),
        folder_deleted_(folder_deleted),
        volume_(volume),
        names_(names) {}

  bool read(size_t start, uint32_t length, uint32_t used) {
    if (length < used) return false;  // the library's error
    const size_t end = start + length;
    const size_t allocated_end = start + used;
    if (end > buffer_size_) return false;
    pending_ = false;
    size_t at = start;
    while (at + kEntryLookedAt < end) {
      const uint8_t* e = buffer_ + at;
      const uint64_t entry = le(e, 6);
      const uint32_t entry_length = static_cast<uint32_t>(le(e + 8, 2));
      const uint32_t key_length = static_cast<uint32_t>(le(e + 10, 2));
      // Not an entry (garbage in the space past a node's end): the next
      // 4 bytes are tried.
      if (entry > volume_.last_entry || entry < volume_.first_entry ||
          entry_length <= key_length || entry_length % 4 != 0 || entry_length > length) {
        at += 4;
        continue;
      }
      const uint8_t* key = e + kEntryHeader;
      if (le(key, 6) != folder_) {
        at += 4;
        continue;
      }
      const uint8_t name_units = key[64];
      const uint8_t name_space = key[65];
      const bool past_end = key_length == 0 || at + entry_length > allocated_end;
      if (past_end) {
        if (name_space > kNamespaceWin32AndDos || le(key + 40, 8) < le(key + 48, 8) ||
            name_units == 0 || key[66] == 0 || !plausible_time(le(key + 8, 8)) ||
            !plausible_time(le(key + 32, 8)) || !plausible_time(le(key + 16, 8))) {
          at += 4;
          continue;
        }
      }
      if (name_space == kNamespaceDos) {
        // The 8.3 name of the name before it (or of another): not listed.
        flush();
      } else {
        flush();
        // The name is read as far as its length says, past the entry if
        // need be; past the bytes there are, the library's own load must
        // decide.
        const size_t name_at = at + kEntryHeader + kFileNameFixed;
        if (name_at + 2 * static_cast<size_t>(name_units) > buffer_size_) return false;
        ntfs_name_to_utf8(buffer_ + name_at, name_units, &name_);
        entry_ = entry;
        sequence_ = static_cast<uint32_t>(le(e + 6, 2));
        directory_ = (le(key + 56, 8) & kDirectoryFlag) != 0;
        allocated_ = !(folder_deleted_ || past_end);
        pending_ = true;
        if (name_space == kNamespaceWin32AndDos) flush();
      }
      if (key_length == 0) {
        // A deleted entry's length is taken from its name.
        at = (at + kEntryHeader + kFileNameFixed + 2 * static_cast<size_t>(name_units) + 3) / 4 * 4;
      } else {
        at += entry_length;
      }
    }
    flush();
    return true;
  }

 private:
  void flush() {
    if (!pending_) return;
    pending_ = false;
    names_->add(entry_, sequence_, name_,
                directory_ ? NtfsNameType::kDirectory : NtfsNameType::kRegular, allocated_);
  }

  const uint8_t* buffer_;
  size_t buffer_size_;
  uint64_t folder_;
  bool folder_deleted_;
  const NtfsIndexVolume& volume_;
  NtfsFolderNames* names_;
  bool pending_ = false;
  std::string name_;
  uint64_t entry_ = 0;
  uint32_t sequence_ = 0;
  bool directory_ = false;
  bool allocated_ = false;
};

// Applies the update sequence of the record at `record` (`length` bytes up
// to the next record) as the library does, byte by byte, taking the saved
// values from wherever the record's header says, within `buffer`.
bool apply_fixups(uint8_t* buffer, size_t buffer_size, size_t record, size_t length) {
  uint8_t* r = buffer + record;
  const uint32_t offset = static_cast<uint32_t>(le(r + 4, 2));
  const int count = static_cast<int>(le(r + 6, 2));
  if (static_cast<unsigned int>((count - 1) * static_cast<int>(kSectorStride)) > length) return false;
  if (offset > length || 3 > length - offset) return false;
  const uint8_t expected[2] = {r[offset], r[offset + 1]};
  for (int i = 1; i < count; ++i) {
    const size_t at = static_cast<size_t>(i) * kSectorStride - 2;
    if (r[at] != expected[0] || r[at + 1] != expected[1]) return false;
    const size_t saved = record + offset + 2 + 2 * static_cast<size_t>(i - 1);
    if (saved + 2 > buffer_size) return false;  // past the bytes there are
    r[at] = buffer[saved];
    r[at + 1] = buffer[saved + 1];
  }
  return true;
}

}  // namespace

void ntfs_name_to_utf8(const uint8_t* utf16, size_t units, std::string* out) {
  out->clear();
  size_t i = 0;
  while (i < units) {
    uint32_t c = static_cast<uint32_t>(le(utf16 + 2 * i, 2));
    ++i;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i >= units) break;  // the name ends here
      const uint32_t low = static_cast<uint32_t>(le(utf16 + 2 * i, 2));
      ++i;
      c = (low >= 0xDC00 && low <= 0xDFFF) ? ((c - 0xD800) << 10) + (low - 0xDC00) + 0x10000 : '^';
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      c = '^';
    }
    if (c == 0) return;  // a C string ends at its first NUL
    append_utf8(out, c);
  }
}

// ---------------------------------------------------------------------------

void NtfsFolderNames::clear() {
  names_.clear();
  text_.clear();
  std::fill(by_name_.begin(), by_name_.end(), 0);
  std::fill(allocated_.begin(), allocated_.end(), 0);
  allocated_count_ = 0;
}

uint32_t NtfsFolderNames::library_hash(std::string_view name) {
  uint32_t hash = 5381;
  for (char ch : name) {
    const int c = static_cast<signed char>(ch);
    if (c == '/') continue;
    hash = (hash << 5) + hash + static_cast<uint32_t>(c);
  }
  return hash;
}

uint64_t NtfsFolderNames::key_of(uint64_t entry, std::string_view name) {
  uint64_t h = 1469598103934665603ULL;
  for (char c : name) h = (h ^ static_cast<uint8_t>(c)) * 1099511628211ULL;
  return mix(entry * 0x9E3779B97F4A7C15ULL ^ h);
}

uint64_t NtfsFolderNames::key_of(uint64_t entry, uint32_t hash) {
  return mix(entry * 0x9E3779B97F4A7C15ULL ^ hash);
}

void NtfsFolderNames::grow_names() {
  std::vector<uint32_t> table(by_name_.empty() ? 1024 : 2 * by_name_.size(), 0);
  const size_t mask = table.size() - 1;
  for (size_t i = 0; i < names_.size(); ++i) {
    const NtfsFolderName& n = names_[i];
    size_t slot = key_of(n.entry, std::string_view(text_.data() + n.name_at, n.name_length)) & mask;
    while (table[slot] != 0) slot = (slot + 1) & mask;
    table[slot] = static_cast<uint32_t>(i + 1);
  }
  by_name_.swap(table);
}

void NtfsFolderNames::grow_allocated() {
  std::vector<uint32_t> table(allocated_.empty() ? 1024 : 2 * allocated_.size(), 0);
  const size_t mask = table.size() - 1;
  for (uint32_t v : allocated_) {
    if (v == 0) continue;
    const NtfsFolderName& n = names_[v - 1];
    size_t slot = key_of(n.entry, n.hash) & mask;
    while (table[slot] != 0) slot = (slot + 1) & mask;
    table[slot] = v;
  }
  allocated_.swap(table);
}

void NtfsFolderNames::mark_allocated(size_t index) {
  if (2 * (allocated_count_ + 1) > allocated_.size()) grow_allocated();
  const NtfsFolderName& n = names_[index];
  const size_t mask = allocated_.size() - 1;
  size_t slot = key_of(n.entry, n.hash) & mask;
  while (allocated_[slot] != 0) {
    const NtfsFolderName& o = names_[allocated_[slot] - 1];
    if (o.entry == n.entry && o.hash == n.hash) return;  // one is enough
    slot = (slot + 1) & mask;
  }
  allocated_[slot] = static_cast<uint32_t>(index + 1);
  ++allocated_count_;
}

bool NtfsFolderNames::has_allocated(uint64_t entry, uint32_t hash) const {
  if (allocated_.empty()) return false;
  const size_t mask = allocated_.size() - 1;
  for (size_t slot = key_of(entry, hash) & mask; allocated_[slot] != 0; slot = (slot + 1) & mask) {
    const NtfsFolderName& o = names_[allocated_[slot] - 1];
    if (o.entry == entry && o.hash == hash) return true;
  }
  return false;
}

void NtfsFolderNames::add(uint64_t entry, uint32_t sequence, std::string_view name,
                          NtfsNameType type, bool allocated) {
  if (2 * (names_.size() + 1) > by_name_.size()) grow_names();
  const size_t mask = by_name_.size() - 1;
  size_t slot = key_of(entry, name) & mask;
  for (; by_name_[slot] != 0; slot = (slot + 1) & mask) {
    NtfsFolderName& o = names_[by_name_[slot] - 1];
    if (o.entry != entry || std::string_view(text_.data() + o.name_at, o.name_length) != name)
      continue;
    if (!o.allocated && allocated) {
      o.sequence = sequence;
      o.type = type;
      o.allocated = true;
      mark_allocated(by_name_[slot] - 1);
    }
    return;
  }
  NtfsFolderName n;
  n.entry = entry;
  n.sequence = sequence;
  n.hash = library_hash(name);
  n.name_at = static_cast<uint32_t>(text_.size());
  n.name_length = static_cast<uint32_t>(name.size());
  n.type = type;
  n.allocated = allocated;
  text_.append(name);
  text_.push_back('\0');
  names_.push_back(n);
  by_name_[slot] = static_cast<uint32_t>(names_.size());
  if (allocated) mark_allocated(names_.size() - 1);
}

// ---------------------------------------------------------------------------

bool read_index_root(std::span<const uint8_t> root, uint64_t folder, bool folder_deleted,
                     const NtfsIndexVolume& volume, bool* has_children, NtfsFolderNames* names) {
  *has_children = false;
  if (root.size() < kRootListAt + 16) return false;
  const uint8_t* r = root.data();
  if (le(r, 4) != kFileNameType) return false;
  const uint32_t begin = static_cast<uint32_t>(le(r + kRootListAt, 4));
  const uint32_t used_end = static_cast<uint32_t>(le(r + kRootListAt + 4, 4));
  const uint32_t end = static_cast<uint32_t>(le(r + kRootListAt + 8, 4));
  if (used_end < begin || end < used_end || kRootListAt + end > root.size()) return false;
  *has_children = (le(r + kRootListAt + 12, 4) & kChildrenFlag) != 0;
  NodeReader node(r, root.size(), folder, folder_deleted, volume, names);
  return node.read(kRootListAt + begin, end - begin, used_end - begin);
}

bool read_index_allocation(std::span<uint8_t> allocation, uint64_t folder, bool folder_deleted,
                           const NtfsIndexVolume& volume, NtfsFolderNames* names) {
  uint8_t* a = allocation.data();
  const size_t size = allocation.size();
  const size_t step = volume.cluster_size;
  if (step == 0) return false;
  NodeReader node(a, size, folder, folder_deleted, volume, names);
  // Records are found by their signature at each cluster; each reaches to
  // the next one found (its slack included), the last to the end.
  bool have_previous = false;
  size_t previous = 0;
  for (size_t at = 0; at < size; at += step) {
    if (kRecordHeader > size - at) return false;
    if (std::memcmp(a + at, "INDX", 4) != 0) continue;
    if (!have_previous) {
      have_previous = true;
      previous = at;
      continue;
    }
    const size_t length = at - previous;
    if (!apply_fixups(a, size, previous, length)) return false;
    const size_t list = previous + kRecordListAt;
    const uint32_t begin = static_cast<uint32_t>(le(a + list, 4));
    const uint32_t used_end = static_cast<uint32_t>(le(a + list + 4, 4));
    const size_t first = list + begin;
    if (first > at || list + used_end > at) return false;
    if (!node.read(first, static_cast<uint32_t>(at - first), used_end - begin)) return false;
    previous = at;
  }
  if (have_previous) {
    const size_t length = size - previous;
    if (!apply_fixups(a, size, previous, length)) return false;
    const size_t list = previous + kRecordListAt;
    const uint32_t begin = static_cast<uint32_t>(le(a + list, 4));
    const uint32_t used_end = static_cast<uint32_t>(le(a + list + 4, 4));
    if (begin > length) return false;
    const size_t first = list + begin;
    const uint32_t list_length = static_cast<uint32_t>(size - first);  // as the library wraps it
    if (list_length > length || list + used_end > size) return false;
    if (!node.read(first, list_length, used_end - begin)) return false;
  }
  return true;
}
