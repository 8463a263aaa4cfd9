#include "common/exclusions.h"

#include <cstring>

#include "platform/ascii.h"

namespace {

void upper_case(std::string* text) { ascii_upper_in_place(text); }

enum class One { kMatch, kNoMatch, kInvalid };

// Matches one pattern element at `pattern[*pos]` against `c`; on a match or
// mismatch `*pos` moves past the element.
One match_one(const unsigned char* pattern, size_t len, size_t* pos, unsigned char c) {
  size_t i = *pos;
  unsigned char p = pattern[i];
  if (p == '?') {
    *pos = i + 1;
    return One::kMatch;
  }
  if (p == '\\') {
    if (i + 1 >= len) return One::kInvalid;
    *pos = i + 2;
    return pattern[i + 1] == c ? One::kMatch : One::kNoMatch;
  }
  if (p != '[') {
    *pos = i + 1;
    return p == c ? One::kMatch : One::kNoMatch;
  }
  ++i;
  bool negate = false;
  if (i < len && (pattern[i] == '!' || pattern[i] == '^')) {
    negate = true;
    ++i;
  }
  bool found = false;
  bool first = true;
  for (;;) {
    if (i >= len) return One::kInvalid;
    unsigned char lo = pattern[i];
    if (lo == ']' && !first) break;
    first = false;
    if (lo == '\\') {
      if (++i >= len) return One::kInvalid;
      lo = pattern[i];
    }
    ++i;
    unsigned char hi = lo;
    if (i + 1 < len && pattern[i] == '-' && pattern[i + 1] != ']') {
      size_t j = i + 1;
      if (pattern[j] == '\\') {
        if (++j >= len) return One::kInvalid;
      }
      hi = pattern[j];
      i = j + 1;
    }
    if (c >= lo && c <= hi) found = true;
  }
  *pos = i + 1;  // past the closing "]"
  return found != negate ? One::kMatch : One::kNoMatch;
}

}  // namespace

void ExclusionList::add(const char* pattern) {
  std::string copy(pattern);
  upper_case(&copy);
  patterns_.push_back(std::move(copy));
}

bool ExclusionList::excludes(const char* file_name) const {
  name_.assign(file_name);
  upper_case(&name_);
  for (const std::string& pattern : patterns_)
    if (wildcard_match(pattern.c_str(), name_.c_str())) return true;
  return false;
}

bool wildcard_match(const char* pattern_text, const char* name_text) {
  const auto* pattern = reinterpret_cast<const unsigned char*>(pattern_text);
  const auto* name = reinterpret_cast<const unsigned char*>(name_text);
  const size_t plen = strlen(pattern_text);
  const size_t nlen = strlen(name_text);
  size_t p = 0, n = 0;
  size_t star_p = SIZE_MAX, star_n = 0;
  while (n < nlen) {
    if (p < plen && pattern[p] == '*') {
      star_p = ++p;
      star_n = n;
      continue;
    }
    if (p < plen) {
      size_t next = p;
      const One r = match_one(pattern, plen, &next, name[n]);
      if (r == One::kInvalid) return false;
      if (r == One::kMatch) {
        p = next;
        ++n;
        continue;
      }
    }
    if (star_p == SIZE_MAX) return false;
    p = star_p;
    n = ++star_n;
  }
  while (p < plen && pattern[p] == '*') ++p;
  return p == plen;
}
