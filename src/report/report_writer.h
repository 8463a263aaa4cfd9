// Report writers: each turns decoded records into the bytes of one report
// format and writes them, a record at a time, to standard output and to the
// output file when one is open.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "decode/recycle_record.h"

// The report's destinations.  Each write goes to every one of them whole.
class ReportSink {
 public:
  explicit ReportSink(FileHandle primary) : primary_(primary) {}
  // The output file that receives a copy of everything from now on, or
  // kInvalidHandle for none.
  void set_copy(FileHandle copy) { copy_ = copy; }
  FileHandle copy() const { return copy_; }
  // False when a destination could not take the bytes.
  bool write(const char* data, size_t size);
  // After a failed write: the destination that failed first, and the
  // system's reason.
  FileHandle failed() const { return failed_; }
  const std::string& failure_reason() const { return reason_; }

 private:
  void note_failure(FileHandle handle);

  FileHandle primary_;
  FileHandle copy_ = kInvalidHandle;
  FileHandle failed_ = kInvalidHandle;
  std::string reason_;
};

enum class ReportFormat { kSeed, kCsv, kTsv, kJsonLines, kBody };

// The format a --format value names; false for an unknown name.
bool parse_report_format(std::string_view name, ReportFormat* out);

// What the writers need to know of the run.
struct WriterSettings {
  FileTime run_start = 0;   // when the run started
  const char* codepage = "CP1252";  // the ANSI code page of INFO2 paths
};

class ReportWriter {
 public:
  virtual ~ReportWriter() = default;
  // The header line, where the format has one.  False when it could not be
  // written.
  virtual bool write_header() = 0;
  // One record (a file that could not be opened is a record too).  False
  // when it could not be written.
  virtual bool write_record(const RecycleRecord& record) = 0;
};

std::unique_ptr<ReportWriter> make_report_writer(ReportFormat format, ReportSink* sink,
                                                 const WriterSettings& settings);
