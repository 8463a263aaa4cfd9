// Code-page decoding on Linux and other POSIX systems, through iconv.
#include "platform/codepage.h"

#include <errno.h>
#include <iconv.h>

#include <cstdint>
#include <cstring>

#include "platform/utf8.h"

namespace {

constexpr size_t kNameMax = 64;
constexpr size_t kSlots = 4;
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

bool same_name(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
    if (x == 0) return true;
  }
}

bool acceptable_name(const char* name) {
  if (!name || !*name) return false;
  const size_t len = strnlen(name, kNameMax);
  return len < kNameMax && !memchr(name, '/', len);
}

// The converters opened by this thread, one per code page name (a name that
// iconv refused is kept too, so that it is not asked again).
class ConverterCache {
 public:
  ~ConverterCache() {
    for (Slot& s : slots_)
      if (s.used && s.cd != kNoConverter) iconv_close(s.cd);
  }
  iconv_t get(const char* name) {
    if (!acceptable_name(name)) return kNoConverter;
    for (Slot& s : slots_)
      if (s.used && same_name(s.name, name)) return s.cd;
    Slot& s = slots_[next_];
    next_ = (next_ + 1) % kSlots;
    if (s.used && s.cd != kNoConverter) iconv_close(s.cd);
    s.used = true;
    strcpy(s.name, name);  // length checked by acceptable_name
    // To code points, which are checked and encoded here: iconv's own
    // UTF-8 output passes some ill-formed input through unchanged.
    s.cd = iconv_open("UTF-32LE", name);
    return s.cd;
  }

 private:
  struct Slot {
    bool used = false;
    char name[kNameMax] = {};
    iconv_t cd = kNoConverter;
  };
  Slot slots_[kSlots];
  size_t next_ = 0;
};

ConverterCache& cache() {
  thread_local ConverterCache c;
  return c;
}

// Appends UTF-32LE code points as UTF-8; a surrogate or a value above
// U+10FFFF becomes U+FFFD.
void append_code_points(const unsigned char* p, size_t n, std::string* out) {
  for (size_t i = 0; i + 4 <= n; i += 4) {
    const uint32_t c = read_le32(p + i);
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
      append_replacement_char(out);
    } else {
      append_utf8(out, c);
    }
  }
}

}  // namespace

bool codepage_known(const char* name) { return cache().get(name) != kNoConverter; }

bool append_codepage_as_utf8(const char* name, const unsigned char* bytes, size_t n,
                             std::string* out) {
  const iconv_t cd = cache().get(name);
  bool undefined = false;
  if (cd == kNoConverter) {
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
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // the initial shift state
  unsigned char buffer[1024];
  char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes));
  size_t in_left = n;
  bool flushed = false;
  while (!flushed) {
    char* o = reinterpret_cast<char*>(buffer);
    size_t o_left = sizeof buffer;
    size_t r;
    if (in_left > 0) {
      r = iconv(cd, &in, &in_left, &o, &o_left);
    } else {
      r = iconv(cd, nullptr, nullptr, &o, &o_left);  // back to the initial state
      flushed = true;
    }
    const int err = errno;
    append_code_points(buffer, static_cast<size_t>(reinterpret_cast<unsigned char*>(o) - buffer),
                       out);
    if (!flushed && r == static_cast<size_t>(-1) && err != E2BIG && in_left > 0) {
      // EILSEQ (not defined) or EINVAL (cut short at the end): this byte
      // is not a character; the next one may begin one.
      append_replacement_char(out);
      undefined = true;
      ++in;
      --in_left;
    }
  }
  return undefined;
}
