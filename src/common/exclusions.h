// Exclusion patterns and their wildcard matcher: names matching any
// pattern of the list are never decoded.  The option readers fill the list;
// the walk and the carving of an image consult it.
#pragma once

#include <string>
#include <vector>

class ExclusionList {
 public:
  ExclusionList() = default;
  ExclusionList(const ExclusionList& other) : patterns_(other.patterns_) {}
  ExclusionList& operator=(const ExclusionList& other) {
    patterns_ = other.patterns_;
    return *this;
  }

  // Starts the list afresh (the -x option).
  void clear() { patterns_.clear(); }
  // Adds a pattern, upper-cased.
  void add(const char* pattern);
  // The patterns, upper-cased, in the order added.
  const std::vector<std::string>& patterns() const { return patterns_; }

  // True when a pattern matches the upper-cased `file_name`.  Makes no
  // allocation once names of that length have been tested.
  bool excludes(const char* file_name) const;

 private:
  std::vector<std::string> patterns_;
  mutable std::string name_;  // the name being tested, upper-cased
};

// The whole of `name` against the whole of `pattern`: "*", "?", sets with
// "[...]" (negated by "!" or "^", with ranges), "\" quoting the next
// character; bytes compared by value.  An unterminated "[" or a lone
// trailing "\" makes the pattern match nothing.
bool wildcard_match(const char* pattern, const char* name);
