// Copies of the recycled items (--collect=DIR): every companion, a file or
// a folder with its whole tree, read through the walk's file system and
// written below one target folder as DIR/<SID or "no-sid">/<entry name>/
// <last component of the original path>, with its modification and access
// times, never over anything, with DIR/manifest.jsonl naming each file
// copied.  This folder includes companion/, report/, decode/, common/ and
// platform/.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "companion/file_digests.h"
#include "platform/copy_target.h"
#include "platform/file_system.h"

// The record a companion belongs to.
struct CollectItem {
  std::string_view user_sid;       // "" for none: "no-sid"
  std::string_view entry_name;     // the index file's name ("Dc3.txt" in an INFO2 bin)
  std::string_view original_path;  // UTF-8, components separated by "\"; may be empty
  std::string_view source;         // the companion's path as read
  std::string_view companion_name; // its name in its folder ("$RAB12CD.txt")
};

// Where the collector's complaints go, each one line naming what could not
// be copied and why.
class CollectMessages {
 public:
  virtual ~CollectMessages() = default;
  virtual void problem(const std::string& text) = 0;
};

class Collector {
 public:
  // `digests` reads each file (its kinds must include SHA-256, which the
  // manifest gives); both outlive the collector.
  Collector(std::unique_ptr<CopyTarget> target, FileDigests* digests, CollectMessages* messages);
  ~Collector();
  // Makes the manifest; false with the reason.
  bool start(std::string* reason);
  // Copies the companion `item.companion_name` of `dir`, of kind `kind`,
  // with its times.  After a file, `digests` holds its digests when it was
  // read whole.
  void collect(FileSystem* fs, DirRef dir, EntryKind kind, const EntryTimes& times,
               const CollectItem& item);
  // Closes the manifest; false (told) when it could not be written whole.
  bool finish();
  // Whether a companion (or a file of one) could not be read, or a copy
  // or the manifest could not be written.
  bool read_failed() const { return read_failed_; }
  bool write_failed() const { return write_failed_; }
  // Whether the last file collected was read whole (its digests are set).
  bool last_read_whole() const { return last_read_whole_; }

  // The name `name` as a component this system can write (the limit in
  // bytes): "/" and NUL as "_", "." and ".." as "_" and "__", an empty name
  // as "_", a longer one cut at a character's start.  True when changed.
  static bool safe_component(std::string_view name, size_t limit, std::string* out);
  // `name` with " (N)" before its extension, within `limit` bytes.
  static void numbered(std::string_view name, int n, size_t limit, std::string* out);

 private:
  struct Frame;
  // `name` as a component the target can hold: safe_component, then the
  // target's own rules.  True when changed.
  bool safe_name(std::string_view name, std::string* out);
  TargetRef make_folder(TargetRef parent, std::string_view name, bool reuse, std::string* made,
                        bool* renamed);
  bool copy_file(FileSystem* fs, DirRef dir, const char* name, TargetRef parent,
                 std::string_view want, const EntryTimes& times, bool renamed_above);
  void copy_tree(FileSystem* fs, DirRef top, TargetRef target, const EntryTimes& times,
                 bool renamed_above);
  void write_manifest_line(uint64_t size, bool renamed);
  void tell(const char* what, std::string_view path, const std::string& reason);

  std::unique_ptr<CopyTarget> target_;
  FileDigests* digests_;
  CollectMessages* messages_;
  TargetRef manifest_ = kNoTarget;
  bool read_failed_ = false, write_failed_ = false, last_read_whole_ = false;
  // The copy's path relative to the target, the source's path as read and
  // its original path, of the file being copied (grown and cut as the
  // tree is walked).
  std::string copy_path_, source_path_, original_path_;
  std::string name_, scratch_, line_;
  // Names being made: a folder's, a file's and its safe form (kept from file
  // to file, so that a copy costs no allocation of its own).
  std::string folder_made_, file_made_, safe_;
  const CollectItem* item_ = nullptr;
};
