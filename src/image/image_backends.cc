// The table of image backends.  A backend reads images of every kind it
// knows (The Sleuth Kit: raw, split raw, EWF, VMDK, VHD and AFF images,
// NTFS, FAT, exFAT and ext file systems); another is a row beside it.  A
// build without any reads no images.  Beside it, the table of the readers
// of the shadow-copy stores that an image's NTFS volumes keep.
#include "image/evidence_image.h"
#include "image/shadow_copies.h"

#ifdef BINSIFT_HAVE_TSK
// The Sleuth Kit (tsk_image.cc), and the files of an image's set
// (image_set.cc).
std::unique_ptr<EvidenceImage> open_with_tsk(const char* path, ImageMessages* messages,
                                             std::string* error);
std::vector<std::string> image_set_files(const char* path);
// Shadow-copy stores through libvshadow (vshadow_reader.cc).
std::unique_ptr<ShadowCopies> open_with_libvshadow(VolumeBytes* volume, std::string* error);
#endif

namespace {

constexpr ImageBackend kImageBackends[] = {
#ifdef BINSIFT_HAVE_TSK
    {"The Sleuth Kit", open_with_tsk, image_set_files},
#endif
    {nullptr, nullptr, nullptr},  // ends the table
};
constexpr size_t kBackendCount = sizeof kImageBackends / sizeof kImageBackends[0] - 1;

// The readers of shadow-copy stores; the stores are volumes of an image,
// so a build that reads no image has none.
constexpr ShadowCopyReader kShadowCopyReaders[] = {
#ifdef BINSIFT_HAVE_TSK
    {"libvshadow", open_with_libvshadow},
#endif
    {nullptr, nullptr},  // ends the table
};
constexpr size_t kShadowReaderCount =
    sizeof kShadowCopyReaders / sizeof kShadowCopyReaders[0] - 1;

}  // namespace

const bool kImageSupport = kBackendCount > 0;
const char kImageUnsupportedMessage[] = "Evidence images are not supported by this build";

const bool kShadowCopySupport = kShadowReaderCount > 0;
const char kShadowCopyUnsupportedMessage[] = "Shadow copies are not supported by this build";

std::span<const ImageBackend> image_backends() { return {kImageBackends, kBackendCount}; }

std::span<const ShadowCopyReader> shadow_copy_readers() {
  return {kShadowCopyReaders, kShadowReaderCount};
}

std::unique_ptr<ShadowCopies> open_shadow_copies(VolumeBytes* volume, std::string* error) {
  if (shadow_copy_readers().empty()) {
    *error = kShadowCopyUnsupportedMessage;
    return nullptr;
  }
  return shadow_copy_readers().front().open(volume, error);
}

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
