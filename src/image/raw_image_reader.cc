// Raw images and split raw sets, read by offset from files opened once,
// each segment at its own place in the disk.
#include <algorithm>
#include <cstring>

#include "image/image_reader.h"

namespace {

class RawImageReader final : public ImageReader {
 public:
  struct Segment {
    FileHandle fd = kInvalidHandle;
    uint64_t start = 0;
    uint64_t size = 0;  // bytes the file holds
    std::string name;
  };
  // A region of the disk no segment holds, and why.
  struct Gap {
    uint64_t start = 0;
    uint64_t end = 0;
    std::string reason;
  };

  ~RawImageReader() override {
    for (Segment& s : segments_) {
      if (s.fd != kInvalidHandle) close_file(s.fd);
    }
  }

  uint64_t size() const override { return size_; }
  const std::vector<uint64_t>& told_regions() const override { return told_; }

  bool read(uint64_t offset, void* buffer, size_t size, ReadFailure* failure) override {
    char* out = static_cast<char*>(buffer);
    uint64_t at = offset;
    const uint64_t end = offset + size;
    while (at < end) {
      const Segment* segment = segment_at(at);
      if (segment == nullptr) {
        const Gap* gap = gap_at(at);
        failure->region = gap != nullptr ? gap->start : at;
        failure->reason = gap != nullptr ? gap->reason
                                         : "byte " + std::to_string(at) + " is past the image's end";
        return false;
      }
      const uint64_t stop = std::min(end, segment->start + segment->size);
      const size_t want = static_cast<size_t>(stop - at);
      std::string reason;
      const int64_t got =
          read_once_at(segment->fd, out + (at - offset), want, at - segment->start, &reason);
      if (got <= 0) {
        const uint64_t bad = at - segment->start;
        failure->region = at & ~uint64_t{511};
        failure->reason = "read error at byte " + std::to_string(bad) + " of segment " +
                          segment->name + " (" + (got < 0 ? reason : "the file ends there") + ")";
        return false;
      }
      at += static_cast<uint64_t>(got);
    }
    return true;
  }

  std::vector<Segment> segments_;  // in disk order
  std::vector<Gap> gaps_;
  std::vector<uint64_t> told_;
  uint64_t size_ = 0;

 private:
  const Segment* segment_at(uint64_t at) const {
    for (const Segment& s : segments_) {
      if (at >= s.start && at < s.start + s.size) return &s;
    }
    return nullptr;
  }
  const Gap* gap_at(uint64_t at) const {
    for (const Gap& g : gaps_) {
      if (at >= g.start && at < g.end) return &g;
    }
    return nullptr;
  }
};

}  // namespace

std::unique_ptr<ImageReader> open_raw_reader(const ImageSet& set, std::string* error) {
  auto reader = std::make_unique<RawImageReader>();
  const SplitRawLayout layout = split_raw_layout(set);
  // Where each segment number belongs: a segment that is missing or cannot
  // be opened is a gap of one segment size.
  for (size_t i = 0; i < set.files.size(); ++i) {
    const ImageSetFile& file = set.files[i];
    if (file.segment <= 0) continue;
    const uint64_t start = layout.starts[i];
    const uint64_t nominal_end = start + layout.segment_size;
    RawImageReader::Segment segment;
    segment.start = start;
    segment.name = file.path;
    std::string reason;
    uint64_t size = 0;
    if (file.present && file.usable) segment.fd = open_image_file(file.path, &size, &reason);
    if (segment.fd == kInvalidHandle) {
      if (start >= layout.size) continue;  // past the last segment there
      RawImageReader::Gap gap;
      gap.start = start;
      gap.end = nominal_end;
      gap.reason = "segment " + file.path +
                   (!file.present   ? std::string(" is missing")
                    : !file.usable  ? std::string(" is not a regular file")
                                    : " cannot be opened (" + reason + ")");
      reader->gaps_.push_back(gap);
      // Told with the set's problems, but for a segment that went away
      // since they were found.
      if (!file.present || !file.usable) reader->told_.push_back(gap.start);
      continue;
    }
    // What the file holds now: no byte past it is ever read.
    segment.size = std::min(size, file.size);
    if (layout.segment_size != 0 && start + segment.size < layout.size &&
        segment.size < layout.segment_size) {
      RawImageReader::Gap gap;
      gap.start = start + segment.size;
      gap.end = nominal_end;
      gap.reason = "segment " + file.path + " is " +
                   std::to_string(layout.segment_size - segment.size) +
                   " bytes shorter than the other segments";
      reader->gaps_.push_back(gap);
      if (segment.size == file.size) reader->told_.push_back(gap.start);
    }
    reader->segments_.push_back(std::move(segment));
  }
  if (reader->segments_.empty()) {
    *error = "no segment of it can be opened";
    return nullptr;
  }
  reader->size_ = layout.size;
  return reader;
}
