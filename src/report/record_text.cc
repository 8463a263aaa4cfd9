#include "report/record_text.h"

#include <array>

#include "platform/file_time.h"
#include "platform/utf8.h"

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
constexpr char kHexDigits[] = "0123456789ABCDEF";

constexpr uint64_t kTicksPerDay = 86400 * kTicksPerSecond;

// Writes `value` in at least `width` digits (zero-filled) ending at `end`;
// returns where they start.
char* put_digits(uint64_t value, int width, char* end) {
  char* p = end;
  do {
    *--p = static_cast<char>('0' + value % 10);
    value /= 10;
    --width;
  } while (value != 0);
  while (width-- > 0) *--p = '0';
  return p;
}

void append_digits(uint64_t value, int width, std::string* out) {
  char digits[24];
  char* const end = digits + sizeof digits;
  const char* start = put_digits(value, width, end);
  out->append(start, static_cast<size_t>(end - start));
}

bool in_range(FileTime time) { return time != 0 && time < kFirstTickOf10000; }

}  // namespace

void append_valid_utf8(std::string_view text, std::string* out) {
  size_t i = 0;
  while (i < text.size()) {
    size_t run = i;
    for (;;) {
      while (run < text.size() && static_cast<unsigned char>(text[run]) < 0x80) ++run;
      if (run == text.size()) break;
      const size_t n = utf8_sequence_length(text, run);
      if (n == 0) break;
      run += n;
    }
    out->append(text.data() + i, run - i);
    if (run < text.size()) {
      out->append(kReplacement, 3);
      ++run;
    }
    i = run;
  }
}

bool append_iso8601(FileTime time, std::string* out) {
  if (!in_range(time)) return false;
  SystemTime t;
  if (!file_time_to_system_time(time, &t)) return false;
  const uint64_t rest = time % kTicksPerDay;
  const uint64_t seconds = rest / kTicksPerSecond;
  // "YYYY-MM-DDThh:mm:ss.fffffffZ", filled from its end.
  char text[28];
  char* p = text + sizeof text;
  *--p = 'Z';
  p = put_digits(rest % kTicksPerSecond, 7, p);
  *--p = '.';
  p = put_digits(seconds % 60, 2, p);
  *--p = ':';
  p = put_digits(seconds / 60 % 60, 2, p);
  *--p = ':';
  p = put_digits(seconds / 3600, 2, p);
  *--p = 'T';
  p = put_digits(t.day, 2, p);
  *--p = '-';
  p = put_digits(t.month, 2, p);
  *--p = '-';
  p = put_digits(t.year, 4, p);
  out->append(p, sizeof text);
  return true;
}

bool filetime_to_unix_seconds(FileTime time, int64_t* out) {
  *out = 0;
  if (!in_range(time)) return false;
  // Both terms fit: the time is below 2^62 ticks.
  *out = static_cast<int64_t>(time / kTicksPerSecond) - kSecondsFrom1601To1970;
  return true;
}

std::string_view path_extension(std::string_view path) {
  const size_t slash = path.rfind('\\');
  const size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot < start) return {};
  return path.substr(dot + 1);
}

void append_decimal(int64_t value, std::string* out) {
  if (value < 0) {
    out->push_back('-');
    append_digits(0 - static_cast<uint64_t>(value), 1, out);
  } else {
    append_digits(static_cast<uint64_t>(value), 1, out);
  }
}

void append_unsigned(uint64_t value, std::string* out) { append_digits(value, 1, out); }

void append_csv_field(std::string_view text, std::string* out) {
  // Bytes that make a field quoted: ',', '"', CR and LF.
  static constexpr auto kQuoted = [] {
    std::array<bool, 256> t{};
    t[','] = t['"'] = t['\r'] = t['\n'] = true;
    return t;
  }();
  size_t first = 0;
  while (first < text.size() && !kQuoted[static_cast<unsigned char>(text[first])]) ++first;
  if (first == text.size()) {
    out->append(text);
    return;
  }
  out->push_back('"');
  size_t from = 0;
  for (size_t i = first; i < text.size(); ++i) {
    if (text[i] != '"') continue;
    out->append(text.data() + from, i + 1 - from);  // the quote, then its double
    out->push_back('"');
    from = i + 1;
  }
  out->append(text.data() + from, text.size() - from);
  out->push_back('"');
}

void append_tsv_field(std::string_view text, std::string* out) {
  size_t from = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const char* escape;
    switch (c) {
      case '\t': escape = "\\t"; break;
      case '\r': escape = "\\r"; break;
      case '\n': escape = "\\n"; break;
      case '\\': escape = "\\\\"; break;
      default: continue;
    }
    out->append(text.data() + from, i - from);
    out->append(escape, 2);
    from = i + 1;
  }
  out->append(text.data() + from, text.size() - from);
}

bool starts_like_formula(std::string_view text) {
  if (text.empty()) return false;
  switch (text[0]) {
    case '=': case '+': case '-': case '@': case '\t': case '\r': return true;
    default: return false;
  }
}

void append_json_string(std::string_view text, std::string* out) {
  out->push_back('"');
  size_t from = 0;  // the start of the run not yet appended
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const size_t n = utf8_sequence_length(text, i);
      // U+2028 and U+2029 (E2 80 A8, E2 80 A9) end a line in JavaScript.
      const bool line_end = n == 3 && c == 0xE2 && text[i + 1] == '\x80' &&
                            (text[i + 2] == '\xA8' || text[i + 2] == '\xA9');
      if (n != 0 && !line_end) {
        i += n;
        continue;
      }
      out->append(text.data() + from, i - from);
      if (line_end) {
        out->append(text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029", 6);
        i += 2;
      } else {
        out->append(kReplacement, 3);
      }
    } else if (c == '"' || c == '\\') {
      out->append(text.data() + from, i - from);
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c < 0x20 || c == 0x7F) {
      out->append(text.data() + from, i - from);
      out->append("\\u00", 4);
      out->push_back(kHexDigits[c >> 4]);
      out->push_back(kHexDigits[c & 0xF]);
    } else {
      ++i;
      continue;
    }
    from = ++i;
  }
  out->append(text.data() + from, text.size() - from);
  out->push_back('"');
}

void append_body_name(std::string_view text, std::string* out) {
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F || c == '|') {
      out->push_back('?');
    } else if (c == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      out->push_back('?');  // U+0080 to U+009F
      ++i;
    } else {
      out->push_back(static_cast<char>(c));
    }
  }
}
