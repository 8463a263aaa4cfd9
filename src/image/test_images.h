// Evidence images for the unit tests, built from the real sample index
// files by tests/e2e/images.py the first time a test asks for one.  A test
// that cannot have its image here (no root, no FUSE, no tools, no samples)
// skips with the reason.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "image/evidence_image.h"
#include "platform/temp_dir_test.h"

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

inline std::string samples_dir() {
  const char* env = std::getenv("BINSIFT_SAMPLES");
  return env != nullptr ? env : std::string(BINSIFT_SOURCE_DIR) + "/../shared/samples";
}

inline std::string read_whole(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The file's size, modification time and a digest of its bytes, to show
// that reading it changed nothing.
struct FileState {
  explicit FileState(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    size = static_cast<uint64_t>(st.st_size);
    mtime_sec = st.st_mtim.tv_sec;
    mtime_nsec = st.st_mtim.tv_nsec;
    std::ifstream f(path, std::ios::binary);
    std::string chunk(1 << 20, '\0');
    while (f.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || f.gcount() > 0) {
      digest = digest * 1099511628211u ^
               std::hash<std::string_view>()(std::string_view(chunk.data(), f.gcount()));
    }
  }
  bool operator==(const FileState& o) const {
    return size == o.size && mtime_sec == o.mtime_sec && mtime_nsec == o.mtime_nsec &&
           digest == o.digest;
  }
  uint64_t size = 0, digest = 14695981039346656037u;
  int64_t mtime_sec = 0, mtime_nsec = 0;
};

// Builds the images once for all tests; each kind is built when first
// asked for.  An empty path means it cannot be built here (the reason is
// kept for the skip message).
class Images {
 public:
  static Images& get() {
    static Images images;  // its folder goes when the process ends
    return images;
  }
  // `broken` is set when the builder failed for another reason than this
  // machine lacking something (which is a fault of the test images).
  const std::string& path(const std::string& kind, std::string* why, bool* broken) {
    auto it = built_.find(kind);
    if (it == built_.end()) {
      const std::string out = tree_ / (kind == "e01"            ? std::string("image.E01")
                                       : kind == "e01-segments" ? std::string("segments.E01")
                                                                : kind + ".img");
      const std::string reason_file = tree_ / (kind + ".why");
      const std::string command = "python3 '" + std::string(BINSIFT_SOURCE_DIR) +
                                  "/tests/e2e/images.py' " + kind + " '" + out + "' > '" +
                                  reason_file + "' 2>&1";
      const int status = std::system(command.c_str());
      if (status == 0) {
        it = built_.emplace(kind, out).first;
      } else {
        reasons_[kind] = read_whole(reason_file);
        // images.py ends with 77 when this machine cannot build the image.
        if (!(WIFEXITED(status) && WEXITSTATUS(status) == 77)) broken_.insert(kind);
        it = built_.emplace(kind, std::string()).first;
      }
    }
    *why = reasons_[kind];
    *broken = broken_.count(kind) != 0;
    return it->second;
  }

 private:
  TempDir tree_;
  std::map<std::string, std::string> built_, reasons_;
  std::set<std::string> broken_;
};

// What an image tells while it is read, kept for the test to look at.
struct RecordedMessages : ImageMessages {
  std::vector<std::string> problems, notes;
  void problem(const std::string& text) override { problems.push_back(text); }
  void note(const std::string& text) override { notes.push_back(text); }
};

// An open image and the one volume of it open at a time.
struct OpenedImage {
  RecordedMessages messages;
  std::unique_ptr<EvidenceImage> image;
  std::unique_ptr<ImageVolume> volume;  // closed before the image goes

  // Opens volume `index`, closing the one open before; null when there is
  // none there.
  ImageVolume* open(size_t index) {
    volume.reset();
    volume = image->open_volume(index);
    return volume.get();
  }
  // The first volume there is.
  ImageVolume* first() {
    for (size_t i = 0; i < image->volume_count(); ++i) {
      if (open(i) != nullptr) return volume.get();
    }
    return nullptr;
  }
  // The names of every volume, each opened and closed in turn.
  std::vector<std::string> volume_names() {
    std::vector<std::string> names;
    for (size_t i = 0; i < image->volume_count(); ++i) {
      if (open(i) != nullptr) names.push_back(volume->name());
    }
    volume.reset();
    return names;
  }
};

inline std::unique_ptr<OpenedImage> open_image_at(const std::string& path, std::string* error) {
  auto opened = std::make_unique<OpenedImage>();
  opened->image = EvidenceImage::open(path.c_str(), &opened->messages, error);
  if (!opened->image) return nullptr;
  return opened;
}

#define NEED_IMAGE(var, kind)                                                    \
  if (!kImageSupport) GTEST_SKIP() << "this build reads no images";              \
  std::string why_##var;                                                         \
  bool broken_##var = false;                                                     \
  const std::string var = Images::get().path(kind, &why_##var, &broken_##var);   \
  if (broken_##var) FAIL() << "building the " kind " image failed: " << why_##var; \
  if (var.empty()) GTEST_SKIP() << "cannot build the " kind " image: " << why_##var

