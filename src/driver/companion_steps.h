// What the run reads of each record's companion beyond its entry: its
// digests (--hash), what its Zone.Identifier stream says (the UTF-8
// formats) and a copy of it (--collect), each file read once for all of
// them.  A companion that cannot be read is named on the error stream; the
// record keeps its row, with empty digests.
#pragma once

#include <memory>
#include <string>

#include "collect/collector.h"
#include "companion/file_digests.h"
#include "companion/zone_identifier.h"
#include "decode/companion_examiner.h"
#include "walk/volume_source.h"

struct CompanionStepSettings {
  unsigned digests = 0;     // the digests the report shows (digest bits)
  bool zone = false;        // read the Zone.Identifier stream
  bool reset_times = false; // set each file's times back after reading it
  const char* codepage = "CP1252";  // INFO2 ANSI paths, for the copies' names
};

class CompanionSteps final : public CompanionExaminer, private CollectMessages {
 public:
  explicit CompanionSteps(const CompanionStepSettings& settings);
  // What takes the lines for the error stream (the run's visitor, which
  // clears the status line first); set before the first record.
  void set_messages(VolumeVisitor* messages) { messages_ = messages; }
  ~CompanionSteps() override;
  // Whether the steps read anything at all.
  bool active() const;
  // Loads the digest library and, with `collect_target`, starts the copies
  // there; false with the reason (`write_failed` when the copies' manifest
  // could not be made).
  bool open(std::unique_ptr<CopyTarget> collect_target, std::string* reason, bool* write_failed);
  void examine(FileSystem* fs, DirRef dir, const char* name, RecycleRecord* record) override;
  // Closes the manifest of the copies.
  void finish();
  // Whether a companion could not be read (the run exits 10), or a copy
  // could not be written (8).
  bool read_failed() const;
  bool write_failed() const;

 private:
  void problem(const std::string& text) override;
  void fill_digests(RecycleRecord* record);
  // Names the file just read when its times could not be set back.
  void note_restore_failure();

  CompanionStepSettings settings_;
  VolumeVisitor* messages_ = nullptr;
  std::unique_ptr<FileDigests> digests_;
  std::unique_ptr<Collector> collector_;
  std::unique_ptr<char[]> zone_buffer_;
  bool read_failed_ = false;
  std::string source_, original_path_, reason_;
};
