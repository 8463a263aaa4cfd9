// Volume Shadow Copy stores through libyal's libvshadow, loaded with the
// libbfio it links when a run first asks for shadow copies.  libvshadow
// reads the volume through a libbfio handle of this program's, whose reads
// go to the volume's bytes (VolumeBytes: the image as The Sleuth Kit reads
// it, at the volume's offset); the handle has no way to write, and refuses
// to be opened for writing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <unordered_set>
#include <vector>

#include "image/shadow_copies.h"
#include "platform/dynamic_library.h"

namespace {

#ifndef BINSIFT_VSHADOW_LIBRARY
#define BINSIFT_VSHADOW_LIBRARY "libvshadow.so.1"
#endif
#ifndef BINSIFT_BFIO_LIBRARY
#define BINSIFT_BFIO_LIBRARY "libbfio.so.1"
#endif

// The libraries' handles and errors are opaque; their functions as they
// export them (libbfio 20170123 and libvshadow 20190323, as Debian ships
// them; libvshadow's handle is libbfio's).
using Error = void*;
struct VshadowLibrary {
  int (*bfio_handle_initialize)(
      void** handle, void* io_handle, int (*free_io_handle)(void** io_handle, Error* error),
      int (*clone_io_handle)(void** destination, void* source, Error* error),
      int (*open)(void* io_handle, int access_flags, Error* error),
      int (*close)(void* io_handle, Error* error),
      std::ptrdiff_t (*read)(void* io_handle, uint8_t* buffer, size_t size, Error* error),
      std::ptrdiff_t (*write)(void* io_handle, const uint8_t* buffer, size_t size, Error* error),
      int64_t (*seek_offset)(void* io_handle, int64_t offset, int whence, Error* error),
      int (*exists)(void* io_handle, Error* error), int (*is_open)(void* io_handle, Error* error),
      int (*get_size)(void* io_handle, uint64_t* size, Error* error), uint8_t flags,
      Error* error) = nullptr;
  int (*bfio_handle_free)(void** handle, Error* error) = nullptr;
  void (*bfio_error_free)(Error* error) = nullptr;
  int (*check_volume_signature)(void* file_io_handle, Error* error) = nullptr;
  int (*volume_initialize)(void** volume, Error* error) = nullptr;
  int (*volume_free)(void** volume, Error* error) = nullptr;
  int (*volume_open)(void* volume, void* file_io_handle, int access_flags, Error* error) = nullptr;
  int (*volume_close)(void* volume, Error* error) = nullptr;
  int (*volume_get_number_of_stores)(void* volume, int* count, Error* error) = nullptr;
  int (*volume_get_store)(void* volume, int index, void** store, Error* error) = nullptr;
  int (*store_free)(void** store, Error* error) = nullptr;
  int (*store_get_size)(void* store, uint64_t* size, Error* error) = nullptr;
  std::ptrdiff_t (*store_read_buffer_at_offset)(void* store, void* buffer, size_t size,
                                                int64_t offset, Error* error) = nullptr;
  int (*error_backtrace_sprint)(Error error, char* text, size_t size) = nullptr;
  void (*error_free)(Error* error) = nullptr;
  LibraryHandle bfio = nullptr;
  LibraryHandle vshadow = nullptr;
};

VshadowLibrary vss;
constexpr int kAccessRead = 0x01;
constexpr int kAccessWrite = 0x02;
// A store keeps the volume's blocks in pieces of this size: a region of
// the volume that cannot be read is told once per block.
constexpr uint64_t kStoreBlock = 0x4000;
// The region of a failure of the store's own structures, which fails every
// read of the store alike: told once.
constexpr uint64_t kStoreStructures = UINT64_MAX;

bool load_vshadow(std::string* reason) {
  if (vss.vshadow != nullptr) return true;
  std::string why;
  const LibraryHandle bfio = load_library(BINSIFT_BFIO_LIBRARY, &why);
  if (bfio == nullptr) {
    *reason = "libbfio cannot be loaded (" + (why.empty() ? BINSIFT_BFIO_LIBRARY : why) + ")";
    return false;
  }
  const LibraryHandle vshadow = load_library(BINSIFT_VSHADOW_LIBRARY, &why);
  if (vshadow == nullptr) {
    *reason = "libvshadow cannot be loaded (" + (why.empty() ? BINSIFT_VSHADOW_LIBRARY : why) + ")";
    unload_library(bfio);
    return false;
  }
  VshadowLibrary loaded;
  bool ok = true;
  auto find = [&](LibraryHandle library, auto* slot, const char* name) {
    *reinterpret_cast<void**>(slot) = library_symbol(library, name);
    if (*reinterpret_cast<void**>(slot) == nullptr) {
      if (ok) *reason = std::string(library == bfio ? "libbfio" : "libvshadow") + " lacks " + name;
      ok = false;
    }
  };
  find(bfio, &loaded.bfio_handle_initialize, "libbfio_handle_initialize");
  find(bfio, &loaded.bfio_handle_free, "libbfio_handle_free");
  find(bfio, &loaded.bfio_error_free, "libbfio_error_free");
  find(vshadow, &loaded.check_volume_signature, "libvshadow_check_volume_signature_file_io_handle");
  find(vshadow, &loaded.volume_initialize, "libvshadow_volume_initialize");
  find(vshadow, &loaded.volume_free, "libvshadow_volume_free");
  find(vshadow, &loaded.volume_open, "libvshadow_volume_open_file_io_handle");
  find(vshadow, &loaded.volume_close, "libvshadow_volume_close");
  find(vshadow, &loaded.volume_get_number_of_stores, "libvshadow_volume_get_number_of_stores");
  find(vshadow, &loaded.volume_get_store, "libvshadow_volume_get_store");
  find(vshadow, &loaded.store_free, "libvshadow_store_free");
  find(vshadow, &loaded.store_get_size, "libvshadow_store_get_size");
  find(vshadow, &loaded.store_read_buffer_at_offset, "libvshadow_store_read_buffer_at_offset");
  find(vshadow, &loaded.error_backtrace_sprint, "libvshadow_error_backtrace_sprint");
  find(vshadow, &loaded.error_free, "libvshadow_error_free");
  if (!ok) {
    unload_library(vshadow);
    unload_library(bfio);
    return false;
  }
  loaded.bfio = bfio;
  loaded.vshadow = vshadow;
  vss = loaded;
  return true;
}

// libvshadow's description of `error`: the first line of its backtrace,
// the failure that the others only pass on; the error freed.
std::string vshadow_reason(Error* error, const char* fallback) {
  std::string reason;
  if (*error != nullptr) {
    char text[4096] = {};
    if (vss.error_backtrace_sprint(*error, text, sizeof text) > 0) reason = text;
    vss.error_free(error);
  }
  reason = reason.substr(0, reason.find_first_of("\r\n"));
  for (char& c : reason) {
    if (c == '\t') c = ' ';
  }
  while (!reason.empty() && (reason.back() == ' ' || reason.back() == '.')) reason.pop_back();
  return reason.empty() ? fallback : reason;
}

// libvshadow follows the chains of its structures (catalog blocks, block
// lists, bitmaps) without looking for a loop: one that leads back to a
// block it read in the same call is followed this many times, then the
// call fails.
constexpr uint32_t kRepeatedReads = 256;

// The volume as libbfio's handle reads it: a position, the reason of the
// last read that failed (libbfio has no way to carry it), and the offsets
// read since the call into libvshadow began.
struct VolumeIo {
  VolumeBytes* bytes = nullptr;
  uint64_t position = 0;
  bool open = false;
  std::string failure;
  bool volume_failed = false;  // the failure is the volume's bytes', not a loop
  std::unordered_set<uint64_t> read;
  uint32_t repeated = 0;

