// What the run reads of a record's companion beyond its folder entry (its
// digests, its Zone.Identifier stream, a copy of it), given the file
// system, the folder and the companion's name: the index files' records,
// an INFO2 file's and any other record that names a file get it by the
// same call.
#pragma once

#include "decode/recycle_record.h"
#include "platform/file_system.h"

class CompanionExaminer {
 public:
  virtual ~CompanionExaminer() = default;
  // Called for every record whose companion `name` of `dir` is there, just
  // before the record is handed on; fills the record's companion fields
  // (which may point into the examiner's own buffers until the next call).
  virtual void examine(FileSystem* fs, DirRef dir, const char* name, RecycleRecord* record) = 0;
};
