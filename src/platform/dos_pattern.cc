#include "platform/dos_pattern.h"

#include <cstring>

#include "platform/ascii.h"

namespace {

unsigned char upper(unsigned char c) {
  return static_cast<unsigned char>(ascii_upper(static_cast<char>(c)));
}

}  // namespace

void DosPattern::compile(const char* pattern) {
  tokens_.clear();
  size_t len = strlen(pattern);
  bool dropped_dot = false;
  while (len > 0 && (pattern[len - 1] == '.' || pattern[len - 1] == ' ')) {
    if (pattern[len - 1] == '.') dropped_dot = true;
    --len;
  }
  if (len == 3 && memcmp(pattern, "*.*", 3) == 0) {
    tokens_.push_back({kStar, 0});
    find_shortcuts();
    return;
  }
  for (size_t i = 0; i < len; ++i) {
    char c = pattern[i];
    char following = i + 1 < len ? pattern[i + 1] : '\0';
    if (c == '?') {
      tokens_.push_back({kDosQm, 0});
    } else if (c == '*') {
      tokens_.push_back({following == '.' ? kDosStar : kStar, 0});
    } else if (c == '.' && (following == '?' || following == '*')) {
      tokens_.push_back({kDosDot, 0});
    } else {
      tokens_.push_back({kLiteral, upper(static_cast<unsigned char>(c))});
    }
  }
  if (dropped_dot && !tokens_.empty() && tokens_.back().kind == kStar)
    tokens_.back().kind = kDosStar;
  find_shortcuts();
}

void DosPattern::find_shortcuts() {
  prefix_.clear();
  size_t i = 0;
  while (i < tokens_.size() && tokens_[i].kind == kLiteral)
    prefix_.push_back(static_cast<char>(tokens_[i++].ch));
  // "*" matches any run; DOS_STAR, DOS_DOT and "*" together match any run
  // too: the DOS_STAR stops short of the last dot (if there is one after
  // the prefix), DOS_DOT takes that dot or nothing at the end, and "*"
  // takes the rest.
  const size_t rest = tokens_.size() - i;
  rest_matches_anything_ =
      (rest == 1 && tokens_[i].kind == kStar) ||
      (rest == 3 && tokens_[i].kind == kDosStar && tokens_[i + 1].kind == kDosDot &&
       tokens_[i + 2].kind == kStar);
}

// Adds to `set` every pattern position reachable from the positions already
// in it without consuming a character, when the name is at `pos`.
void DosPattern::close_over_empty(std::vector<uint8_t>& set, size_t pos,
                                  size_t len, const char* name) const {
  const bool at_end = pos == len;
  const bool at_dot = !at_end && name[pos] == '.';
  for (size_t i = 0; i < tokens_.size(); ++i) {
    if (!set[i]) continue;
    switch (tokens_[i].kind) {
      case kStar:
      case kDosStar:
        set[i + 1] = 1;
        break;
      case kDosQm:
        if (at_end || at_dot) set[i + 1] = 1;
        break;
      case kDosDot:
        if (at_end) set[i + 1] = 1;
        break;
      case kLiteral:
        break;
    }
  }
}

bool DosPattern::matches(const char* name) {
  for (size_t i = 0; i < prefix_.size(); ++i)
    if (name[i] == '\0' || upper(static_cast<unsigned char>(name[i])) !=
                               static_cast<unsigned char>(prefix_[i]))
      return false;
  if (rest_matches_anything_) return true;
  const size_t len = strlen(name);
  const size_t states = tokens_.size() + 1;
  const char* last_dot_ptr = strrchr(name, '.');
  const size_t last_dot = last_dot_ptr ? static_cast<size_t>(last_dot_ptr - name) : len;
  current_.assign(states, 0);
  next_.assign(states, 0);
  current_[0] = 1;
  close_over_empty(current_, 0, len, name);
  for (size_t pos = 0; pos < len; ++pos) {
    const unsigned char c = static_cast<unsigned char>(name[pos]);
    bool any = false;
    std::fill(next_.begin(), next_.end(), 0);
    for (size_t i = 0; i < tokens_.size(); ++i) {
      if (!current_[i]) continue;
      const Token& t = tokens_[i];
      switch (t.kind) {
        case kStar:
          next_[i] = 1;
          break;
        case kDosStar:
          if (pos != last_dot) next_[i] = 1;
          break;
        case kDosQm:
          next_[i + 1] = 1;
          break;
        case kDosDot:
          if (c == '.') next_[i + 1] = 1;
          break;
        case kLiteral:
          if (upper(c) == t.ch) next_[i + 1] = 1;
          break;
      }
    }
    for (size_t i = 0; i < states; ++i) any |= next_[i] != 0;
    if (!any) return false;
    close_over_empty(next_, pos + 1, len, name);
    current_.swap(next_);
  }
  return current_[tokens_.size()] != 0;
}
