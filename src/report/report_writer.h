// Reporting: a report writer turns decoded records into the bytes of one
// report format and writes them, a record at a time, to the report's sink
// (standard output and the output file, report_sink.h).  The formats, and
// the writer of each (one file per writer: seed_writer.cc, csv_writer.cc,
// ...), are the table of report_formats.h; the output file and its prompt
// are output_file.h and report_output.h.  This folder includes decode/ (the
// records), common/ and platform/.
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
