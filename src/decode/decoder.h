// Decoding: the record decoder takes one index file in and hands its
// record (or records) to a record sink (record_sink.h), with a progress
// line on the error stream.  The file goes to the record parsers of
// record_parser.h (the INFO2 file, the $I file), each claiming the files of
// one layout; a record (recycle_record.h) says what the file says, where it
// was found and what its companion is; the names of formats and warnings
// are the table of record_formats.h.  This folder includes only common/
// and platform/: it knows nothing of the reports.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "decode/companion_examiner.h"
#include "decode/decode_progress.h"
#include "decode/record_parser.h"
#include "decode/record_scan.h"
#include "decode/record_sink.h"
#include "decode/recycle_record.h"
#include "platform/file_system.h"

extern int32_t g_file_count;  // files handed to the decoder

struct DecoderSettings {
  bool reset_times = false;  // set each index file's times back after reading it
  FileTime run_start = 0;    // when the run started
  const char* codepage = "CP1252";  // the ANSI code page of INFO2 paths
  // Records carry the index file's own times and metadata address, and the
  // companion's change time (what the UTF-8 formats show).
  bool file_metadata = false;
  // A companion that is gone is looked for among the names its folder keeps
  // for deleted entries ("companion-deleted": image runs with --carve).
  bool deleted_companions = false;
};

constexpr size_t kInputBufferSize = 262224;

// The decoder's buffers, made once when the run starts so that running out
// of memory shows there, and never while files are decoded.
struct DecoderBuffers {
  // The first bytes of each index file; an INFO2 file's records, piece by
  // piece.
  std::vector<unsigned char> input;
  std::string companion_name;
  std::string progress;  // erase sequence and progress line, written at once
  std::string message;
  std::string entry_name;            // an INFO2 record's "Dc<N><ext>"
  // The scanner's blocks, made when the first scan begins.
  std::vector<unsigned char> scan;
  void reserve_text() {
    companion_name.reserve(1040);
    entry_name.reserve(1040);
    progress.reserve(4096);
    message.reserve(1040);
  }
};

class IndexDecoder final : private CompanionLookup, private RecordSink, private ScanHits {
 public:
  // `buffers` made beforehand, or null for buffers of the decoder's own.
  IndexDecoder(FileSystem* fs, RecordSink* sink, FileHandle progress,
               const DecoderSettings& settings, DecoderBuffers* buffers = nullptr);

  // Decodes the file `name` of the open directory `dir`, whose path (for
  // text) is `directory`, ending with the separator.  `kind` is what the
  // listing said the entry is.  False when the report could not be written.
  bool decode(DirRef dir, std::string_view directory, const char* name, EntryKind kind);

  // Decodes an index file recovered from a volume's metadata (it is in no
  // folder any more): `file` is open and stays open, `parent` is the folder
  // its companion is looked up in (kNoDir when there is none) and
  // `directory` the folder's path as text.  The record carries the
  // "recovered" warning.  False when the report could not be written.
  bool decode_recovered(DirRef parent, std::string_view directory, const char* name,
                        FileRef file);

  // A scanner of raw bytes whose records go through this decoder: their
  // source is `prefix` ("SCAN:p1:", "SCAN:FILE:"), their image and volume
  // the ones set last, their offset where each lies, and they carry the
  // warnings "recovered" and "scanned".  The scanner uses the decoder's
  // buffers: one scan at a time.
  RecordScanner scanner(std::string_view prefix);

  // What a record's source field starts with ("IMAGE:p1:" in an image).
  void set_source_prefix(std::string_view prefix) { prefix_.assign(prefix); }
  // Where each file's progress is shown instead of its "Processing:" line
  // on the progress handle (null: that line).
  void set_progress(DecodeProgress* progress) { progress_shown_ = progress; }
  // The image and the volume the next files are read from (empty on a
  // mounted tree).
  void set_volume(std::string_view image, std::string_view volume) {
    image_.assign(image);
    volume_.assign(volume);
  }
  // The file system the next files are read from (each volume of an image
  // is one of its own).
  void set_file_system(FileSystem* fs);
  // What reads each record's companion beyond its entry (null: nothing).
  void set_examiner(CompanionExaminer* examiner) { examiner_ = examiner; }

 private:
  // A fresh record for the file `name` of `directory`.
  void begin_record(std::string_view directory, const char* name, size_t name_length);
  // The open index file's own times and metadata address, into the record.
  void read_file_metadata(FileRef file);
  void look_up_companion(DirRef dir, const char* name, size_t name_length);
  // CompanionLookup: an entry of the folder of the file being parsed.
  void look_up(const char* name, CompanionInfo* out) override;
  // RecordSink: a parsed record, its companion examined, to the sink.
  bool take(const RecycleRecord& record) override;
  // Hands the open file (kNoFile: one that reads nothing) to the first
  // parser that takes it.  False when the report could not be written.
  bool parse(DirRef dir, const char* name, FileRef file);
  void write_progress(std::string_view directory, const char* name, size_t name_length);
  void reset_times(FileRef file, bool captured, const SavedTimes& saved);
  // ScanHits: a record the scanner found.
  bool hit(RecordFormat format, uint64_t offset, const unsigned char* bytes,
           size_t length) override;

  FileSystem* fs_;
  RecordSink* sink_;
  FileHandle progress_;
  DecodeProgress* progress_shown_ = nullptr;
  DecoderSettings settings_;
  ParserSettings parser_settings_;
  DecoderBuffers own_;
  DecoderBuffers& buffers_;
  std::string prefix_;
  std::string image_, volume_;
  int32_t progress_length_ = 0;  // characters of the previous progress line
  DirRef dir_ = kNoDir;          // the folder of the file being parsed
  RecycleRecord record_;
  CompanionExaminer* examiner_ = nullptr;
  RecycleRecord examined_;  // the record handed on after its examination
};

// Appends the progress line for a file; a path of 80 characters or more
// shows the file name alone.  Bytes that could drive a terminal are written
// as "?".  Returns the characters appended.
int32_t append_progress_line(std::string* out, const char* directory, size_t dir_len,
                             const char* file_name, size_t name_len);

// Appends to `out` the sequence that erases a progress line of `count`
// characters: backspaces, spaces, backspaces.
void erase_progress(std::string* out, int32_t count);