  // Before each call into libvshadow.
  void begin_call() {
    failure.clear();
    volume_failed = false;
    read.clear();
    repeated = 0;
  }
};

VolumeIo* io_of(void* io_handle) { return static_cast<VolumeIo*>(io_handle); }

int io_open(void* io_handle, int access_flags, Error*) {
  // Read only: nothing may ever be written to the evidence.
  if ((access_flags & kAccessWrite) != 0 || (access_flags & kAccessRead) == 0) return -1;
  io_of(io_handle)->open = true;
  io_of(io_handle)->position = 0;
  return 1;
}

int io_close(void* io_handle, Error*) {
  io_of(io_handle)->open = false;
  return 0;
}

std::ptrdiff_t io_read(void* io_handle, uint8_t* buffer, size_t size, Error*) {
  VolumeIo* io = io_of(io_handle);
  const uint64_t end = io->bytes->size();
  if (!io->open) return -1;
  if (io->position >= end || size == 0) return 0;
  const size_t count = static_cast<size_t>(std::min<uint64_t>(size, end - io->position));
  if (!io->read.insert(io->position).second && ++io->repeated > kRepeatedReads) {
    io->failure = "its shadow-copy structures lead back to byte " + std::to_string(io->position) +
                  " of the volume again and again";
    return -1;
  }
  std::string reason;
  if (!io->bytes->read(io->position, buffer, count, &reason)) {
    io->failure = "the volume cannot be read at byte " + std::to_string(io->position) + " (" +
                  reason + ")";
    io->volume_failed = true;
    return -1;
  }
  io->position += count;
  return static_cast<std::ptrdiff_t>(count);
}

int64_t io_seek(void* io_handle, int64_t offset, int whence, Error*) {
  VolumeIo* io = io_of(io_handle);
  int64_t base = 0;
  switch (whence) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = static_cast<int64_t>(io->position); break;
    case SEEK_END: base = static_cast<int64_t>(io->bytes->size()); break;
    default: return -1;
  }
  if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset)) return -1;
  io->position = static_cast<uint64_t>(base + offset);
  return static_cast<int64_t>(io->position);
}

