// File-name patterns matched the way the Windows directory search matches
// them, so that a pattern selects the same files on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class DosPattern {
 public:
  // Rewrites `pattern` into its matching form: trailing dots and spaces
  // dropped, "*.*" taken as "*", and the DOS_STAR, DOS_QM and DOS_DOT
  // forms of "*", "?" and ".".
  void compile(const char* pattern);
  // True when the whole of `name` matches the whole pattern (ASCII letters
  // compared without regard to case).  Makes no allocation once the first
  // names have been matched.
  bool matches(const char* name);

 private:
  enum Kind : uint8_t { kLiteral, kStar, kDosStar, kDosQm, kDosDot };
  struct Token {
    Kind kind;
    unsigned char ch;  // upper-cased, for kLiteral
  };
  void close_over_empty(std::vector<uint8_t>& set, size_t pos, size_t len,
                        const char* name) const;

  // Sets the quick checks below from the tokens.
  void find_shortcuts();

  std::vector<Token> tokens_;
  // The literal characters the pattern starts with (upper-cased), which a
  // name must start with; and whether whatever follows them matches any
  // rest of a name ("*", or "*.*" after the prefix).
  std::string prefix_;
  bool rest_matches_anything_ = false;
  std::vector<uint8_t> current_, next_;
};
