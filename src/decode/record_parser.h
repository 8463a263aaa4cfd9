// Record parsers: each reads the files of one layout into records.  A
// parser claims a file by its name, then by its first bytes (it may decline
// a file whose bytes are not of its layout, and the next parser is asked);
// the decoder asks the parsers of the table (record_parsers()) in order.
// The carved index files of an image go the same way as walked ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "decode/record_sink.h"
#include "decode/recycle_record.h"
#include "platform/file_system.h"

constexpr size_t kIndexReadSize = 65536;  // bytes of an index file ever read first

// The open file a parser is given, with its first bytes already read into
// the decoder's input buffer.  Nothing here allocates.
class ParserInput {
 public:
  ParserInput(FileSystem* fs, FileRef file, unsigned char* buffer, size_t capacity)
      : fs_(fs), file_(file), buffer_(buffer), capacity_(capacity) {}

  // The first bytes of the file: one read of kIndexReadSize bytes, unless
  // fill_head() read on.
  const unsigned char* head() const { return buffer_; }
  size_t head_size() const { return head_size_; }
  // Reads the first bytes (one read; nothing for kNoFile).
  void read_head();
  // Reads on until the first kIndexReadSize bytes are in or the file ends.
  void fill_head();
  // Whether a read has found the end of the file.
  bool at_end() const { return at_end_; }

  // The whole input buffer (at least kIndexReadSize bytes), for a parser
  // that reads the rest of the file piece by piece through it.
  unsigned char* buffer() const { return buffer_; }
  size_t capacity() const { return capacity_; }
  // Reads until `size` bytes are in or the file ends; the number read.
  size_t read_fully(unsigned char* into, size_t size);

 private:
  FileSystem* fs_;
  FileRef file_;
  unsigned char* buffer_;
  size_t capacity_;
  size_t head_size_ = 0;
  bool at_end_ = false;
};

// What a parser knows of the run.
struct ParserSettings {
  FileTime run_start = 0;           // when the run started
  const char* codepage = "CP1252";  // the ANSI code page of INFO2 paths
};

// Looks up an entry beside the file being parsed, filling a record's
// companion (missing when there is no such entry).
class CompanionLookup {
 public:
  virtual ~CompanionLookup() = default;
  virtual void look_up(const char* name, CompanionInfo* out) = 0;
};

// Everything a parser works with besides the file.
struct ParseContext {
  // The record as the decoder began it: where the file is, its name, the
  // folder's SID, its companion, and the warnings already known.  A parser
  // fills it in (or copies it for each record of a file that holds many).
  RecycleRecord* record = nullptr;
  const ParserSettings* settings = nullptr;
  CompanionLookup* companions = nullptr;
  RecordSink* sink = nullptr;
  // A buffer for a name a parser makes (reserved beforehand, so that no
  // file costs an allocation); a record may point into it.
  std::string* name_buffer = nullptr;
};

enum class ParseResult {
  kDeclined,     // not of this parser's layout; nothing was handed on
  kTaken,        // every record was handed on and taken
  kNotTaken,     // the sink refused a record: the report could not be written
};

class RecordParser {
 public:
  virtual ~RecordParser() = default;
  // Whether a file of this name may be of this parser's layout.
  virtual bool claims_name(const char* name) const = 0;
  // Reads the file's records and hands each to the sink.
  virtual ParseResult parse(ParserInput& input, ParseContext& context) const = 0;
};

// The parsers, in the order they are asked; the last takes every file.
std::span<const RecordParser* const> record_parsers();

// Adds "size-mismatch" to a record whose companion file's size differs from
// the size it records.
void check_companion_size(RecycleRecord* record);
