// What the decoder shows of its progress when it is not the classic
// report's "Processing:" line of each file (the UTF-8 formats show a status
// line instead, or nothing).
#pragma once

#include <cstddef>
#include <string_view>

class DecodeProgress {
 public:
  virtual ~DecodeProgress() = default;
  // The file `name` of `directory` is next, whether or not it can be
  // opened; called for every file, so it must be cheap.
  virtual void file(std::string_view directory, const char* name, size_t name_length) = 0;
};
