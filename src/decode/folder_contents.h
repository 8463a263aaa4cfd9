// Recycled folders' contents: after a record whose companion is a folder
// (a deleted folder's $R entry, or a Dc folder of an INFO2 bin), one
// "content" record for every entry below it, depth first, each folder
// before its entries, each folder's entries in listing order.  A link is an
// entry of kind "other" and is never followed.  The folder is read through
// the file system the record was found in, with the same calls as the walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "decode/companion_examiner.h"
#include "decode/record_sink.h"
#include "decode/recycle_record.h"
#include "platform/file_system.h"

// Hands every record on to `next`, each followed by the records of what its
// companion folder holds.  Memory stays bounded whatever the depth or the
// size of a folder: the folders of the branch are held on a stack of its
// own (never the machine's), at most a few open at once, and a folder's
// names are kept a batch at a time; once warmed up, no entry costs an
// allocation.
class FolderContents final : public RecordSink {
 public:
  explicit FolderContents(RecordSink* next);

  // RecordSink: false when the report could not be written.
  bool take(const RecycleRecord& record) override;

  // Has `examiner` read what the run asks of every entry (its digests, its
  // Zone.Identifier stream) before its record is handed on; null: nothing.
  void set_examiner(CompanionExaminer* examiner) { examiner_ = examiner; }

  // Folders inside recycled folders that could not be read so far; each
  // was named on the error stream.
  int unreadable_directories() const { return unreadable_; }
  // Whether Esc ended the listing of a folder (the run then ends as an
  // aborted walk does).
  bool aborted() const { return aborted_; }

 private:
  struct Frame {
    DirRef dir;               // kNoDir while closed to stay within the budget
    size_t directory_length;  // of directory_ with this folder in it
    size_t content_length;    // of content_path_ with this folder in it
    size_t names_start;       // this folder's batch in names_ and entries_
    size_t entries_start, entries_end, next;
    uint64_t listed;          // entries of the listing before this batch
    bool complete;            // the batch runs to the end of the listing
    bool abandoned;           // lost: nothing more is read from it
    bool identified;
    DirIdentity identity;     // taken when the handle was closed
  };
  struct Entry {
    uint32_t name;  // in names_
    EntryKind kind;
  };
  class Batch;

  // Writes the contents of the folder `name` of `folder` below `record`.
  // False when the report could not be written or Esc was pressed.
  bool write_contents(const RecycleRecord& record, FileSystem* fs, DirRef folder,
                      std::string_view name);
  // Opens a frame for `dir` and reads its first batch.
  void enter(DirRef dir);
  // Reads the frame's next batch of names; false when there is none.
  bool read_batch(Frame* frame);
  // Closes the top frame, opening its parent again where it was closed.
  void leave();
  void keep_within_budget();
  void close_all();
  // Writes the content record of the entry `name` of the top frame.
  bool write_entry(const char* name, EntryKind listed, EntryInfo* info);
  void report_unreadable(std::string_view directory, const std::string& reason);

  RecordSink* next_;
  CompanionExaminer* examiner_ = nullptr;
  FileSystem* fs_ = nullptr;
  int unreadable_ = 0;
  bool aborted_ = false;
  RecycleRecord content_;      // the record each entry is written as
  std::string folder_name_;    // the recycled folder's name, ended by a NUL
  std::string parent_source_;  // the index record's source
  std::string directory_;      // the folder being read, as text, from the bin's folder
  // Its path below the recycled folder, names joined with a backslash.
  std::string content_path_;
  char separator_ = '/';       // as the index record's directory writes it
  std::vector<Frame> frames_;
  std::string names_;
  std::vector<Entry> entries_;
  size_t open_count_ = 0;
  size_t first_open_ = 0;  // frames below this one are closed
  std::string message_;
};
