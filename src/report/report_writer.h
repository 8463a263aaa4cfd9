// Report writers: each turns decoded records into the bytes of one report
// format and writes them, a record at a time, to the report's sink.  The
// formats, and the writer of each, are the table of report_formats.h.
#pragma once

#include "decode/record_sink.h"
#include "decode/recycle_record.h"
#include "platform/platform.h"
#include "report/report_sink.h"

// What the writers need to know of the run.
struct WriterSettings {
  FileTime run_start = 0;   // when the run started
  const char* codepage = "CP1252";  // the ANSI code page of INFO2 paths
};

class ReportWriter : public RecordSink {
 public:
  // The header line, where the format has one.  False when it could not be
  // written.
  virtual bool write_header() = 0;
  // One record (a file that could not be opened is a record too).  False
  // when it could not be written.
  virtual bool write_record(const RecycleRecord& record) = 0;

  // RecordSink: the decoder's records are written as they come.
  bool take(const RecycleRecord& record) final { return write_record(record); }
};
