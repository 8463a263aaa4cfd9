#include "driver/status_line.h"

#include <vector>

#include "common/terminal_text.h"

namespace {

constexpr int64_t kDrawInterval = 100;  // ten lines a second at most

void append_number(uint64_t value, std::string* out) {
  char digits[24];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) out->push_back(digits[--n]);
}

// "12 s", "3 min 5 s", "2 h 10 min".
void append_duration(int64_t seconds, std::string* out) {
  if (seconds < 0) seconds = 0;
  const uint64_t s = static_cast<uint64_t>(seconds);
  if (s >= 3600) {
    append_number(s / 3600, out);
    out->append(" h ");
    append_number(s % 3600 / 60, out);
    out->append(" min");
  } else if (s >= 60) {
    append_number(s / 60, out);
    out->append(" min ");
    append_number(s % 60, out);
    out->append(" s");
  } else {
    append_number(s, out);
    out->append(" s");
  }
}

// The columns a character of terminal text takes: two for the wide
// characters of East Asian scripts and beyond (counted generously, so that
// the line never wraps), one otherwise.
size_t width_of(const std::string& text, size_t at, size_t* length, bool utf8) {
  const unsigned char c = static_cast<unsigned char>(text[at]);
  if (!utf8 || c < 0x80) {
    *length = 1;
    return 1;
  }
  size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
  if (at + n > text.size()) n = text.size() - at;
  *length = n;
  // From U+1100 on (E1 84 80), taken as wide.
  return (c > 0xE1 || (c == 0xE1 && n > 1 && static_cast<unsigned char>(text[at + 1]) >= 0x84))
             ? 2
             : 1;
}

size_t width(const std::string& text, size_t from, bool utf8) {
  size_t columns = 0;
  for (size_t i = from, n = 0; i < text.size(); i += n) columns += width_of(text, i, &n, utf8);
  return columns;
}

}  // namespace

void append_status_text(const StatusState& state, size_t columns, std::string* out) {
  const bool utf8 = console_uses_utf8();
  const size_t start = out->size();
  const size_t limit = columns > 1 ? columns - 1 : 0;
  append_number(state.files, out);
  out->append(state.files == 1 ? " file, " : " files, ");
  if (state.carving || state.scanning) {
    out->append(state.scanning ? "scanning " : "carving ");
    append_terminal_text(out, state.volume.data(), state.volume.size(), utf8);
    out->append(": ");
    const uint64_t total = state.carve_total;
    const uint64_t done = state.carve_done < total ? state.carve_done : total;
    append_number(total == 0 ? 0 : done * 100 / total, out);
    out->append(state.scanning ? "% of its bytes, " : "% of its metadata, ");
    if (done == 0 || state.carve_elapsed_ms < 500) {
      out->append("estimating the time left");
    } else {
      const double rest = static_cast<double>(state.carve_elapsed_ms) *
                          static_cast<double>(total - done) / static_cast<double>(done);
      out->append("about ");
      append_duration(static_cast<int64_t>(rest / 1000.0 + 0.5), out);
      out->append(" left");
    }
  } else {
    append_number(state.elapsed_ms > 0 ? state.files * 1000 / static_cast<uint64_t>(state.elapsed_ms)
                                       : 0,
                  out);
    out->append(" files/s");
    if (!state.volume.empty() || !state.directory.empty()) {
      out->append(", reading ");
      const size_t prefix_width = width(*out, start, utf8);
      std::string place;
      if (!state.volume.empty()) {
        append_terminal_text(&place, state.volume.data(), state.volume.size(), utf8);
        place.push_back(':');
      }
      append_terminal_text(&place, state.directory.data(), state.directory.size(), utf8);
      const size_t room = limit > prefix_width ? limit - prefix_width : 0;
      if (width(place, 0, utf8) <= room) {
        out->append(place);
      } else if (room > 3) {
        // The end of the folder, which names it best, after "...".
        size_t keep = place.size(), used = 3;
        std::vector<size_t> starts;
        for (size_t i = 0, n = 0; i < place.size(); i += n) {
          starts.push_back(i);
          width_of(place, i, &n, utf8);
        }
        for (size_t k = starts.size(); k > 0; --k) {
          size_t n = 0;
          const size_t w = width_of(place, starts[k - 1], &n, utf8);
          if (used + w > room) break;
          used += w;
          keep = starts[k - 1];
        }
        out->append("...");
        out->append(place, keep, std::string::npos);
      }
    }
  }
  // A line the terminal would wrap could not be drawn over: cut it.
  while (width(*out, start, utf8) > limit && out->size() > start) {
    size_t last = start;
    for (size_t i = start, n = 0; i < out->size(); i += n) {
      last = i;
      width_of(*out, i, &n, utf8);
    }
    out->resize(last);
  }
}

