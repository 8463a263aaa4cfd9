// EWF sets (E01, S01, L01, Ex01) through libewf, loaded when the first one
// is opened.  libewf hands out the bytes of a chunk that fails its checksum
// as if they were good, and zeros for chunks of segments it was not given;
// this reader knows both and refuses them.
#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "image/image_reader.h"
#include "platform/dynamic_library.h"
#include "platform/image_files.h"
#include "platform/platform.h"

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
  int (*handle_get_chunk_size)(void* handle, uint32_t* size, void** error) = nullptr;
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
  find(&loaded.handle_get_chunk_size, "libewf_handle_get_chunk_size");
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

// Decoded chunks kept by the reader.  libewf inflates every chunk a read
// touches and keeps only a few, while The Sleuth Kit reads blocks that start
// at any sector (two or three chunks each) and comes back to the same
// metadata: without these, most chunks would be inflated again and again.
class ChunkCache {
 public:
  static constexpr size_t kWays = 8;

  // Room for `bytes` of chunks of `chunk_size` bytes; none when a chunk is
  // larger than that or than 4 MiB.
  void configure(uint64_t chunk_size, size_t bytes) {
    chunk_size_ = chunk_size;
    sets_ = 0;
    if (chunk_size == 0 || chunk_size > (4u << 20) || chunk_size * kWays > bytes) return;
    sets_ = static_cast<size_t>(bytes / (chunk_size * kWays));
    slots_.assign(sets_ * kWays, Slot{});
  }
  bool enabled() const { return sets_ != 0; }
  uint64_t chunk_size() const { return chunk_size_; }

  // The bytes of chunk `chunk` when kept, else null.
  const uint8_t* find(uint64_t chunk, size_t* length) {
    Slot* set = &slots_[static_cast<size_t>(chunk % sets_) * kWays];
    for (size_t w = 0; w < kWays; ++w) {
      if (set[w].chunk == chunk && set[w].length != 0) {
        set[w].used = ++clock_;
        *length = set[w].length;
        return data_.get() + set[w].offset;
      }
    }
    return nullptr;
  }
  // The place for chunk `chunk`, in its set's least recently used slot; the
  // chunk counts as kept once commit() says how long it is.
  uint8_t* place(uint64_t chunk) {
    if (!data_) data_.reset(new uint8_t[slots_.size() * chunk_size_]);  // touched as used
    Slot* set = &slots_[static_cast<size_t>(chunk % sets_) * kWays];
    size_t victim = 0;
    for (size_t w = 1; w < kWays; ++w) {
      if (set[w].used < set[victim].used) victim = w;
    }
    Slot& slot = set[victim];
    slot.chunk = chunk;
    slot.length = 0;
    slot.offset = static_cast<size_t>(&slot - slots_.data()) * chunk_size_;
    pending_ = &slot;
    return data_.get() + slot.offset;
  }
  void commit(size_t length) {
    pending_->length = length;
    pending_->used = ++clock_;
  }

 private:
  struct Slot {
    uint64_t chunk = 0;
    uint64_t used = 0;
    size_t offset = 0;
    size_t length = 0;  // 0: empty
  };
  uint64_t chunk_size_ = 0;
  size_t sets_ = 0;
  std::vector<Slot> slots_;
  std::unique_ptr<uint8_t[]> data_;
  Slot* pending_ = nullptr;
  uint64_t clock_ = 0;
};

// Inflates chunks ahead of a reader that goes through the image in order,
// on a libewf handle and a thread of its own, so that the two cores inflate
// in parallel: after each chunk the reader inflated itself, the helper takes
// every other chunk of the next 2 * kSlots.  The reader takes a chunk the
// helper has inflated whole and that passed its checksum; any other chunk it
// reads itself, so that every failure is found and told by its own handle.
class ChunksAhead {
 public:
  static constexpr size_t kSlots = 16;

