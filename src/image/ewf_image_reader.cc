// EWF sets (E01, S01, L01, Ex01) through libewf, loaded when the first one
// is opened.  libewf hands out the bytes of a chunk that fails its checksum
// as if they were good, and zeros for chunks of segments it was not given;
// this reader knows both and refuses them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "image/image_reader.h"
#include "platform/dynamic_library.h"
#include "platform/image_files.h"

namespace {

#ifndef BINSIFT_EWF_LIBRARY
#define BINSIFT_EWF_LIBRARY "libewf.so.2"
#endif

// libewf's handles and errors are opaque; its functions as it exports them.
struct EwfLibrary {
  int (*handle_initialize)(void** handle, void** error) = nullptr;
  int (*handle_open)(void* handle, char* const names[], int count, int flags,
                     void** error) = nullptr;
  int (*handle_close)(void* handle, void** error) = nullptr;
  int (*handle_free)(void** handle, void** error) = nullptr;
  std::ptrdiff_t (*handle_read_random)(void* handle, void* buffer, size_t size, int64_t offset,
                                void** error) = nullptr;
  int (*handle_get_media_size)(void* handle, uint64_t* size, void** error) = nullptr;
  int (*handle_get_bytes_per_sector)(void* handle, uint32_t* bytes, void** error) = nullptr;
  int (*handle_get_number_of_checksum_errors)(void* handle, uint32_t* count,
                                              void** error) = nullptr;
  int (*handle_get_checksum_error)(void* handle, uint32_t index, uint64_t* start,
                                   uint64_t* count, void** error) = nullptr;
  int (*error_sprint)(void* error, char* text, size_t size) = nullptr;
  void (*error_free)(void** error) = nullptr;
  void* handle = nullptr;
};

EwfLibrary ewf;
constexpr int kOpenRead = 1;

bool load_ewf(std::string* reason) {
  if (ewf.handle != nullptr) return true;
  std::string why;
  const LibraryHandle handle = load_library(BINSIFT_EWF_LIBRARY, &why);
  if (handle == nullptr) {
    *reason = "libewf cannot be loaded (" + why + ")";
    return false;
  }
  EwfLibrary loaded;
  bool ok = true;
  auto find = [&](auto* slot, const char* name) {
    *reinterpret_cast<void**>(slot) = library_symbol(handle, name);
    if (*reinterpret_cast<void**>(slot) == nullptr) {
      if (ok) *reason = std::string("libewf lacks ") + name;
      ok = false;
    }
  };
  find(&loaded.handle_initialize, "libewf_handle_initialize");
  find(&loaded.handle_open, "libewf_handle_open");
  find(&loaded.handle_close, "libewf_handle_close");
  find(&loaded.handle_free, "libewf_handle_free");
  find(&loaded.handle_read_random, "libewf_handle_read_random");
  find(&loaded.handle_get_media_size, "libewf_handle_get_media_size");
  find(&loaded.handle_get_bytes_per_sector, "libewf_handle_get_bytes_per_sector");
  find(&loaded.handle_get_number_of_checksum_errors, "libewf_handle_get_number_of_checksum_errors");
  find(&loaded.handle_get_checksum_error, "libewf_handle_get_checksum_error");
  find(&loaded.error_sprint, "libewf_error_sprint");
  find(&loaded.error_free, "libewf_error_free");
  if (!ok) {
    unload_library(handle);
    return false;
  }
  loaded.handle = handle;
  ewf = loaded;
  return true;
}

// libewf's description of `error`, on one line, and the error freed.
std::string ewf_reason(void** error, const char* fallback) {
  std::string reason = fallback;
  if (*error != nullptr) {
    char text[1024] = {};
    if (ewf.error_sprint(*error, text, sizeof text) > 0 && text[0] != '\0') reason = text;
    ewf.error_free(error);
  }
  for (char& c : reason) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  while (!reason.empty() && reason.back() == ' ') reason.pop_back();
  return reason;
}

class EwfImageReader final : public ImageReader {
 public:
  ~EwfImageReader() override {
    if (handle_ != nullptr) {
      void* error = nullptr;
      ewf.handle_close(handle_, &error);
      if (error != nullptr) ewf.error_free(&error);
      ewf.handle_free(&handle_, &error);
      if (error != nullptr) ewf.error_free(&error);
    }
    for (FileHandle fd : fds_) close_file(fd);
  }

  uint64_t size() const override { return media_size_; }
  const std::vector<uint64_t>& told_regions() const override { return told_; }

  bool read(uint64_t offset, void* buffer, size_t size, ReadFailure* failure) override {
    if (offset + size > readable_) {
      failure->region = readable_;
      failure->reason = unreadable_reason_;
      return false;
    }
    void* error = nullptr;
    const std::ptrdiff_t got =
        ewf.handle_read_random(handle_, buffer, size, static_cast<int64_t>(offset), &error);
    if (got != static_cast<std::ptrdiff_t>(size)) {
      failure->region = offset - offset % chunk_size_;
      failure->reason = "read error at byte " + std::to_string(offset) + " (" +
                        ewf_reason(&error, "libewf read fewer bytes than asked") + ")";
      return false;
    }
    note_checksum_errors();
    for (const Bad& bad : bad_) {
      if (offset < bad.end && bad.start < offset + size) {
        failure->region = bad.start;
        failure->reason = "chunk at offset " + std::to_string(bad.start) + " fails its checksum";
        return false;
      }
    }
    return true;
  }

