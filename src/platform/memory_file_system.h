// A file system held in memory, for the unit tests of the walk and the
// decoder: directories, files, links and other entries in the order they
// were added, with times, unreadable directories and a chosen budget of
// open directories.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/dos_pattern.h"
#include "platform/file_system.h"

class MemoryFileSystem final : public FileSystem {
 public:
  MemoryFileSystem();
  ~MemoryFileSystem() override;

  // Paths are relative to the root, "/"-separated; missing directories on
  // the way are made.
  void add_directory(const std::string& path);
  void add_file(const std::string& path, const std::string& data, EntryTimes times = {});
  void add_link(const std::string& path);   // a link: never followed or entered
  void add_other(const std::string& path);  // a FIFO, socket or device
  // A chain of `depth` directories "d0/d1/..." below `top`, the one at
  // level i holding a file "$I<i>" and then the next directory.
  void add_chain(const std::string& top, int depth);
  // A directory that exists but whose listing fails.
  void make_unreadable(const std::string& path);
  // Moves a directory elsewhere (as if renamed during the walk).
  void move_directory(const std::string& from, const std::string& to);
  // The metadata address of an entry, as an image's volume gives one.
  void set_address(const std::string& path, uint64_t address);
  // A name its folder still holds for an entry no longer in use.
  void add_deleted_name(const std::string& path);
  // A named data stream of an entry.
  void add_stream(const std::string& path, const std::string& stream, const std::string& data);
  // Reads of the file fail once `after` bytes are read, for `reason`.
  void fail_reads(const std::string& path, size_t after, const std::string& reason);
  // How often the file was opened for reading, and the bytes read from it.
  size_t opens(const std::string& path);
  size_t bytes_read(const std::string& path);
  // How often a named stream was asked for.
  size_t stream_reads() const { return stream_reads_; }
  void set_budget(size_t budget) { budget_ = budget; }
  // Each read gives at most this many bytes, as a reader of a disk image's
  // blocks may; 0 for no limit.
  void set_read_limit(size_t limit) { read_limit_ = limit; }

  // What the tests look at afterwards.
  size_t open_directories() const { return open_dirs_; }
  size_t most_open_directories() const { return most_open_; }
  size_t open_files() const { return open_files_; }
  // The times a file's last restore set, or null when none was set.
  const SavedTimes* restored_times(const std::string& path) const;

  DirRef open_directory(const char* path, std::string* error) override;
  DirRef open_subdirectory(DirRef parent, const char* name, std::string* error) override;
  DirRef open_parent(DirRef child, std::string* error) override;
  bool identify_directory(DirRef dir, DirIdentity* out) override;
  void close_directory(DirRef dir) override;
  size_t open_directory_budget() const override { return budget_; }
  bool list_directory(DirRef dir, const char* pattern, DirEntryVisitor* visitor,
                      std::string* error) override;
  bool search_per_pattern() const override { return false; }
  bool lookup(DirRef dir, const char* name, EntryInfo* out) override;
  void want_change_times(bool wanted) override { change_times_wanted_ = wanted; }
  bool change_times_wanted() const { return change_times_wanted_; }
  bool names_deleted_entry(DirRef dir, const char* name) override;
  FileRef open_file(DirRef dir, const char* name, EntryKind hint) override;
  size_t read_file(FileRef file, void* buffer, size_t size) override;
  void close_file(FileRef file) override;
  std::string read_error(FileRef file) override;
  bool read_named_stream(DirRef dir, const char* name, const char* stream, char* buffer,
                         size_t capacity, size_t* length) override;
  bool file_info(FileRef file, EntryInfo* out) override;
  bool capture_times(FileRef file, SavedTimes* out) override;
  bool restore_times(FileRef file, const SavedTimes& times) override;
  int count_streams(DirRef dir, int* failure, int* line) override;
  FileSystemKind volume_kind(const char* path) override {
    volume_queries_.push_back(path);
    return kind_;
  }
  void set_volume_kind(FileSystemKind kind) { kind_ = kind; }
  // Named streams each directory reports.
  void set_streams(const std::string& path, int count);
  // The directories whose streams were counted, and the paths whose volume
  // kind was asked, in order.
  const std::vector<std::string>& stream_probes() const { return stream_probes_; }
  const std::vector<std::string>& volume_queries() const { return volume_queries_; }
  void set_upcoming(DirRef dir, UpcomingFiles* files) override;
  // For each file opened while the walk told what comes next: the names it
  // told then, and the names opened after it until it stopped telling.
  struct Foretold {
    std::vector<std::string> told, opened;
  };
  const std::vector<Foretold>& foretold() const { return foretold_; }

 private:
  struct Node;
  Node* find(const std::string& path, bool make);
  Node* child(Node* dir, const char* name) const;
  Node* make_child(Node* dir, const std::string& name, EntryKind kind);

  std::unique_ptr<Node> root_;
  std::vector<Node*> dirs_;  // open directories by DirRef
  struct Open {
    Node* node;
    size_t position;
  };
  std::vector<Open> files_;
  size_t budget_ = 1024;
  size_t read_limit_ = 0;
  size_t stream_reads_ = 0;
  size_t open_dirs_ = 0, most_open_ = 0, open_files_ = 0;
  uint64_t next_node_ = 1;
  FileSystemKind kind_ = FileSystemKind::kOther;
  bool change_times_wanted_ = false;
  DosPattern pattern_;
  std::vector<std::string> stream_probes_, volume_queries_;
  UpcomingFiles* upcoming_ = nullptr;
  size_t group_start_ = 0;  // the first of foretold_ told by upcoming_
  std::vector<Foretold> foretold_;
};
