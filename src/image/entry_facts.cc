#include "image/entry_facts.h"

#include <algorithm>
#include <cstring>

void EntryFactsTable::clear() {
  facts_.clear();
  entries_.clear();
  names_.clear();
  text_.clear();
  data_used_ = 0;
}

void EntryFactsTable::release() {
  constexpr size_t kKept = 1024;  // facts of a small folder keep their room
  if (facts_.capacity() > kKept || chunks_.size() > 1) {
    *this = EntryFactsTable();
  } else {
    clear();
  }
}

EntryFacts* EntryFactsTable::add(uint64_t entry) {
  facts_.emplace_back();
  entries_.push_back(entry);
  facts_.back().entry = entry;
  facts_.back().names_at = static_cast<uint32_t>(names_.size());
  return &facts_.back();
}

void EntryFactsTable::drop_last() {
  const EntryFacts& last = facts_.back();
  if (last.names_count != 0) text_.resize(names_[last.names_at].text_at);
  names_.resize(last.names_at);
  if (last.data) data_used_ = last.data_at;
  facts_.pop_back();
  entries_.pop_back();
}

const EntryFacts* EntryFactsTable::find(uint64_t entry) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), entry);
  return it != entries_.end() && *it == entry ? &facts_[static_cast<size_t>(it - entries_.begin())]
                                              : nullptr;
}

void EntryFactsTable::copy(const EntryFactsTable& from, const EntryFacts& facts) {
  EntryFacts* f = add(facts.entry);
  const uint32_t names_at = f->names_at;
  *f = facts;
  f->names_at = names_at;
  f->names_count = 0;
  f->data = false;
  for (const EntryFactsName& n : from.names(facts)) add_name(f, n.parent, n.parent_sequence, from.text(n));
  if (facts.data && !add_data(f, from.data(facts), facts.data_length)) f->data = false;
}

void EntryFactsTable::add_name(EntryFacts* facts, uint64_t parent, uint32_t parent_sequence,
                               const char* name) {
  names_.push_back({parent, parent_sequence, static_cast<uint32_t>(text_.size())});
  text_.append(name);
  text_.push_back('\0');
  ++facts->names_count;
}

bool EntryFactsTable::add_data(EntryFacts* facts, const uint8_t* bytes, size_t length) {
  if (length > kFileDataBytes) return false;
  size_t at = data_used_;
  if (at % kChunk + length > kChunk) at += kChunk - at % kChunk;  // the next chunk
  if (at + length > kDataBytes) return false;
  while (chunks_.size() <= at / kChunk) chunks_.emplace_back(new uint8_t[kChunk]);
  if (length > 0) std::memcpy(chunks_[at / kChunk].get() + at % kChunk, bytes, length);
  facts->data = true;
  facts->data_at = static_cast<uint32_t>(at);
  facts->data_length = static_cast<uint32_t>(length);
  data_used_ = at + length;
  return true;
}