  void* handle_ = nullptr;
  std::vector<FileHandle> fds_;
  uint64_t media_size_ = 0;
  uint64_t readable_ = 0;  // bytes from the start that the segments given hold
  std::string unreadable_reason_;
  uint64_t chunk_size_ = 32768;
  uint32_t bytes_per_sector_ = 512;
  std::vector<uint64_t> told_;

 private:
  struct Bad {
    uint64_t start, end;
  };

  // The chunks libewf found failing their checksums since the last look.
  void note_checksum_errors() {
    void* error = nullptr;
    uint32_t count = 0;
    if (ewf.handle_get_number_of_checksum_errors(handle_, &count, &error) != 1) {
      if (error != nullptr) ewf.error_free(&error);
      return;
    }
    for (; known_errors_ < count; ++known_errors_) {
      uint64_t start = 0, sectors = 0;
      if (ewf.handle_get_checksum_error(handle_, known_errors_, &start, &sectors, &error) != 1) {
        if (error != nullptr) ewf.error_free(&error);
        continue;
      }
      bad_.push_back({start * bytes_per_sector_, (start + sectors) * bytes_per_sector_});
    }
  }

  uint32_t known_errors_ = 0;
  std::vector<Bad> bad_;
};

}  // namespace

std::unique_ptr<ImageReader> open_ewf_reader(const ImageSet& set, std::string* error) {
  if (!load_ewf(error)) return nullptr;
  auto reader = std::make_unique<EwfImageReader>();
  // The segments libewf is given, by descriptors this program opened and
  // checked, so that nothing else can be opened in their place.
  std::vector<std::string> names;
  int expected = 1;
  std::string first_lost;  // the first segment not given, and why
  for (const ImageSetFile& file : set.files) {
    if (file.segment != expected) continue;
    const bool headers_read =
        !set.ewf_checked || static_cast<size_t>(expected) <= set.ewf.size();
    if (!file.present || !file.usable || !headers_read) {
      first_lost = "segment " + file.path +
                   (!file.present ? " is missing"
                    : !file.usable ? " is not a regular file"
                                   : " is damaged");
      break;
    }
    uint64_t size = 0;
    std::string reason;
    const FileHandle fd = open_image_file(file.path, &size, &reason);
    if (fd == kInvalidHandle) {
      first_lost = "segment " + file.path + " cannot be opened (" + reason + ")";
      break;
    }
    reader->fds_.push_back(fd);
    names.push_back(reopen_name(fd));
    ++expected;
  }
  if (names.empty()) {
    *error = first_lost.empty() ? "no segment of it can be opened" : first_lost;
    return nullptr;
  }
  // A set that ends with a missing segment says so in its last header.
  if (first_lost.empty() && set.ewf_checked && !set.ewf.empty() && set.ewf.back().more) {
    for (const ImageSetFile& file : set.files) {
      if (file.segment == expected) first_lost = "segment " + file.path + " is missing";
    }
  }
  std::vector<char*> pointers;
  for (std::string& name : names) pointers.push_back(name.data());
  void* lib_error = nullptr;
  if (ewf.handle_initialize(&reader->handle_, &lib_error) != 1) {
    *error = ewf_reason(&lib_error, "libewf cannot make a handle");
    reader->handle_ = nullptr;
    return nullptr;
  }
  if (ewf.handle_open(reader->handle_, pointers.data(), static_cast<int>(pointers.size()),
                      kOpenRead, &lib_error) != 1) {
    *error = ewf_reason(&lib_error, "libewf cannot open it");
    void* free_error = nullptr;
    ewf.handle_free(&reader->handle_, &free_error);
    if (free_error != nullptr) ewf.error_free(&free_error);
    reader->handle_ = nullptr;
    return nullptr;
  }
  if (ewf.handle_get_media_size(reader->handle_, &reader->media_size_, &lib_error) != 1) {
    *error = ewf_reason(&lib_error, "libewf cannot tell its size");
    return nullptr;
  }
  if (ewf.handle_get_bytes_per_sector(reader->handle_, &reader->bytes_per_sector_, &lib_error) !=
          1 ||
      reader->bytes_per_sector_ == 0) {
    if (lib_error != nullptr) ewf.error_free(&lib_error);
    reader->bytes_per_sector_ = 512;
  }
  reader->readable_ = reader->media_size_;
  if (!first_lost.empty() && set.ewf_checked && !set.ewf.empty()) {
    // Only the chunks of the segments given can be read.
    const EwfSegment& head = set.ewf.front();
    const uint64_t chunk = head.sectors_per_chunk * head.bytes_per_sector;
    uint64_t chunks = 0;
    for (size_t i = 0; i < names.size() && i < set.ewf.size(); ++i) chunks += set.ewf[i].chunks;
    if (chunk != 0) reader->chunk_size_ = chunk;
    reader->readable_ = std::min(reader->media_size_, chunk * chunks);
    reader->unreadable_reason_ = first_lost;
    reader->told_.push_back(reader->readable_);
  } else if (!first_lost.empty()) {
    reader->unreadable_reason_ = first_lost;
  }
  return reader;
}
