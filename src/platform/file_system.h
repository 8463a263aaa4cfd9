// The file system as the walk and the decoder see it: directories held open
// by handle, entries looked up and files opened relative to them.  The real
// file system of each platform, an evidence image and the in-memory tree of
// the unit tests implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

// An open directory or file of one FileSystem; what it holds is the
// implementation's business.  kNoDir and kNoFile mean "could not be opened".
using DirRef = intptr_t;
using FileRef = intptr_t;
constexpr DirRef kNoDir = -1;
constexpr FileRef kNoFile = -1;

// One entry of a directory listing.  `name` stays valid until the visitor
// returns.
struct DirEntry {
  const char* name = nullptr;
  size_t name_length = 0;
  EntryKind kind = EntryKind::kUnknown;  // as the listing tells, links not followed
  // The entry is a directory as the system's search shows it: a real one,
  // or (on Windows) a junction or directory link, which is never entered.
  bool directory = false;
};

class DirEntryVisitor {
 public:
  virtual ~DirEntryVisitor() = default;
  // Called for every entry the listing yields; false stops the listing.
  virtual bool visit(const DirEntry& entry) = 0;
};

// What a lookup of one name (without following a final link) tells.
struct EntryInfo {
  EntryKind kind = EntryKind::kUnknown;
  uint64_t size = 0;          // bytes, for a regular file
  EntryTimes times;           // a time the file system does not keep is 0
  // The entry's metadata address as an examiner's tools take it (an
  // image's NTFS MFT entry, for istat); none on a mounted file system.
  bool has_address = false;
  uint64_t address = 0;
};

// Identifies a directory within its file system, so that one opened again
// can be checked to be the one that was left.
struct DirIdentity {
  uint64_t volume = 0;
  uint64_t node = 0;
  bool operator==(const DirIdentity&) const = default;
};

// The files a walk opens next in one directory, in the order it opens
// them (a file system may ask for their data ahead of time).
class UpcomingFiles {
 public:
  virtual ~UpcomingFiles() = default;
  // The `ahead`-th file the walk opens after the one it opened last (1: the
  // next one); false when it knows of none.
  virtual bool upcoming(size_t ahead, const char** name, EntryKind* kind) = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens the directory named by `path` (as the user gave it) where a walk
  // starts.  kNoDir and the system's reason in `error` when it cannot be.
  virtual DirRef open_directory(const char* path, std::string* error) = 0;
  // Opens the subdirectory `name` of `parent`, never through a link.
  virtual DirRef open_subdirectory(DirRef parent, const char* name, std::string* error) = 0;
  // Opens the subdirectory `name` of `parent` as open_subdirectory does,
  // to be read whole outside the walk: it lists everything it holds, also
  // where a volume lists a folder's entries once (an image's NTFS volume).
  virtual DirRef open_subdirectory_anew(DirRef parent, const char* name, std::string* error) {
    return open_subdirectory(parent, name, error);
  }
  // Opens the parent of `child` again (the walk closes directories it is
  // not using when a branch is deeper than open_directory_budget()).
  virtual DirRef open_parent(DirRef child, std::string* error) = 0;
  // The identity of an open directory; false when it cannot be told.
  virtual bool identify_directory(DirRef dir, DirIdentity* out) = 0;
  virtual void close_directory(DirRef dir) = 0;
  // How many directories the walk may hold open at once.
  virtual size_t open_directory_budget() const = 0;

  // Lists `dir`: every entry ("." and ".." included where the file system
  // has them) whose name `pattern` matches as the Windows directory search
  // matches it ("*" for all).  False, with the reason, when the listing
  // failed; entries visited before the failure stand.
  virtual bool list_directory(DirRef dir, const char* pattern, DirEntryVisitor* visitor,
                              std::string* error) = 0;
  // True when every file pattern must be given to list_directory itself,
  // because the system's search also matches names a listing does not show
  // (8.3 short names).
  virtual bool search_per_pattern() const = 0;

  // Looks up `name` in `dir` without following a final link.  False when
  // there is no such entry.
  virtual bool lookup(DirRef dir, const char* name, EntryInfo* out) = 0;
  // Whether lookups also give the change time where that costs more than
  // the lookup (Windows opens the entry for it); off until asked for.
  virtual void want_change_times(bool wanted) = 0;
  // Whether `dir` still names `name` for an entry that is no longer in use
  // (a deleted file whose name an image's folder keeps); false where the
  // file system shows no such names.
  virtual bool names_deleted_entry(DirRef dir, const char* name) = 0;

  // Tells which files the walk opens in `dir` next (null: no more are
  // known), until it tells again; none of them is opened before the walk
  // would open it unless it is read as it was then, and none is read ahead
  // in a way that changes a time.
  virtual void set_upcoming(DirRef dir, UpcomingFiles* files) {
    (void)dir;
    (void)files;
  }

  // Opens the file `name` of `dir` for reading.  Only a regular file (after
  // links are followed) is opened, and never in a way that can block.
  // `hint` is the kind the listing reported, which may spare a query.
  virtual FileRef open_file(DirRef dir, const char* name, EntryKind hint) = 0;
  // Reads up to `size` bytes from the current position; the number read,
  // 0 at the end or on failure.
  virtual size_t read_file(FileRef file, void* buffer, size_t size) = 0;
  virtual void close_file(FileRef file) = 0;
  // What lookup() tells of an entry, for the open file itself.  False when
  // it cannot be had.
  virtual bool file_info(FileRef file, EntryInfo* out) = 0;
  // The open file's own times, at the file system's full precision, and
  // their setting back through the same open file.
  virtual bool capture_times(FileRef file, SavedTimes* out) = 0;
  virtual bool restore_times(FileRef file, const SavedTimes& times) = 0;
  // Why the last read of `file` gave nothing before the end of its data;
  // empty when it met the end (or the system tells no reason).
  virtual std::string read_error(FileRef) { return std::string(); }

  // Reads up to `capacity` bytes of the named data stream `stream` of the
  // entry `name` of `dir` (a final link not followed) into `buffer`, the
  // number read in `length`; false where the entry has no such stream or
  // the file system shows none.
  virtual bool read_named_stream(DirRef, const char* /*name*/, const char* /*stream*/,
                                 char* /*buffer*/, size_t /*capacity*/, size_t* /*length*/) {
    return false;
  }

  // The named (alternate) data streams of an open directory, as
  // count_named_streams() counts them.
  virtual int count_streams(DirRef dir, int* failure, int* line) = 0;
  // The kind of file system that holds `path` (the first listed directory).
  virtual FileSystemKind volume_kind(const char* path) = 0;
};

// The file system of the machine the program runs on.
FileSystem* real_file_system();
