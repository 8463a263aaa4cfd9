// Where decoded records go, one at a time: the report's writer, or anything
// else that takes them (a test's collector).
#pragma once

#include "decode/recycle_record.h"

class RecordSink {
 public:
  virtual ~RecordSink() = default;
  // Takes one record, valid only during the call.  False when it could not
  // be kept (the report could not be written), which ends the walk.
  virtual bool take(const RecycleRecord& record) = 0;
};
