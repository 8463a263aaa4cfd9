#include "driver/image_run.h"

#include <memory>

std::string volume_directory(const std::string& path) {
  std::string out;
  out.reserve(path.size() + 2);
  if (path.empty() || path.front() != '/') out.push_back('/');
  out += path;
  if (out.back() != '/') out.push_back('/');
  return out;
}

namespace {

class CarveToHooks final : public CarvedFileVisitor {
 public:
  CarveToHooks(ImageVolume* volume, ImageRunHooks* hooks) : volume_(volume), hooks_(hooks) {}
  bool visit(const CarvedIndexFile& file) override {
    hooks_->decode_carved(volume_, file);
    return true;
  }

 private:
  ImageVolume* volume_;
  ImageRunHooks* hooks_;
};

}  // namespace

ImageRunResult run_image(const std::string& image_path, const std::vector<std::string>& paths,
                         bool carve, ImageRunHooks* hooks) {
  ImageRunResult result;
  std::string error;
  std::unique_ptr<EvidenceImage> image = EvidenceImage::open(image_path.c_str(), &error);
  if (!image) {
    hooks->message(error);
    result.incomplete = true;
    return result;
  }
  for (const std::string& volume_error : image->volume_errors()) {
    hooks->message(volume_error);
    result.incomplete = true;
  }
  const size_t volumes = image->volume_count();
  if (volumes > 0) {
    result.any_volume = true;
    result.first_kind = image->volume(0)->kind();
  }

  std::vector<bool> path_found(paths.size(), false);
  bool any_bin = false;
  std::vector<std::string> bins;
  for (size_t v = 0; v < volumes; ++v) {
    ImageVolume* volume = image->volume(v);
    if (paths.empty()) {
      if (!volume->find_bin_folders(&bins, &error)) {
        hooks->message("Can't read directory /: " + error);
        result.incomplete = true;
        continue;
      }
      for (const std::string& bin : bins) {
        any_bin = true;
        hooks->walk(volume, volume_directory(bin));
      }
      continue;
    }
    for (size_t p = 0; p < paths.size(); ++p) {
      const std::string directory = volume_directory(paths[p]);
      // A path this volume does not have may be in another one.
      const DirRef dir = volume->open_directory(directory.c_str(), &error);
      if (dir == kNoDir) {
        if (volume->last_open_missing()) continue;
        path_found[p] = true;
        hooks->message("Can't read directory " + directory + ": " + error);
        result.incomplete = true;
        continue;
      }
      volume->close_directory(dir);
      path_found[p] = true;
      hooks->walk(volume, directory);
    }
  }
  for (size_t p = 0; p < paths.size() && volumes > 0; ++p) {
    if (path_found[p]) continue;
    hooks->message("Can't read directory " + paths[p] + ": not in any volume of image " +
                   image_path);
    result.incomplete = true;
  }
  if (paths.empty() && !any_bin && volumes > 0) {
    hooks->message("No recycle-bin folder ($Recycle.Bin, RECYCLER or RECYCLED) in image " +
                   image_path);
    result.incomplete = true;
  }

  if (carve) {
    for (size_t v = 0; v < volumes; ++v) {
      ImageVolume* volume = image->volume(v);
      if (!volume->can_carve()) continue;
      CarveToHooks visitor(volume, hooks);
      if (!volume->carve_index_files(&visitor, &error)) {
        hooks->message("Can't search for deleted index files: " + error);
        result.incomplete = true;
      }
    }
  }
  return result;
}
