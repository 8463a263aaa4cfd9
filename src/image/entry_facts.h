// What a listing of an NTFS folder, and the walk after it, ask of the
// folder's entries, read once per entry in MFT-entry order when the folder
// is first listed: the MFT is then read roughly in sequence, where asking
// in the listing's (the names') order would read a block of the MFT for
// every entry, and for an E01 image inflate its chunks again and again.
// Only what was read without any failure is kept; anything else is read
// again when it is asked for, and then told as ever.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

// One entry's facts.
struct EntryFacts {
  uint64_t entry = 0;
  // Its MFT entry header, when read.
  bool header = false;
  uint16_t sequence = 0;
  uint16_t flags = 0;
  // Its metadata, when loaded: what the library makes of it.
  bool loaded = false;
  uint8_t type = 0;  // the library's metadata type
  bool reparse = false;
  int64_t size = 0;
  EntryTimes times;
  // Its names ($FILE_NAME: the folder each places it in), in their order.
  uint32_t names_at = 0;
  uint32_t names_count = 0;
  // Its data, when resident and kept: every byte of it.
  bool data = false;
  uint32_t data_at = 0;
  uint32_t data_length = 0;
};

struct EntryFactsName {
  uint64_t parent = 0;
  uint32_t parent_sequence = 0;
  uint32_t text_at = 0;  // NUL-terminated in the table's text
};

// The facts of one folder's entries, kept by entry.
class EntryFactsTable {
 public:
  // Data kept for a folder, all its files together, and for one file.
  static constexpr size_t kDataBytes = size_t{8} << 20;
  static constexpr size_t kFileDataBytes = 4096;

  void clear();
  // Clears, and gives back the memory of a large folder's facts.
  void release();
  // Room for `count` entries.
  void reserve(size_t count) { facts_.reserve(count), entries_.reserve(count); }
  // Entries are added in increasing order; each once.
  EntryFacts* add(uint64_t entry);
  // Drops the entry added last (its facts could not all be read).
  void drop_last();
  const EntryFacts* find(uint64_t entry) const;
  // Adds a copy of `facts` from `from`.
  void copy(const EntryFactsTable& from, const EntryFacts& facts);

  void add_name(EntryFacts* facts, uint64_t parent, uint32_t parent_sequence, const char* name);
  std::span<const EntryFactsName> names(const EntryFacts& facts) const {
    return std::span<const EntryFactsName>(names_.data() + facts.names_at, facts.names_count);
  }
  const char* text(const EntryFactsName& name) const { return text_.data() + name.text_at; }

  // Keeps a file's data, when it fits what is left of the folder's room.
  bool add_data(EntryFacts* facts, const uint8_t* bytes, size_t length);
  const uint8_t* data(const EntryFacts& facts) const {
    return chunks_[facts.data_at / kChunk].get() + facts.data_at % kChunk;
  }

  size_t size() const { return facts_.size(); }
  const EntryFacts& at(size_t i) const { return facts_[i]; }

 private:
  std::vector<EntryFacts> facts_;
  std::vector<uint64_t> entries_;  // facts_'s entries, searched
  std::vector<EntryFactsName> names_;
  std::string text_;
  // Data in chunks (a file's in one), so that growing never copies it.
  static constexpr size_t kChunk = size_t{256} << 10;
  std::vector<std::unique_ptr<uint8_t[]>> chunks_;
  size_t data_used_ = 0;  // the offset of the next byte
};
