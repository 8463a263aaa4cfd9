#include "image/image_source.h"

#include <algorithm>
#include <memory>

#include "platform/dos_pattern.h"

std::string volume_directory(const std::string& path) {
  std::string out;
  out.reserve(path.size() + 2);
  if (path.empty() || path.front() != '/') out.push_back('/');
  out += path;
  if (out.back() != '/') out.push_back('/');
  return out;
}

std::string folded_volume_path(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out = "/";
  for (const std::string& part : parts) out += part + "/";
  return out;
}

bool folder_contains(std::string_view folder, std::string_view directory, bool below,
                     bool fold_case) {
  if (directory.size() < folder.size()) return false;
  if (!below && directory.size() != folder.size()) return false;
  for (size_t i = 0; i < folder.size(); ++i) {
    char a = folder[i], b = directory[i];
    if (fold_case) {
      if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
      if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
    }
    if (a != b) return false;
  }
  return true;
}

namespace {

// Everything the image tells goes to the visitor; a problem leaves the run
// incomplete.
class MessagesToVisitor final : public ImageMessages {
 public:
  explicit MessagesToVisitor(VolumeVisitor* visitor) : visitor_(visitor) {}
  void problem(const std::string& text) override {
    if (quiet_) return;
    visitor_->message(text);
    incomplete_ = true;
  }
  void note(const std::string& text) override {
    if (!quiet_) visitor_->message(text);
  }
  bool incomplete() const { return incomplete_; }
  // While the volumes are surveyed: what they tell is told again when they
  // are read.
  void set_quiet(bool quiet) { quiet_ = quiet; }

 private:
  VolumeVisitor* visitor_;
  bool incomplete_ = false;
  bool quiet_ = false;
};

// The volume of the image `image` as the visitor sees it.
Volume volume_of(const std::string& image, ImageVolume* volume) {
  Volume v;
  v.fs = volume;
  v.image = image;
  v.name = volume->name();
  v.source_prefix = volume->source_prefix();
  return v;
}

// The recovered index files of one volume that lie in the run's scope, to
// the visitor.
class CarveToVisitor final : public CarvedFileVisitor {
 public:
  CarveToVisitor(const std::string& image, ImageVolume* volume, VolumeVisitor* visitor,
                 const ImageRunSettings& settings, const std::vector<std::string>& folders,
                 std::vector<uint64_t>* given)
      : given_(given),
        image_(image),
        volume_(volume),
        visitor_(visitor),
        settings_(settings),
        folders_(folders) {
    for (const std::string& pattern : settings.patterns) {
      if (pattern.empty() || pattern[0] == '-') break;
      patterns_.emplace_back();
      patterns_.back().compile(pattern.c_str());
    }
  }

  bool wanted(std::string_view directory, std::string_view name, bool parent_known) override {
    name_.assign(name);
    bool matches = false;
    for (DosPattern& pattern : patterns_) {
      if (pattern.matches(name_.c_str())) {
        matches = true;
        break;
      }
    }
    if (!matches || (settings_.exclude && settings_.exclude->excludes(name_.c_str()))) return false;
    // An orphan's folder is unknown: it may have been any of them.
    if (!parent_known) return true;
    for (const std::string& folder : folders_) {
      if (folder_contains(folder, directory, settings_.recurse, volume_->names_fold_case()))
        return true;
    }
    return false;
  }

  bool visit(const CarvedIndexFile& file) override {
    if (file.has_data_offset) given_->push_back(file.data_offset);
    status_ = visitor_->decode_recovered(volume_of(image_, volume_), file);
    return status_.ok();
  }

  void searched(uint64_t done, uint64_t total) override {
    visitor_->carving(volume_of(image_, volume_), done, total);
  }
  Status status() const { return status_; }

 private:
  std::vector<uint64_t>* given_;  // where the data of the files visited starts
  const std::string& image_;
  ImageVolume* volume_;
  VolumeVisitor* visitor_;
  Status status_;
  const ImageRunSettings& settings_;
  const std::vector<std::string>& folders_;
  std::vector<DosPattern> patterns_;
  std::string name_;
};

}  // namespace

