// The status line of the UTF-8 formats: in place of a "Processing:" line per
// file, one line on the error stream, drawn over itself when that stream is
// a terminal (and never otherwise): the files done, the files per second and
// the folder being read; while a volume's metadata is carved, the volume,
// the share of it done and the time left; while raw bytes are scanned, the
// same for its bytes.  It is drawn when the walk starts
// and when a volume's carving starts, then at most ten times a second, and
// last with the final count; it is erased before the summary and before the
// messages of the volume source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "decode/decode_progress.h"
#include "platform/platform.h"

// What the line shows at one moment.
struct StatusState {
  uint64_t files = 0;
  int64_t elapsed_ms = 0;        // since the walk started
  std::string_view volume;       // "p2" in an image, else empty
  std::string_view directory;    // the folder being read
  bool carving = false;
  // Scanning raw bytes (the volume's unallocated clusters, or the file
  // named by `volume`); carve_done and carve_total then count bytes.
  bool scanning = false;
  uint64_t carve_done = 0, carve_total = 0;  // metadata entries of the volume
  int64_t carve_elapsed_ms = 0;  // since the volume's carving started
};

// Appends the line's text, at most `columns` - 1 characters wide (a long
// folder keeps its end after "..."), names made safe for a terminal.
void append_status_text(const StatusState& state, size_t columns, std::string* out);

class StatusLine final : public DecodeProgress {
 public:
  // Draws on `handle` when it is a terminal; `clock` gives milliseconds.
  explicit StatusLine(FileHandle handle, int64_t (*clock)() = coarse_milliseconds);
  // The same, on a terminal of `columns` columns whatever `handle` is.
  StatusLine(FileHandle handle, size_t columns, int64_t (*clock)());

  bool shown() const { return shown_; }
  // The walk starts: the first line.
  void start();
  // A walk of a folder of `volume` ("" on a mounted tree) begins.
  void walking(std::string_view volume);
  // `done` of the `total` metadata entries of `volume` are searched (the
  // first call of a volume is drawn at once).
  void carving(std::string_view volume, uint64_t done, uint64_t total);
  // `done` of the `total` bytes of `volume` (or of the file of that name)
  // are scanned (the first call of a volume is drawn at once).
  void scanning(std::string_view volume, uint64_t done, uint64_t total);
  // DecodeProgress: one more file, in `directory`.
  void file(std::string_view directory, const char* name, size_t name_length) override;
  // The last line, with the final count, then erased.
  void finish();
  // Takes the line off the terminal (it comes back with the next draw).
  void erase();

 private:
  void draw_if_due();
  void draw(std::string_view directory);

  FileHandle handle_;
  bool shown_;
  size_t columns_ = 80;
  int64_t (*clock_)();
  int64_t started_ = 0, next_draw_ = 0, carve_started_ = 0;
  uint64_t files_ = 0;
  std::string volume_, directory_;
  bool carving_ = false;
  bool scanning_ = false;
  uint64_t carve_done_ = 0, carve_total_ = 0;
  size_t drawn_width_ = 0;  // characters of the line on the terminal now
  std::string text_;
};
