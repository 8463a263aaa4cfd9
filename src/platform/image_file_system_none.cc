// Builds without The Sleuth Kit read no evidence images.
#include "platform/image_file_system.h"

const bool kImageSupport = false;
const char kImageUnsupportedMessage[] = "Evidence images are not supported by this build";

std::unique_ptr<EvidenceImage> EvidenceImage::open(const char*, ImageMessages*, std::string* error) {
  *error = kImageUnsupportedMessage;
  return nullptr;
}

std::vector<std::string> evidence_files(const char* path) { return {path}; }
