#include "walk/file_bytes.h"

#include "platform/image_files.h"

namespace {

// A read that fails passes over this much before it tries again.
constexpr uint64_t kPassedOver = 65536;

}  // namespace


FileBytes::~FileBytes() {
  if (handle_ != kInvalidHandle) close_file(handle_);
}

bool FileBytes::open(const std::string& path, std::string* reason) {
  path_ = path;
  handle_ = open_image_file(path, &size_, reason);
  return handle_ != kInvalidHandle;
}

size_t FileBytes::read(unsigned char* buffer, size_t size, uint64_t* offset) {
  while (handle_ != kInvalidHandle && size > 0) {
    std::string reason;
    const int64_t got = read_once_at(handle_, buffer, size, next_, &reason);
    if (got > 0) {
      *offset = next_;
      next_ += static_cast<uint64_t>(got);
      return static_cast<size_t>(got);
    }
    if (got == 0) break;
    // The bytes that cannot be read are named; the rest is read on.
    incomplete_ = true;
    const uint64_t skip_to = (next_ / kPassedOver + 1) * kPassedOver;
    visitor_->message("Can't read " + path_ + " at bytes " + std::to_string(next_) + " to " +
                      std::to_string(skip_to - 1) + ": " + reason);
    next_ = skip_to;
    if (next_ >= size_) break;
  }
  return 0;
}
