#include "image/image_set.h"

#include <cstdio>
#include <cstring>
#include <set>

namespace {

// Past this many missing names in a row, a set has no more segments.
constexpr int kMissingRun = 16;
// Differencing images name parents that may be differencing images too.
constexpr int kParentDepth = 8;
// A VMDK descriptor is a small text; more than this is no descriptor.
constexpr size_t kDescriptorMax = 1 << 20;

uint64_t le(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

uint64_t be(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool ends_with_folded(const std::string& s, const char* suffix) {
  const size_t n = std::strlen(suffix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (lower(s[s.size() - n + i]) != lower(suffix[i])) return false;
  }
  return true;
}

// Reads all of `size` bytes at `offset`.
bool read_at(FileHandle fd, uint64_t offset, void* buffer, size_t size) {
  return ::read_at(fd, buffer, size, static_cast<int64_t>(offset)) == size;
}

// Whether anything of that name can be looked at (links followed).
bool present(const std::string& path) { return path_kind(path.c_str()) != PathKind::kMissing; }

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string base_name(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A path a container names, as this system opens it: "\" separators become
// "/", a relative name is taken from the naming file's folder, and a
// Windows drive path, which names nothing here, is looked for there by its
// last component.
std::string resolve_named_path(const std::string& named, const std::string& directory) {
  std::string p = named;
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  if (p.size() >= 2 && p[1] == ':') return directory + base_name(p);
  while (p.rfind("./", 0) == 0) p.erase(0, 2);
  if (!p.empty() && p[0] == '/') return p;
  return directory + p;
}

// UTF-16 text (little- or big-endian) to UTF-8, up to its first NUL.
std::string utf16_to_utf8(const unsigned char* data, size_t bytes, bool big_endian) {
  std::string out;
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    uint32_t c = big_endian ? static_cast<uint32_t>(be(data + i, 2))
                            : static_cast<uint32_t>(le(data + i, 2));
    if (c == 0) break;
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes) {
      const uint32_t low = big_endian ? static_cast<uint32_t>(be(data + i + 2, 2))
                                      : static_cast<uint32_t>(le(data + i + 2, 2));
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

uint32_t adler32(const unsigned char* data, size_t size) {
  uint32_t a = 1, b = 0;
  for (size_t i = 0; i < size; ++i) {
    a = (a + data[i]) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

class Examiner {
 public:
  explicit Examiner(ImageSet* set) : set_(set) {}

  // Adds `path` to the set; true when it can be read.  `role` names it in
  // a problem ("segment", "extent", "parent"); null for the image file,
  // whose own fault is told by whoever opens it.
  bool add(const std::string& path, int segment, const char* role, bool opened_by_library) {
    if (!seen_.insert(path).second) return false;
    ImageSetFile file;
    file.path = path;
    file.segment = segment;
    file.present = present(path);
    if (!file.present) {
      set_->files.push_back(file);
      if (role != nullptr) set_->problems.push_back(std::string(role) + " " + path + " is missing");
      return false;
    }
    std::string reason;
    const FileHandle fd = open_image_file(path, &file.size, &reason);
    file.usable = fd != kInvalidHandle;
    if (fd != kInvalidHandle) close_file(fd);
    set_->files.push_back(file);
    if (!file.usable && role != nullptr) {
      set_->problems.push_back(std::string(role) + " " + path +
                               (reason == kNotRegular ? " is " + reason
                                                      : " cannot be opened (" + reason + ")"));
      if (opened_by_library) set_->unsafe = true;
    }
    return file.usable;
  }

  // The segments after the first one, by `name_of`, up to the last one
  // there (a gap of missing names is kept, with present false).
  template <typename NameOf>
  void add_segments(const std::string& first, NameOf name_of) {
    std::vector<ImageSetFile> pending;  // missing names not yet known to be a gap
    int missing_run = 0;
    for (int n = 2;; ++n) {
      const std::string name = name_of(first, n);
      if (name.empty()) break;
      if (!present(name)) {
        if (++missing_run >= kMissingRun) break;
        ImageSetFile gap;
        gap.path = name;
        gap.segment = n;
        pending.push_back(gap);
        continue;
      }
      for (const ImageSetFile& gap : pending) {
        set_->files.push_back(gap);
        set_->problems.push_back("segment " + gap.path + " is missing");
      }
      pending.clear();
      missing_run = 0;
      add(name, n, "segment", false);
    }
  }

  void add_vmdk(const std::string& path, int depth) {
    if (depth > kParentDepth) return;
    const FileHandle fd = open_without_blocking(path.c_str());
    if (fd == kInvalidHandle) return;
    std::string text;
    unsigned char head[64] = {};
    if (read_at(fd, 0, head, sizeof head) && std::memcmp(head, "KDMV", 4) == 0) {
      // A sparse extent that holds its descriptor.
      const uint64_t offset = le(head + 28, 8) * 512;
      const uint64_t size = le(head + 36, 8) * 512;
      if (offset != 0 && size != 0 && size <= kDescriptorMax) {
        text.resize(static_cast<size_t>(size));
        if (!read_at(fd, offset, text.data(), text.size())) text.clear();
      }
    } else if (std::memcmp(head, "# Disk DescriptorFile", 21) == 0) {
      FileType type;
      uint64_t size = 0;
      if (file_type_of(fd, &type, &size, nullptr) && size <= kDescriptorMax) {
        text.resize(static_cast<size_t>(size));
        if (!read_at(fd, 0, text.data(), text.size())) text.clear();
      }
    }
    close_file(fd);
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    const VmdkDescriptor descriptor = parse_vmdk_descriptor(text, directory_of(path));
    for (const std::string& extent : descriptor.extents) add(extent, 0, "extent", true);
    if (!descriptor.parent.empty() && add(descriptor.parent, 0, "parent", false)) {
      add_vmdk(descriptor.parent, depth + 1);
    }
  }

  void add_vhd_parents(const std::string& path, int depth) {
    if (depth > kParentDepth) return;
    const FileHandle fd = open_without_blocking(path.c_str());
    if (fd == kInvalidHandle) return;
    FileType type;
    uint64_t size = 0;
    unsigned char footer[512];
    bool found = false;
    if (file_type_of(fd, &type, &size, nullptr) && size >= 512) {
      found = read_at(fd, size - 512, footer, 512) &&
              std::memcmp(footer, "conectix", 8) == 0;
      if (!found) found = read_at(fd, 0, footer, 512) && std::memcmp(footer, "conectix", 8) == 0;
    }
    unsigned char header[1024];
    std::vector<std::string> candidates;
    if (found && be(footer + 60, 4) == 4 &&
        read_at(fd, be(footer + 16, 8), header, sizeof header) &&
        std::memcmp(header, "cxsparse", 8) == 0) {
      const std::string directory = directory_of(path);
      // The parent locators: relative, then absolute Windows paths.
      for (const char* code : {"W2ru", "W2ku"}) {
        for (int i = 0; i < 8; ++i) {
          const unsigned char* entry = header + 576 + 24 * i;
          if (std::memcmp(entry, code, 4) != 0) continue;
          const uint64_t length = be(entry + 8, 4);
          if (length == 0 || length > 4096) continue;
          std::vector<unsigned char> data(static_cast<size_t>(length));
          if (!read_at(fd, be(entry + 16, 8), data.data(), data.size())) continue;
          candidates.push_back(
              resolve_named_path(utf16_to_utf8(data.data(), data.size(), false), directory));
        }
      }
      // The parent's name, looked for beside the child.
      const std::string name = utf16_to_utf8(header + 64, 512, true);
      if (!name.empty()) candidates.push_back(resolve_named_path(name, directory));
    }
    close_file(fd);
    if (candidates.empty()) return;
    for (const std::string& candidate : candidates) {
      if (!present(candidate)) continue;
      if (add(candidate, 0, "parent", false)) add_vhd_parents(candidate, depth + 1);
      return;
    }
    add(candidates.front(), 0, "parent", false);
  }

  // Follows the section chain of every EWF segment there, in order.
  void check_ewf() {
    const std::string& first = set_->files.front().path;
    int expected = 1;
    for (const ImageSetFile& file : set_->files) {
      if (file.segment != expected) continue;
      if (!file.present || !file.usable) return;
      uint64_t size = 0;
      std::string reason;
      const FileHandle fd = open_image_file(file.path, &size, &reason);
      if (fd == kInvalidHandle) return;
      EwfSegment segment;
      const bool ewf = read_ewf_segment(fd, &segment);
      close_file(fd);
      if (!ewf) {
        // The second version of the format keeps its sections otherwise.
        if (expected > 1) set_->problems.push_back("segment " + file.path + " is no EWF segment");
        return;
      }
      set_->ewf_checked = true;
      if (segment.number != expected) {
        set_->problems.push_back("segment " + file.path + " is segment " +
                                 std::to_string(segment.number) + " of its set, not segment " +
                                 std::to_string(expected));
        return;
      }
      if (!segment.damage.empty()) {
        set_->problems.push_back("segment " + file.path + " is damaged (" + segment.damage + ")");
        return;
      }
      set_->ewf.push_back(segment);
      if (segment.last) return;
      ++expected;
    }
    // The last segment there says that more follow.
    const std::string next = ewf_segment_name(first, expected);
    if (!next.empty() && !set_->ewf.empty() && set_->ewf.back().more) {
      for (const ImageSetFile& file : set_->files) {
        if (file.path == next) return;  // named missing already
      }
      ImageSetFile missing;
      missing.path = next;
      missing.segment = expected;
      set_->files.push_back(missing);
      set_->problems.push_back("segment " + next + " is missing");
    }
  }

 private:
  ImageSet* set_;
  std::set<std::string> seen_;
};

}  // namespace

const char* container_name(ImageContainer container) {
  switch (container) {
    case ImageContainer::kRaw: return "raw";
    case ImageContainer::kEwf: return "EWF";
    case ImageContainer::kVmdk: return "VMDK";
    case ImageContainer::kVhd: return "VHD";
    case ImageContainer::kAff: return "AFF";
  }
  return "raw";
}

ImageContainer image_container_of(const char* path) {
  unsigned char head[512] = {};
  unsigned char tail[512] = {};
  const FileHandle fd = open_without_blocking(path);
  if (fd == kInvalidHandle) return ImageContainer::kRaw;
  FileType type;
  uint64_t known_size = 0;
  size_t got = 0, tail_got = 0;
  std::string reason;
  if (file_type_of(fd, &type, &known_size, nullptr) &&
      (type == FileType::kRegular || type == FileType::kDisk)) {
    const int64_t n = read_once_at(fd, head, sizeof head, 0, &reason);
    got = n > 0 ? static_cast<size_t>(n) : 0;
    const int64_t end = file_end(fd);
    if (got == sizeof head && end >= static_cast<int64_t>(sizeof tail)) {
      const int64_t t = read_once_at(fd, tail, sizeof tail,
                                     static_cast<uint64_t>(end) - sizeof tail, &reason);
      tail_got = t > 0 ? static_cast<size_t>(t) : 0;
    }
  }
  close_file(fd);
  auto starts = [](const unsigned char* data, size_t size, const char* magic, size_t length) {
    return size >= length && std::memcmp(data, magic, length) == 0;
  };
  if (starts(head, got, "EVF\x09\x0d\x0a\xff\x00", 8) || starts(head, got, "EVF2\x0d\x0a\x81\x00", 8) ||
      starts(head, got, "LVF\x09\x0d\x0a\xff\x00", 8))
    return ImageContainer::kEwf;
  if (starts(head, got, "KDMV", 4) || starts(head, got, "COWD", 4) ||
      starts(head, got, "# Disk DescriptorFile", 21))
    return ImageContainer::kVmdk;
  if (starts(head, got, "conectix", 8) || starts(head, got, "vhdxfile", 8) ||
      starts(tail, tail_got, "conectix", 8))
    return ImageContainer::kVhd;
  if (starts(head, got, "AFF10\x0d\x0a", 7)) return ImageContainer::kAff;
  return ImageContainer::kRaw;
}

std::string split_raw_segment_name(const std::string& first, int number) {
  if (number == 1) return first;
  if (number < 1) return std::string();
  const size_t n = first.size();
  char digits[32];
  if (ends_with_folded(first, ".dmg")) {
    std::snprintf(digits, sizeof digits, "%03d.dmgpart", number);
    return first.substr(0, n - 3) + digits;
  }
  auto numbered = [&](size_t width, int value) {
    std::snprintf(digits, sizeof digits, width == 3 ? "%03d" : "%02d", value);
    return first.substr(0, n - width) + digits;
  };
  if (ends_with_folded(first, ".001") || ends_with_folded(first, "_001")) return numbered(3, number);
  if (ends_with_folded(first, ".000") || ends_with_folded(first, "_000"))
    return numbered(3, number - 1);
  if (ends_with_folded(first, ".01") || ends_with_folded(first, "_01")) return numbered(2, number);
  if (ends_with_folded(first, ".00") || ends_with_folded(first, "_00")) return numbered(2, number - 1);
  auto lettered = [&](size_t width) {
    std::string name = first;
    int k = number - 1;
    for (size_t i = 0; i < width; ++i) {
      name[n - 1 - i] = static_cast<char>(name[n - 1 - i] + k % 26);
      k /= 26;
    }
    return k > 0 ? std::string() : name;
  };
  if (ends_with_folded(first, ".aaa") || ends_with_folded(first, "xaaa") ||
      ends_with_folded(first, "_aaa"))
    return lettered(3);
  if (ends_with_folded(first, ".aa") || ends_with_folded(first, "xaa") ||
      ends_with_folded(first, "_aa"))
    return lettered(2);
  if (ends_with_folded(first, ".bin")) {
    std::snprintf(digits, sizeof digits, "(%d).bin", number);
    return first.substr(0, n - 4) + digits;
  }
  return std::string();
}

std::string ewf_segment_name(const std::string& first, int number) {
  if (number == 1) return first;
  const size_t dot = first.rfind('.');
  if (number < 1 || dot == std::string::npos) return std::string();
  const std::string ext = first.substr(dot + 1);
  // "E01", "s01", "L01" or "Ex01": letters, then "01".
  const size_t letters = ext.size() - 2;
  if (ext.size() < 3 || ext.size() > 4 || ext.compare(letters, 2, "01") != 0) return std::string();
  for (size_t i = 0; i < letters; ++i) {
    const char c = lower(ext[i]);
    if (c < 'a' || c > 'z') return std::string();
  }
  const bool upper = ext[0] >= 'A' && ext[0] <= 'Z';
  std::string out = first.substr(0, dot + 1) + ext.substr(0, letters);
  if (number <= 99) {
    char digits[3] = {static_cast<char>('0' + number / 10), static_cast<char>('0' + number % 10), 0};
    return out + digits;
  }
  // After 99 the last two characters count in letters, and then the first
  // letter moves on: E99, EAA ... EZZ, FAA ... ZZZ.
  const int k = number - 100;
  const char base = upper ? 'A' : 'a';
  const int first_letter = (lower(ext[0]) - 'a') + k / 676;
  if (first_letter >= 26) return std::string();
  out[dot + 1] = static_cast<char>(base + first_letter);
  out.push_back(static_cast<char>(base + (k / 26) % 26));
  out.push_back(static_cast<char>(base + k % 26));
  return out;
}

bool read_ewf_segment(FileHandle fd, EwfSegment* out) {
  *out = EwfSegment{};
  unsigned char header[13];
  if (!read_at(fd, 0, header, sizeof header)) return false;
  if (std::memcmp(header, "EVF\x09\x0d\x0a\xff\x00", 8) != 0 &&
      std::memcmp(header, "LVF\x09\x0d\x0a\xff\x00", 8) != 0)
    return false;
  out->number = static_cast<int>(le(header + 9, 2));
  FileType kind;
  uint64_t file_size = 0;
  if (!file_type_of(fd, &kind, &file_size, &out->damage)) return true;
  uint64_t offset = sizeof header;
  // A chain that loops or runs on would never end.
  for (int count = 0; count < 1000000; ++count) {
    unsigned char d[76];
    if (offset + sizeof d > file_size || !read_at(fd, offset, d, sizeof d)) {
      out->damage = "its sections end at byte " + std::to_string(offset) + " of " +
                    std::to_string(file_size) + ", before a \"done\" or \"next\" section";
      return true;
    }
    if (adler32(d, 72) != static_cast<uint32_t>(le(d + 72, 4))) {
      out->damage = "its section at byte " + std::to_string(offset) + " fails its checksum";
      return true;
    }
    char type[17] = {};
    std::memcpy(type, d, 16);
    const uint64_t next = le(d + 16, 8);
    const uint64_t size = le(d + 24, 8);
    if (std::strcmp(type, "done") == 0 || std::strcmp(type, "next") == 0) {
      out->last = type[0] == 'd';
      out->more = !out->last;
      return true;
    }
    if (std::strcmp(type, "table") == 0) {
      unsigned char entries[4];
      if (!read_at(fd, offset + sizeof d, entries, sizeof entries)) {
        out->damage = "its table at byte " + std::to_string(offset) + " cannot be read";
        return true;
      }
      out->chunks += le(entries, 4);
    } else if ((std::strcmp(type, "volume") == 0 || std::strcmp(type, "disk") == 0) &&
               out->bytes_per_sector == 0) {
      unsigned char v[24] = {};
      const uint64_t data = size > sizeof d ? size - sizeof d : 0;
      if (data >= 20 && read_at(fd, offset + sizeof d, v, data >= 24 ? 24 : 20)) {
        out->sectors_per_chunk = le(v + 8, 4);
        out->bytes_per_sector = le(v + 12, 4);
        // The 94-byte section of the first EWF version counts sectors in
        // 32 bits; later ones in 64.
        out->sectors = data >= 1052 ? le(v + 16, 8) : le(v + 16, 4);
      }
    }
    if (next > file_size) {
      out->damage = "its section at byte " + std::to_string(offset) + " points to byte " +
                    std::to_string(next) + ", past its end at byte " + std::to_string(file_size);
      return true;
    }
    if (next <= offset) {
      out->damage = "its section at byte " + std::to_string(offset) + " points back to byte " +
                    std::to_string(next);
      return true;
    }
    offset = next;
  }
  out->damage = "its sections do not end";
  return true;
}

VmdkDescriptor parse_vmdk_descriptor(const std::string& text, const std::string& directory) {
  VmdkDescriptor out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    const size_t lead = line.find_first_not_of(" \t");
    if (lead == std::string::npos || line[lead] == '#') continue;
    line.erase(0, lead);
    const size_t q1 = line.find('"');
    const size_t q2 = q1 == std::string::npos ? q1 : line.find('"', q1 + 1);
    if (q2 == std::string::npos) continue;
    const std::string quoted = line.substr(q1 + 1, q2 - q1 - 1);
    if (line.rfind("RW ", 0) == 0 || line.rfind("RDONLY ", 0) == 0 ||
        line.rfind("NOACCESS ", 0) == 0) {
      if (!quoted.empty()) out.extents.push_back(resolve_named_path(quoted, directory));
    } else if (line.rfind("parentFileNameHint", 0) == 0 && !quoted.empty()) {
      out.parent = resolve_named_path(quoted, directory);
    }
  }
  return out;
}

SplitRawLayout split_raw_layout(const ImageSet& set) {
  SplitRawLayout layout;
  layout.starts.assign(set.files.size(), 0);
  int last = 0;
  for (const ImageSetFile& file : set.files) {
    if (file.segment > 0 && file.present && file.usable) last = file.segment;
  }
  for (const ImageSetFile& file : set.files) {
    if (file.segment > 0 && file.segment < last && file.usable && file.size > layout.segment_size)
      layout.segment_size = file.size;
  }
  for (size_t i = 0; i < set.files.size(); ++i) {
    const ImageSetFile& file = set.files[i];
    if (file.segment <= 0) continue;
    layout.starts[i] = static_cast<uint64_t>(file.segment - 1) * layout.segment_size;
    if (file.segment == last) layout.size = layout.starts[i] + file.size;
  }
  return layout;
}

ImageSet examine_image_set(const std::string& path) {
  ImageSet set;
  set.container = image_container_of(path.c_str());
  Examiner examiner(&set);
  const bool segmented = set.container == ImageContainer::kRaw || set.container == ImageContainer::kEwf;
  examiner.add(path, segmented ? 1 : 0, nullptr, false);
  switch (set.container) {
    case ImageContainer::kRaw: {
      examiner.add_segments(path, split_raw_segment_name);
      // A segment shorter than the others, but for the last, leaves a gap.
      const SplitRawLayout layout = split_raw_layout(set);
      for (size_t i = 0; i < set.files.size(); ++i) {
        const ImageSetFile& file = set.files[i];
        if (!file.usable || file.size >= layout.segment_size ||
            layout.starts[i] + file.size >= layout.size)
          continue;
        set.problems.push_back("segment " + file.path + " is " +
                               std::to_string(layout.segment_size - file.size) +
                               " bytes shorter than the other segments (bytes " +
                               std::to_string(layout.starts[i] + file.size) + " to " +
                               std::to_string(layout.starts[i] + layout.segment_size - 1) +
                               " of the image are missing)");
      }
      break;
    }
    case ImageContainer::kEwf:
      examiner.add_segments(path, ewf_segment_name);
      examiner.check_ewf();
      break;
    case ImageContainer::kVmdk:
      examiner.add_vmdk(path, 0);
      break;
    case ImageContainer::kVhd:
      examiner.add_vhd_parents(path, 0);
      break;
    case ImageContainer::kAff:
      break;
  }
  return set;
}

std::vector<std::string> image_set_files(const char* path) {
  FileType type;
  if (!file_type_of(path, &type, nullptr)) return {};
  if (type == FileType::kDirectory) return {path};
  std::vector<std::string> files;
  for (const ImageSetFile& file : examine_image_set(path).files) {
    if (file.present) files.push_back(file.path);
  }
  return files;
}