int io_exists(void*, Error*) { return 1; }
int io_is_open(void* io_handle, Error*) { return io_of(io_handle)->open ? 1 : 0; }

int io_get_size(void* io_handle, uint64_t* size, Error*) {
  *size = io_of(io_handle)->bytes->size();
  return 1;
}

class VshadowCopies;

// One store's bytes, read through libvshadow.
class VshadowStore final : public ImageReader {
 public:
  VshadowStore(void* store, uint64_t size, VolumeIo* io) : store_(store), size_(size), io_(io) {}
  ~VshadowStore() override {
    Error error = nullptr;
    vss.store_free(&store_, &error);
    if (error != nullptr) vss.error_free(&error);
  }

  uint64_t size() const override { return size_; }
  const std::vector<uint64_t>& told_regions() const override { return none_; }

  bool read(uint64_t offset, void* buffer, size_t size, ReadFailure* failure) override {
    if (offset > size_ || size > size_ - offset) {
      failure->region = size_;
      failure->reason = "the shadow copy ends at byte " + std::to_string(size_);
      return false;
    }
    io_->begin_call();
    Error error = nullptr;
    const std::ptrdiff_t got = vss.store_read_buffer_at_offset(
        store_, buffer, size, static_cast<int64_t>(offset), &error);
    if (got == static_cast<std::ptrdiff_t>(size)) return true;
    // The volume's own reason, when a read of it failed, says more than
    // what libvshadow makes of it.
    const std::string reason = vshadow_reason(&error, "libvshadow read less than asked");
    failure->reason = "read error at byte " + std::to_string(offset) + " of the shadow copy";
    failure->reason += io_->failure.empty() ? " (" + reason + ")" : ": " + io_->failure;
    failure->region = io_->volume_failed ? offset / kStoreBlock * kStoreBlock : kStoreStructures;
    return false;
  }

 private:
  void* store_;
  uint64_t size_;
  VolumeIo* io_;
  std::vector<uint64_t> none_;
};