ImageRunResult run_image(const std::string& image_path, const ImageRunSettings& settings,
                         VolumeVisitor* visitor) {
  ImageRunResult result;
  MessagesToVisitor messages(visitor);
  std::string error;
  std::unique_ptr<EvidenceImage> image = EvidenceImage::open(image_path.c_str(), &messages, &error);
  if (!image) {
    visitor->message(error);
    result.incomplete = true;
    return result;
  }

  const std::vector<std::string>& paths = settings.paths;
  std::vector<bool> path_found(paths.size(), false);
  bool any_bin = false;
  std::vector<std::string> bins;
  std::vector<std::string> walked;  // the folders walked in the volume, for carving
  std::vector<uint64_t> given;      // where the carved files' data lies, for the scan
  // Walks the volume's folders, then (with carve) recovers the index files
  // no folder holds any more; false when the visitor ended the run.
  auto read_volume = [&](ImageVolume* volume) {
    if (!result.any_volume) {
      result.any_volume = true;
      result.first_kind = volume->kind();
    }
    walked.clear();
    volume->expect_files(settings.patterns);
    given.clear();
    if (paths.empty()) {
      if (!volume->find_bin_folders(&bins, &error)) {
        visitor->message("Can't read directory /: " + error);
        result.incomplete = true;
        bins.clear();
      }
      for (const std::string& bin : bins) {
        any_bin = true;
        walked.push_back(volume_directory(bin));
        result.status = visitor->walk(volume_of(image_path, volume), walked.back());
        if (!result.status.ok()) return false;
      }
    } else {
      for (size_t p = 0; p < paths.size(); ++p) {
        const std::string directory = volume_directory(paths[p]);
        // A path this volume does not have may be in another one.
        const DirRef dir = volume->open_directory(directory.c_str(), &error);
        if (dir == kNoDir) {
          if (volume->last_open_missing()) continue;
          path_found[p] = true;
          visitor->message("Can't read directory " + directory + ": " + error);
          result.incomplete = true;
          continue;
        }
        volume->close_directory(dir);
        path_found[p] = true;
        walked.push_back(folded_volume_path(directory));
        result.status = visitor->walk(volume_of(image_path, volume), directory);
        if (!result.status.ok()) return false;
      }
    }
    if (settings.carve && volume->can_carve()) {
      CarveToVisitor carver(image_path, volume, visitor, settings, walked, &given);
      const bool searched = volume->carve_index_files(walked, settings.recurse, &carver, &error);
      result.status = carver.status();
      if (!result.status.ok()) return false;
      if (!searched) {
        visitor->message("Can't search for deleted index files: " + error);
        result.incomplete = true;
      }
    }
    if (settings.scan) {
      // Then the volume's free clusters, for records no entry names any
      // more; what carving gave is not given again.
      std::unique_ptr<ScanBytes> bytes = volume->unallocated_space(&error);
      if (!bytes) {
        visitor->message("Can't scan the unallocated space: " + error);
        result.incomplete = true;
        return true;
      }
      std::sort(given.begin(), given.end());
      result.status = visitor->scan(volume_of(image_path, volume), bytes.get(), given);
      if (!result.status.ok()) return false;
    }
    return true;
  };
  const size_t volumes = image->volume_count();
  if (visitor->surveys()) {
    // Every volume is surveyed before the first is walked (a bin on one
    // volume is named by the Windows of another), one at a time.
    messages.set_quiet(true);
    for (size_t v = 0; v < volumes; ++v) {
      std::unique_ptr<ImageVolume> volume = image->open_volume(v);
      if (volume) visitor->survey(volume_of(image_path, volume.get()));
    }
    messages.set_quiet(false);
  }
  for (size_t v = 0; v < volumes; ++v) {
    // One volume at a time, closed before the next is opened.
    std::unique_ptr<ImageVolume> volume = image->open_volume(v);
    if (!volume) continue;
    if (!read_volume(volume.get())) return result;
    const bool ntfs = volume->kind() == FileSystemKind::kNtfs;
    volume.reset();
    // Then the volume as each of its shadow copies keeps it, oldest first,
    // each store read as a volume of its own and closed before the next.
    if (!settings.shadows || !ntfs) continue;
    std::unique_ptr<ShadowStores> stores = image->open_shadow_stores(v);
    for (size_t k = 0; stores && k < stores->count(); ++k) {
      std::unique_ptr<ImageVolume> store = stores->open_store(k);
      if (store && !read_volume(store.get())) return result;
    }
  }
  for (size_t p = 0; p < paths.size() && result.any_volume; ++p) {
    if (path_found[p]) continue;
    visitor->message("Can't read directory " + paths[p] + ": not in any volume of image " +
                   image_path);
    result.incomplete = true;
  }
  if (paths.empty() && !any_bin && result.any_volume) {
    visitor->message("No recycle-bin folder ($Recycle.Bin, RECYCLER or RECYCLED) in image " +
                   image_path);
    result.incomplete = true;
  }
  if (messages.incomplete()) result.incomplete = true;
  return result;
}

SourceResult ImageSource::read(VolumeVisitor* visitor) {
  result_ = run_image(image_path_, settings_, visitor);
  SourceResult result;
  result.status = result_.status;
  result.incomplete = result_.incomplete;
  return result;
}