  // `names` the segments to open; chunks of `chunk_size` bytes (libewf
  // tells failures in sectors of `bytes_per_sector`), those that
  // end past `readable` never read (nor the media's end, `media_size`).
  ChunksAhead(std::vector<std::string> names, uint64_t chunk_size, uint32_t bytes_per_sector,
              uint64_t media_size, uint64_t readable)
      : names_(std::move(names)),
        chunk_size_(chunk_size),
        bytes_per_sector_(bytes_per_sector),
        media_size_(media_size),
        readable_(readable),
        data_(new uint8_t[kSlots * chunk_size]) {
    thread_ = std::thread([this] { run(); });
  }
  ~ChunksAhead() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  ChunksAhead(const ChunksAhead&) = delete;
  ChunksAhead& operator=(const ChunksAhead&) = delete;

  // Copies chunk `chunk` to `out` (room for a chunk) when the helper has it
  // or is inflating it (then waits for it); false when the reader must read
  // it itself.
  bool take(uint64_t chunk, uint8_t* out, size_t* length) {
    std::unique_lock<std::mutex> lock(mutex_);
    Slot* slot = nullptr;
    for (Slot& s : slots_) {
      if (s.state != kFree && s.chunk == chunk) slot = &s;
    }
    if (slot == nullptr) return false;
    // Once done, the slot may be given to another chunk before this wakes.
    done_.wait(lock, [slot, chunk] { return slot->chunk != chunk || slot->state != kBusy; });
    if (slot->chunk != chunk || slot->state == kFree) return false;
    const bool ready = slot->state == kReady;
    if (ready) {
      std::memcpy(out, data_.get() + (slot - slots_) * chunk_size_, slot->length);
      *length = slot->length;
      taken_ = std::max(taken_, chunk);
    }
    slot->state = kFree;
    lock.unlock();
    wake_.notify_all();
    return ready;
  }
  // The reader read chunk `chunk` itself and goes on in order.
  void follow(uint64_t chunk) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      base_ = chunk;
      taken_ = chunk;
      active_ = true;
    }
    wake_.notify_all();
  }
  // The reader went elsewhere: nothing more ahead until it follows again.
  void pause() {
    std::lock_guard<std::mutex> lock(mutex_);
    active_ = false;
  }

 private:
  enum State { kFree, kBusy, kReady, kFailed };
  struct Slot {
    uint64_t chunk = 0;
    size_t length = 0;
    State state = kFree;
  };

  // The length of chunk `chunk`, 0 when it cannot be read whole.
  size_t chunk_length(uint64_t chunk) const {
    const uint64_t start = chunk * chunk_size_;
    if (start >= media_size_) return 0;
    const uint64_t length = std::min(chunk_size_, media_size_ - start);
    return start + length > readable_ ? 0 : static_cast<size_t>(length);
  }

  // The next chunk to inflate and the slot for it; false when there is
  // none.  A slot is free, or holds a chunk the reader has gone past or
  // that lies beyond the window.
  bool next_job(uint64_t* chunk, Slot** slot) {
    if (!active_ || broken_) return false;
    const uint64_t last = base_ + 2 * kSlots;
    for (size_t i = 0; i < kSlots; ++i) {
      const uint64_t want = base_ + 1 + 2 * i;
      if (chunk_length(want) == 0) return false;
      if (want <= taken_) continue;
      bool have = false;
      for (const Slot& s : slots_) have = have || (s.state != kFree && s.chunk == want);
      if (have) continue;
      for (Slot& s : slots_) {
        if (s.state == kFree ||
            (s.state != kBusy && (s.chunk <= taken_ || s.chunk > last))) {
          *chunk = want;
          *slot = &s;
          return true;
        }
      }
      return false;
    }
    return false;
  }

  void run() {
    take_no_signals_on_this_thread();  // interrupts are the main thread's
    void* handle = nullptr;
    void* error = nullptr;
    std::vector<char*> pointers;
    for (std::string& name : names_) pointers.push_back(name.data());
    bool opened = false;
    if (ewf.handle_initialize(&handle, &error) == 1) {
      opened = ewf.handle_open(handle, pointers.data(), static_cast<int>(pointers.size()),
                               kOpenRead, &error) == 1;
    }
    if (error != nullptr) ewf.error_free(&error);
    std::unique_lock<std::mutex> lock(mutex_);
    broken_ = !opened;
    while (!stop_) {
      uint64_t chunk = 0;
      Slot* slot = nullptr;
      if (!next_job(&chunk, &slot)) {
        wake_.wait(lock);
        continue;
      }
      const size_t length = chunk_length(chunk);
      *slot = Slot{chunk, length, kBusy};
      uint8_t* out = data_.get() + (slot - slots_) * chunk_size_;
      lock.unlock();
      const bool ok = read_chunk(handle, chunk, out, length);
      lock.lock();
      slot->state = ok ? kReady : kFailed;
      done_.notify_all();
    }
    lock.unlock();
    if (handle != nullptr) {
      if (opened) ewf.handle_close(handle, &error);
      if (error != nullptr) ewf.error_free(&error);
      ewf.handle_free(&handle, &error);
      if (error != nullptr) ewf.error_free(&error);
    }
  }

  // Inflates a chunk whole; false when it fails or fails its checksum
  // (libewf's list of failures, in which neighbours are joined, covers it).
  bool read_chunk(void* handle, uint64_t chunk, uint8_t* out, size_t length) {
    void* error = nullptr;
    const uint64_t start = chunk * chunk_size_;
    uint32_t count = 0;
    if (ewf.handle_read_random(handle, out, length, static_cast<int64_t>(start), &error) !=
            static_cast<std::ptrdiff_t>(length) ||
        ewf.handle_get_number_of_checksum_errors(handle, &count, &error) != 1) {
      if (error != nullptr) ewf.error_free(&error);
      return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
      uint64_t first = 0, sectors = 0;
      if (ewf.handle_get_checksum_error(handle, i, &first, &sectors, &error) != 1) {
        if (error != nullptr) ewf.error_free(&error);
        return false;
      }
      if (first * bytes_per_sector_ < start + length &&
          start < (first + sectors) * bytes_per_sector_)
        return false;
    }
    return true;
  }

  std::vector<std::string> names_;
  const uint64_t chunk_size_;
  const uint64_t bytes_per_sector_;
  const uint64_t media_size_;
  const uint64_t readable_;
  std::unique_ptr<uint8_t[]> data_;
  std::mutex mutex_;
  std::condition_variable wake_;  // for the helper: work, or stop
  std::condition_variable done_;  // for the reader: a chunk done
  Slot slots_[kSlots];
  uint64_t base_ = 0;   // the chunk the reader last read itself
  uint64_t taken_ = 0;  // the furthest chunk it read or took since
  bool active_ = false;
  bool broken_ = false;  // the helper's handle cannot be opened
  bool stop_ = false;
  std::thread thread_;  // last: started once the rest is set
};