class VshadowCopies final : public ShadowCopies {
 public:
  explicit VshadowCopies(VolumeBytes* bytes) { io_.bytes = bytes; }
  ~VshadowCopies() override {
    Error error = nullptr;
    if (volume_ != nullptr) {
      if (opened_) vss.volume_close(volume_, &error);
      if (error != nullptr) vss.error_free(&error);
      vss.volume_free(&volume_, &error);
      if (error != nullptr) vss.error_free(&error);
    }
    if (handle_ != nullptr) {
      vss.bfio_handle_free(&handle_, &error);
      if (error != nullptr) vss.bfio_error_free(&error);
    }
  }

  // Finds the stores; false with the reason when they cannot be read.
  bool open(std::string* reason) {
    Error error = nullptr;
    if (vss.bfio_handle_initialize(&handle_, &io_, nullptr, nullptr, io_open, io_close, io_read,
                                   nullptr, io_seek, io_exists, io_is_open, io_get_size, 0,
                                   &error) != 1) {
      *reason = "libbfio cannot make a handle";
      if (error != nullptr) vss.bfio_error_free(&error);
      return false;
    }
    // A volume without a shadow-copy header has no store (nor a reason
    // to load more of libvshadow's structures).
    io_.begin_call();
    const int signature = vss.check_volume_signature(handle_, &error);
    if (signature != 1) {
      if (signature == 0) return true;
      return failed(&error, "its shadow-copy header cannot be read", reason);
    }
    if (vss.volume_initialize(&volume_, &error) != 1)
      return failed(&error, "libvshadow cannot make a volume", reason);
    io_.begin_call();
    if (vss.volume_open(volume_, handle_, kAccessRead, &error) != 1)
      return failed(&error, "libvshadow cannot open the volume", reason);
    opened_ = true;
    int stores = 0;
    if (vss.volume_get_number_of_stores(volume_, &stores, &error) != 1 || stores < 0)
      return failed(&error, "libvshadow cannot count the stores", reason);
    count_ = static_cast<size_t>(stores);
    return true;
  }

  size_t count() const override { return count_; }

  std::unique_ptr<ImageReader> open_store(size_t index, std::string* reason) override {
    if (index >= count_) {
      *reason = "there is no store " + std::to_string(index + 1);
      return nullptr;
    }
    io_.begin_call();
    Error error = nullptr;
    void* store = nullptr;
    if (vss.volume_get_store(volume_, static_cast<int>(index), &store, &error) != 1) {
      failed(&error, "libvshadow cannot open the store", reason);
      return nullptr;
    }
    uint64_t size = 0;
    if (vss.store_get_size(store, &size, &error) != 1) {
      failed(&error, "libvshadow cannot tell the store's size", reason);
      vss.store_free(&store, &error);
      if (error != nullptr) vss.error_free(&error);
      return nullptr;
    }
    // libvshadow reads the store's block list at its first read: a store
    // whose first sector (the boot sector) cannot be read holds nothing
    // that can be read.
    char sector[512];
    if (size < sizeof sector ||
        vss.store_read_buffer_at_offset(store, sector, sizeof sector, 0, &error) !=
            static_cast<std::ptrdiff_t>(sizeof sector)) {
      if (size < sizeof sector) {
        *reason = "it holds " + std::to_string(size) + " bytes";
      } else {
        failed(&error, "libvshadow cannot read its first sector", reason);
      }
      vss.store_free(&store, &error);
      if (error != nullptr) vss.error_free(&error);
      return nullptr;
    }
    return std::make_unique<VshadowStore>(store, size, &io_);
  }

 private:
  // The reason of a failed call: the volume's own, when a read of it
  // failed, else libvshadow's; the error freed.
  bool failed(Error* error, const char* fallback, std::string* reason) {
    *reason = vshadow_reason(error, fallback);
    if (!io_.failure.empty()) *reason = io_.failure;
    return false;
  }

  VolumeIo io_;
  void* handle_ = nullptr;
  void* volume_ = nullptr;
  bool opened_ = false;
  size_t count_ = 0;
};

}  // namespace

std::unique_ptr<ShadowCopies> open_with_libvshadow(VolumeBytes* volume, std::string* error) {
  if (!load_vshadow(error)) return nullptr;
  auto copies = std::make_unique<VshadowCopies>(volume);
  if (!copies->open(error)) return nullptr;
  return copies;
}
