// Code-page decoding on Windows, through MultiByteToWideChar.
#include "platform/codepage.h"
#include "platform/utf8.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool same_name(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (upper(*a) != upper(*b)) return false;
    if (*a == 0) return true;
  }
}

// The number after `prefix` when `name` is the prefix and digits only.
UINT number_after(const char* name, const char* prefix) {
  const size_t p = strlen(prefix);
  for (size_t i = 0; i < p; ++i)
    if (upper(name[i]) != prefix[i]) return 0;
  const char* digits = name + p;
  if (*digits < '0' || *digits > '9' || strlen(digits) > 5) return 0;
  for (const char* d = digits; *d; ++d)
    if (*d < '0' || *d > '9') return 0;
  return static_cast<UINT>(atoi(digits));
}

struct Alias {
  const char* name;
  UINT codepage;
};
const Alias kAliases[] = {
    {"SHIFT_JIS", 932},   {"SHIFT-JIS", 932},  {"SJIS", 932},       {"MS_KANJI", 932},
    {"GBK", 936},         {"GB2312", 936},     {"BIG5", 950},       {"BIG-5", 950},
    {"UHC", 949},         {"EUC-KR", 51949},   {"EUC-JP", 20932},   {"KOI8-R", 20866},
    {"KOI8-U", 21866},    {"TIS-620", 874},    {"GB18030", 54936},  {"UTF-8", 65001},
    {"UTF8", 65001},      {"US-ASCII", 20127}, {"ASCII", 20127},    {"LATIN1", 28591},
    {"ISO-8859-1", 28591}, {"ISO8859-1", 28591},
};

// The code page `name` stands for, 0 when none.
UINT codepage_number(const char* name) {
  if (!name || !*name || strchr(name, '/')) return 0;
  UINT cp = 0;
  if ((cp = number_after(name, "CP")) == 0 && (cp = number_after(name, "WINDOWS-")) == 0 &&
      (cp = number_after(name, "IBM")) == 0) {
    for (const Alias& a : kAliases)
      if (same_name(name, a.name)) cp = a.codepage;
    const UINT iso = number_after(name, "ISO-8859-");
    if (iso >= 2 && iso <= 15) cp = 28590 + iso;
  }
  return cp != 0 && IsValidCodePage(cp) ? cp : 0;
}

// The last name asked for and its code page, so that a run that decodes
// with one code page looks its name up once.
struct Resolved {
  char name[64] = {};
  UINT codepage = 0;
};

UINT resolve(const char* name) {
  thread_local Resolved last;
  if (!name || strlen(name) >= sizeof last.name) return 0;
  if (last.name[0] && same_name(last.name, name)) return last.codepage;
  last.codepage = codepage_number(name);
  strcpy(last.name, name);
  return last.codepage;
}

void append_wide(std::string* out, const wchar_t* w, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const uint32_t c = static_cast<uint16_t>(w[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n) {
      const uint32_t d = static_cast<uint16_t>(w[i + 1]);
      if (d >= 0xDC00 && d <= 0xDFFF) {
        append_utf8(out, 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00));
        ++i;
        continue;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) append_replacement_char(out);
    else append_utf8(out, c);
  }
}

// The Windows ANSI code pages map the bytes they leave undefined to the C1
// controls U+0080 to U+009F; those are not characters of the page.
bool undefined_in_ansi_page(UINT cp, unsigned char byte, wchar_t c) {
  const bool ansi_page = cp == 874 || (cp >= 1250 && cp <= 1258);
  return ansi_page && byte >= 0x80 && byte <= 0x9F && c >= 0x80 && c <= 0x9F;
}

}  // namespace

bool codepage_known(const char* name) { return resolve(name) != 0; }

bool append_codepage_as_utf8(const char* name, const unsigned char* bytes, size_t n,
                             std::string* out) {
  const UINT cp = resolve(name);
  bool undefined = false;
  if (cp == 0) {
    for (size_t i = 0; i < n; ++i) {
      if (bytes[i] < 0x80) {
        out->push_back(static_cast<char>(bytes[i]));
      } else {
        append_replacement_char(out);
        undefined = true;
      }
    }
    return undefined;
  }
  CPINFO info;
  const size_t longest = GetCPInfo(cp, &info) && info.MaxCharSize > 0 ? info.MaxCharSize : 4;
  wchar_t w[4];
  size_t i = 0;
  while (i < n) {
    // Plain ASCII runs go through unchanged in every ANSI code page.
    if (bytes[i] < 0x80 && cp != 65000) {
      out->push_back(static_cast<char>(bytes[i++]));
      continue;
    }
    int units = 0;
    size_t len = 1;
    for (; len <= longest && i + len <= n; ++len) {
      units = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(bytes + i),
                                  static_cast<int>(len), w, 4);
      if (units > 0) break;
    }
    if (units <= 0 || (len == 1 && units == 1 && undefined_in_ansi_page(cp, bytes[i], w[0]))) {
      append_replacement_char(out);
      undefined = true;
      ++i;
    } else {
      append_wide(out, w, static_cast<size_t>(units));
      i += len;
    }
  }
  return undefined;
}