class EwfImageReader final : public ImageReader {
 public:
  ~EwfImageReader() override {
    ahead_.reset();
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
    if (!(cache_.enabled() && read_through_cache(offset, static_cast<uint8_t*>(buffer), size))) {
      // Read as asked, so that a read that fails is told as it was asked.
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
    }
    for (const Bad& bad : bad_) {
      if (offset < bad.end && bad.start < offset + size) {
        failure->region = bad.start;
        failure->reason = "chunk at offset " + std::to_string(bad.start) + " fails its checksum";
        return false;
      }
    }
    return true;
  }

  // Keeps up to `bytes` of decoded chunks.
  void keep_chunks(size_t bytes) {
    void* error = nullptr;
    uint32_t size = 0;
    if (ewf.handle_get_chunk_size(handle_, &size, &error) != 1) {
      if (error != nullptr) ewf.error_free(&error);
      size = 0;
    }
    cache_.configure(size, bytes);
  }

  void* handle_ = nullptr;
  std::vector<FileHandle> fds_;
  std::vector<std::string> names_;  // the segments as libewf opened them
  bool read_ahead_ = true;  // a helper inflates ahead of reads in order
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

  // The chunks libewf found failing their checksums so far.  Its list is
  // kept in order of offset, with neighbours joined, so a new failure may
  // come before those known or widen one: it is read whole each time.
  void note_checksum_errors() {
    void* error = nullptr;
    uint32_t count = 0;
    if (ewf.handle_get_number_of_checksum_errors(handle_, &count, &error) != 1) {
      if (error != nullptr) ewf.error_free(&error);
      return;
    }
    if (count == 0) return;
    std::vector<Bad> found;
    for (uint32_t i = 0; i < count; ++i) {
      uint64_t start = 0, sectors = 0;
      if (ewf.handle_get_checksum_error(handle_, i, &start, &sectors, &error) != 1) {
        if (error != nullptr) ewf.error_free(&error);
        continue;
      }
      found.push_back({start * bytes_per_sector_, (start + sectors) * bytes_per_sector_});
    }
    // Failures once known stay refused, whatever the list says now.
    for (const Bad& bad : bad_) {
      bool kept = false;
      for (const Bad& now : found) kept = kept || (now.start <= bad.start && bad.end <= now.end);
      if (!kept) found.push_back(bad);
    }
    bad_ = std::move(found);
  }

