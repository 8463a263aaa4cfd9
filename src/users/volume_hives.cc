#include "users/volume_hives.h"

#include <initializer_list>
#include <memory>
#include <utility>

namespace {

constexpr const char* kConfigFolders[] = {"Windows", "System32", "config"};
constexpr size_t kCopyPiece = 64 * 1024;

bool same_name_any_case(const char* a, size_t a_length, const char* b) {
  size_t i = 0;
  for (; i < a_length && b[i] != '\0'; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return i == a_length && b[i] == '\0';
}

// The entries of a folder whose names are one of `wanted` in any case, of
// the kind asked for, as the folder writes them, in listing order.  (One
// listing: an image's volume lists each folder once.)
class NamedEntries final : public DirEntryVisitor {
 public:
  NamedEntries(std::initializer_list<const char*> wanted, EntryKind kind)
      : wanted_(wanted), kind_(kind) {}
  bool visit(const DirEntry& entry) override {
    if (entry.kind != kind_) return true;
    for (const char* wanted : wanted_) {
      if (same_name_any_case(entry.name, entry.name_length, wanted))
        names.emplace_back(entry.name, entry.name_length);
    }
    return true;
  }
  std::vector<std::string> names;

 private:
  std::vector<const char*> wanted_;
  EntryKind kind_;
};

// Copies the hive `name` of `dir` into memory and reads its names.
HiveStatus read_one(FileSystem* fs, DirRef dir, const std::string& name, const std::string& label,
                    HiveNames* out) {
  const FileRef file = fs->open_file(dir, name.c_str(), EntryKind::kRegular);
  if (file == kNoFile) return HiveStatus::failed(label, "it cannot be opened");
  EntryInfo info;
  const bool sized = fs->file_info(file, &info);
  HiveCopy copy;
  std::string reason;
  bool copied = copy.begin(&reason);
  const std::unique_ptr<char[]> piece(new char[kCopyPiece]);
  uint64_t total = 0;
  size_t got = 0;
  while (copied && (got = fs->read_file(file, piece.get(), kCopyPiece)) > 0) {
    copied = copy.append(piece.get(), got, &reason);
    total += got;
  }
  fs->close_file(file);
  if (!copied) return HiveStatus::failed(label, reason);
  if (sized && total < info.size) {
    return HiveStatus::failed(label, "only " + std::to_string(total) + " of its " +
                                         std::to_string(info.size) + " bytes could be read");
  }
  return read_hive_copy(label, std::move(copy), out);
}

}  // namespace

void read_volume_hives(FileSystem* fs, std::string_view label_prefix, VolumeHives* out) {
  // Every folder on the way, as the volume writes its name.
  std::vector<std::string> folders = {"/"};
  std::string error;
  for (const char* wanted : kConfigFolders) {
    std::vector<std::string> below;
    for (const std::string& folder : folders) {
      const DirRef dir = fs->open_directory(folder.c_str(), &error);
      if (dir == kNoDir) continue;
      NamedEntries entries({wanted}, EntryKind::kDirectory);
      fs->list_directory(dir, "*", &entries, &error);
      fs->close_directory(dir);
      for (const std::string& name : entries.names) below.push_back(folder + name + "/");
    }
    folders = std::move(below);
  }
  for (const std::string& folder : folders) {
    const DirRef dir = fs->open_directory(folder.c_str(), &error);
    if (dir == kNoDir) continue;
    NamedEntries entries({"SOFTWARE", "SAM"}, EntryKind::kRegular);
    fs->list_directory(dir, "*", &entries, &error);
    for (const std::string& name : entries.names) {
      std::string label(label_prefix);
      label.append(folder).append(name);
      HiveNames names;
      const HiveStatus status = read_one(fs, dir, name, label, &names);
      if (!status.ok()) {
        out->failed.push_back(status);
      } else if (names.kind == HiveKind::kSam) {
        out->sam.push_back(std::move(names));
      } else {
        // A SOFTWARE hive; a hive of another kind names nobody.
        out->software.push_back(std::move(names));
      }
    }
    fs->close_directory(dir);
  }
}
