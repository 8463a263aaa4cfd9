// The table of record parsers, and what they share.
#include "decode/index_record.h"
#include "decode/info2.h"
#include "decode/record_parser.h"

namespace {

// Asked in this order: a parser that declines a file leaves it to the next;
// the index-file parser takes whatever is left.
const RecordParser* const kRecordParsers[] = {
    &info2_parser(),
    &index_file_parser(),
};

}  // namespace

std::span<const RecordParser* const> record_parsers() { return kRecordParsers; }

void ParserInput::read_head() {
  head_size_ = file_ == kNoFile ? 0 : fs_->read_file(file_, buffer_, kIndexReadSize);
  at_end_ = head_size_ == 0;
}

void ParserInput::fill_head() {
  if (at_end_ || head_size_ >= kIndexReadSize) return;
  const size_t more = read_fully(buffer_ + head_size_, kIndexReadSize - head_size_);
  head_size_ += more;
}

size_t ParserInput::read_fully(unsigned char* into, size_t size) {
  size_t got = 0;
  while (got < size && !at_end_) {
    const size_t n = file_ == kNoFile ? 0 : fs_->read_file(file_, into + got, size - got);
    if (n == 0) {
      at_end_ = true;
      break;
    }
    got += n;
  }
  return got;
}

void check_companion_size(RecycleRecord* record) {
  if (record->companion.kind == CompanionKind::kFile && record->has_size &&
      record->companion.size != static_cast<uint64_t>(record->size))
    record->warnings |= kWarnSizeMismatch;
}