  // The bytes asked for, from whole chunks read and kept; false, with
  // nothing told, when a chunk cannot be read whole (past the bytes the
  // segments hold, or failing).  A chunk that fails its checksum is kept
  // like any other: the failures noted while it was read refuse its bytes.
  bool read_through_cache(uint64_t offset, uint8_t* out, size_t size) {
    const uint64_t chunk_size = cache_.chunk_size();
    while (size > 0) {
      const uint64_t chunk = offset / chunk_size;
      const uint64_t start = chunk * chunk_size;
      size_t length = 0;
      const uint8_t* bytes = cache_.find(chunk, &length);
      if (bytes == nullptr) {
        length = static_cast<size_t>(std::min<uint64_t>(chunk_size, media_size_ - start));
        if (start + length > readable_) return false;
        uint8_t* place = cache_.place(chunk);
        size_t taken = 0;
        if (ahead_ != nullptr && ahead_->take(chunk, place, &taken) && taken == length) {
          cache_.commit(length);
        } else {
          void* error = nullptr;
          if (ewf.handle_read_random(handle_, place, length, static_cast<int64_t>(start),
                                     &error) != static_cast<std::ptrdiff_t>(length)) {
            if (error != nullptr) ewf.error_free(&error);
            return false;
          }
          cache_.commit(length);
          note_checksum_errors();
          read_in_order(chunk);
        }
        bytes = place;
      }
      const size_t skip = static_cast<size_t>(offset - start);
      if (skip >= length) return false;
      const size_t take = std::min(size, length - skip);
      std::memcpy(out, bytes + skip, take);
      out += take;
      offset += take;
      size -= take;
    }
    return true;
  }

  // After the reader inflated chunk `chunk` itself: a helper inflates
  // ahead while it goes on in order (the next chunk or the one after that,
  // which the helper leaves to it), started when that is first seen.
  void read_in_order(uint64_t chunk) {
    const bool in_order = last_read_ != kNone && chunk > last_read_ && chunk - last_read_ <= 2;
    last_read_ = chunk;
    if (!read_ahead_) return;
    if (!in_order) {
      if (ahead_ != nullptr) ahead_->pause();
      return;
    }
    if (ahead_ == nullptr) {
      try {
        ahead_ = std::make_unique<ChunksAhead>(names_, cache_.chunk_size(), bytes_per_sector_,
                                               media_size_, readable_);
      } catch (const std::system_error&) {  // no thread to be had: read alone
        read_ahead_ = false;
        return;
      }
    }
    ahead_->follow(chunk);
  }

  static constexpr uint64_t kNone = ~uint64_t{0};
  std::vector<Bad> bad_;
  ChunkCache cache_;
  uint64_t last_read_ = kNone;
  std::unique_ptr<ChunksAhead> ahead_;
};

}  // namespace

std::unique_ptr<ImageReader> open_ewf_reader(const ImageSet& set, std::string* error) {
  return open_ewf_reader(set, error, kEwfChunkCacheBytes, true);
}

std::unique_ptr<ImageReader> open_ewf_reader(const ImageSet& set, std::string* error,
                                             size_t chunk_cache_bytes, bool read_ahead) {
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
  reader->names_ = names;
  reader->read_ahead_ = read_ahead;
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
  reader->keep_chunks(chunk_cache_bytes);
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
