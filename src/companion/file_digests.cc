#include "companion/file_digests.h"

#include <cstring>

namespace {

// Large enough that a file is read in few calls, small enough to stay in
// the cache between the read and the digests.
constexpr size_t kReadSize = 1 << 20;

}  // namespace

FileDigests::FileDigests(unsigned kinds, bool reset_times)
    : kinds_(kinds), reset_times_(reset_times), buffer_(kReadSize) {}

FileDigests::~FileDigests() = default;

bool FileDigests::open(std::string* reason) {
  if (kinds_ == 0 || engine_) return true;
  engine_ = make_digest_engine(kinds_, reason);
  return engine_ != nullptr;
}

void FileDigests::clear() {
  for (size_t& length : hex_length_) length = 0;
}

std::string_view FileDigests::hex(int kind) const {
  return std::string_view(hex_[kind], hex_length_[kind]);
}

DigestOutcome FileDigests::read(FileSystem* fs, DirRef dir, const char* name, ByteSink* sink,
                                uint64_t* size, std::string* reason) {
  clear();
  restore_failed_ = false;
  *size = 0;
  const FileRef file = fs->open_file(dir, name, EntryKind::kUnknown);
  if (file == kNoFile) {
    *reason = "it cannot be opened";
    return DigestOutcome::kNotOpened;
  }
  SavedTimes saved;
  const bool captured = reset_times_ && fs->capture_times(file, &saved);
  EntryInfo info;
  const bool sized = fs->file_info(file, &info);
  if (engine_) engine_->begin();
  DigestOutcome outcome = DigestOutcome::kDone;
  uint64_t total = 0;
  for (;;) {
    const size_t got = fs->read_file(file, buffer_.data(), buffer_.size());
    if (got == 0) break;
    total += got;
    if (engine_) engine_->update(buffer_.data(), got);
    if (sink != nullptr && !sink->write(buffer_.data(), got)) {
      outcome = DigestOutcome::kSinkFailed;
      break;
    }
  }
  if (outcome == DigestOutcome::kDone) {
    std::string why = fs->read_error(file);
    if (why.empty() && sized && total != info.size)
      why = "it gave " + std::to_string(total) + " of its " + std::to_string(info.size) + " bytes";
    if (!why.empty()) {
      *reason = why;
      outcome = DigestOutcome::kReadFailed;
    }
  }
  unsigned char digest[kDigestKindCount][kLargestDigest];
  if (outcome == DigestOutcome::kDone && engine_ && !engine_->finish(digest)) {
    *reason = "the cryptographic library failed";
    outcome = DigestOutcome::kReadFailed;
  }
  if (outcome == DigestOutcome::kDone && engine_) {
    static const char kHex[] = "0123456789abcdef";
    for (int kind = 0; kind < kDigestKindCount; ++kind) {
      if (!(kinds_ & digest_bit(kind))) continue;
      for (size_t i = 0; i < kDigestSizes[kind]; ++i) {
        hex_[kind][2 * i] = kHex[digest[kind][i] >> 4];
        hex_[kind][2 * i + 1] = kHex[digest[kind][i] & 15];
      }
      hex_length_[kind] = 2 * kDigestSizes[kind];
    }
  }
  if (reset_times_ && !(captured && fs->restore_times(file, saved))) restore_failed_ = true;
  fs->close_file(file);
  *size = total;
  return outcome;
}
