// The table of image backends.  A backend reads images of every kind it
// knows (The Sleuth Kit: raw, split raw, EWF, VMDK, VHD and AFF images,
// NTFS, FAT, exFAT and ext file systems); another is a row beside it.  A
// build without any reads no images.
#include "image/evidence_image.h"

#ifdef BINSIFT_HAVE_TSK
// The Sleuth Kit (tsk_image.cc), and the files of an image's set
// (image_set.cc).
std::unique_ptr<EvidenceImage> open_with_tsk(const char* path, ImageMessages* messages,
                                             std::string* error);
std::vector<std::string> image_set_files(const char* path);
#endif

namespace {

constexpr ImageBackend kImageBackends[] = {
#ifdef BINSIFT_HAVE_TSK
    {"The Sleuth Kit", open_with_tsk, image_set_files},
#endif
    {nullptr, nullptr, nullptr},  // ends the table
};
constexpr size_t kBackendCount = sizeof kImageBackends / sizeof kImageBackends[0] - 1;

}  // namespace

const bool kImageSupport = kBackendCount > 0;
const char kImageUnsupportedMessage[] = "Evidence images are not supported by this build";

std::span<const ImageBackend> image_backends() { return {kImageBackends, kBackendCount}; }

std::unique_ptr<EvidenceImage> EvidenceImage::open(const char* path, ImageMessages* messages,
                                                   std::string* error) {
  std::string first_error;
  for (const ImageBackend& backend : image_backends()) {
    std::unique_ptr<EvidenceImage> image = backend.open(path, messages, error);
    if (image) return image;
    if (first_error.empty()) first_error = *error;
  }
  *error = kImageSupport ? first_error : kImageUnsupportedMessage;
  return nullptr;
}

std::vector<std::string> evidence_files(const char* path) {
  if (image_backends().empty()) return {path};
  return image_backends().front().evidence_files(path);
}
