#include "runlog/banner.h"

#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace {

constexpr int kRowLength = 76;
constexpr int kHalfWidth = kRowLength / 2;
constexpr int kPrintWidth = 80;
constexpr char kMark[] = "\xFB";

std::string top_row() { return "\xC9" + std::string(kRowLength - 2, '\xCD') + "\xBB"; }
std::string blank_row() { return "\xBA" + std::string(kRowLength - 2, ' ') + "\xBA"; }
std::string bottom_row() { return "\xC8" + std::string(kRowLength - 2, '\xCD') + "\xBC"; }

// The blank row with `text` placed around the middle.
std::string placed_row(const std::string& text) {
  std::string row = blank_row();
  const size_t start = static_cast<size_t>(kHalfWidth - static_cast<int>(text.size()) / 2);
  row.replace(start, text.size(), text);
  return row;
}

// (width - length) / 2 spaces, then the text.
std::string centered(const std::string& text, int width = kPrintWidth) {
  const int pad = (width - static_cast<int>(text.size())) / 2;
  return std::string(pad > 0 ? static_cast<size_t>(pad) : 0, ' ') + text;
}

// Code page 437 box characters in UTF-8, for a console that shows UTF-8.
std::string to_console(const std::string& text) {
  if (!console_uses_utf8()) return text;
  std::string out;
  for (char c : text) {
    switch (static_cast<unsigned char>(c)) {
      case 0xC9: out += "\u2554"; break;
      case 0xCD: out += "\u2550"; break;
      case 0xBB: out += "\u2557"; break;
      case 0xBA: out += "\u2551"; break;
      case 0xC8: out += "\u255A"; break;
      case 0xBC: out += "\u255D"; break;
      case 0xFB: out += "\u221A"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

int print_centered(std::string* out, const std::string& text, int width) {
  const std::string line = centered(text, width);
  out->append(line);
  return static_cast<int>(line.size());
}

std::string make_version_text(const char* date, const char* time, const char* mark) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::string text;
  if (strlen(date) >= 11) text.append(date + 9, 2);
  text += '.';
  for (int m = 0; m < 12; ++m) {
    if (strncmp(date, kMonths[m], 3) == 0) {
      text += static_cast<char>('0' + (m + 1) / 10);
      text += static_cast<char>('0' + (m + 1) % 10);
      break;
    }
  }
  text += '.';
  if (strlen(date) >= 6) {
    text += date[4] == ' ' ? '0' : date[4];
    text += date[5];
  }
  text += '.';
  text.append(time, strnlen(time, 5));
  for (char& c : text)
    if (c == ':') c = '.';
  if (mark) text += mark;
  return text;
}

namespace {

// The seven rows of the box, before centring.
std::vector<std::string> banner_rows(const char* date, const char* time) {
  const std::string version = make_version_text(date, time, kMark);
  const std::string word_size = sizeof(void*) == 8 ? " 64 BIT" : " 32 BIT";
  return {top_row(),
          placed_row("BINSIFT"),
          placed_row("Ver. " + version + word_size),
          blank_row(),
          placed_row("Recycle bin index decoder: one row per $I file"),
          placed_row("Redirect standard output to keep the report"),
          bottom_row()};
}

}  // namespace

std::string banner_text(int start_line, const char* date, const char* time) {
  std::string out;
  for (int line = start_line; line <= 29; ++line) out += '\n';
  for (const std::string& row : banner_rows(date, time)) {
    print_centered(&out, row, kPrintWidth);
    out += '\n';
  }
  return out;
}

std::string program_version() { return make_version_text(__DATE__, __TIME__, nullptr); }

void print_banner(int start_line) {
  // Composed first and written at once.
  fputs(to_console(banner_text(start_line, __DATE__, __TIME__)).c_str(), stderr);
}