StatusLine::StatusLine(FileHandle handle, int64_t (*clock)()) : handle_(handle), clock_(clock) {
  int columns = 80;
  shown_ = is_terminal(handle, &columns);
  columns_ = columns > 0 ? static_cast<size_t>(columns) : 80;
  text_.reserve(1024);
  directory_.reserve(1024);
}

StatusLine::StatusLine(FileHandle handle, size_t columns, int64_t (*clock)())
    : handle_(handle), shown_(true), columns_(columns), clock_(clock) {
  text_.reserve(1024);
  directory_.reserve(1024);
}

void StatusLine::start() {
  if (!shown_) return;
  started_ = clock_();
  draw({});
}

void StatusLine::walking(std::string_view volume) {
  carving_ = false;
  scanning_ = false;
  volume_.assign(volume);
}

void StatusLine::carving(std::string_view volume, uint64_t done, uint64_t total) {
  if (!shown_) return;
  carve_done_ = done;
  carve_total_ = total;
  if (!carving_ || scanning_ || volume_ != volume) {
    // A volume's carving begins: drawn at once.
    carving_ = true;
    scanning_ = false;
    volume_.assign(volume);
    carve_started_ = clock_();
    draw(directory_);
    return;
  }
  draw_if_due();
}

void StatusLine::scanning(std::string_view volume, uint64_t done, uint64_t total) {
  if (!shown_) return;
  carve_done_ = done;
  carve_total_ = total;
  if (!scanning_ || volume_ != volume) {
    // A scan begins: drawn at once.
    carving_ = false;
    scanning_ = true;
    volume_.assign(volume);
    carve_started_ = clock_();
    draw(directory_);
    return;
  }
  draw_if_due();
}

void StatusLine::file(std::string_view directory, const char*, size_t) {
  ++files_;
  if (!shown_) return;
  // The folder changes seldom: kept when it does, for the last line.
  if (directory != directory_) directory_.assign(directory);
  draw_if_due();
}

void StatusLine::finish() {
  if (!shown_) return;
  carving_ = false;
  scanning_ = false;
  draw(directory_);
  erase();
}

void StatusLine::erase() {
  if (!shown_ || drawn_width_ == 0) return;
  text_.assign("\r");
  text_.append(drawn_width_, ' ');
  text_.push_back('\r');
  write_handle(handle_, text_.data(), text_.size());
  drawn_width_ = 0;
}

void StatusLine::draw_if_due() {
  if (clock_() >= next_draw_) draw(directory_);
}

void StatusLine::draw(std::string_view directory) {
  const int64_t now = clock_();
  next_draw_ = now + kDrawInterval;
  StatusState state;
  state.files = files_;
  state.elapsed_ms = now - started_;
  state.volume = volume_;
  state.directory = directory;
  state.carving = carving_;
  state.scanning = scanning_;
  state.carve_done = carve_done_;
  state.carve_total = carve_total_;
  state.carve_elapsed_ms = now - carve_started_;
  text_.assign("\r");
  append_status_text(state, columns_, &text_);
  const size_t drawn = width(text_, 1, console_uses_utf8());
  // What is left of a longer line before is covered.
  if (drawn < drawn_width_) text_.append(drawn_width_ - drawn, ' ');
  drawn_width_ = drawn > drawn_width_ ? drawn : drawn_width_;
  write_handle(handle_, text_.data(), text_.size());
}
