// Index files built byte by byte for the unit tests.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace test_index {

// FileTime of a UTC calendar time (proleptic Gregorian).
inline FileTime filetime_utc(int y, int m, int d, int hh = 0, int mm = 0, int ss = 0,
                             uint64_t ticks = 0) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days_since_1970 = era * 146097 + doe - 719468;
  const int64_t seconds = days_since_1970 * 86400 + hh * 3600 + mm * 60 + ss;
  return static_cast<FileTime>((seconds + 11644473600LL) * 10000000LL) + ticks;
}

inline void put_le(std::string* out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

inline std::string utf16(const std::u16string& s) {
  std::string out;
  for (char16_t u : s) put_le(&out, u, 2);
  return out;
}

// A version 2 file: header, size, deletion time, name length, name.
inline std::string index_v2(int64_t size, FileTime deleted, const std::u16string& name) {
  std::string out;
  put_le(&out, 2, 8);
  put_le(&out, static_cast<uint64_t>(size), 8);
  put_le(&out, deleted, 8);
  put_le(&out, name.size() + 1, 4);
  out += utf16(name);
  put_le(&out, 0, 2);
  return out;
}

// A version 1 file: header, size, deletion time, a 520-byte name field.
inline std::string index_v1(int64_t size, FileTime deleted, const std::u16string& name) {
  std::string out;
  put_le(&out, 1, 8);
  put_le(&out, static_cast<uint64_t>(size), 8);
  put_le(&out, deleted, 8);
  std::string path = utf16(name);
  path.resize(520, '\0');
  return out + path;
}

}  // namespace test_index
