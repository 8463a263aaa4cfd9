// The fuzzing targets: each takes one input and aborts when it finds the
// code misbehaving.  libFuzzer drives them (make fuzz), and the unit tests
// replay every input kept under fuzz/regressions.
#pragma once

#include <cstddef>
#include <cstdint>

int fuzz_report_row(const uint8_t* data, size_t size);
int fuzz_dos_pattern(const uint8_t* data, size_t size);
int fuzz_wildcard(const uint8_t* data, size_t size);
int fuzz_ini(const uint8_t* data, size_t size);
int fuzz_options(const uint8_t* data, size_t size);
int fuzz_trim(const uint8_t* data, size_t size);
int fuzz_info2(const uint8_t* data, size_t size);
// The reader of NTFS folder indexes (built where images are read).
int fuzz_ntfs_index(const uint8_t* data, size_t size);
int fuzz_zone(const uint8_t* data, size_t size);
int fuzz_scan(const uint8_t* data, size_t size);

struct FuzzTarget {
  const char* name;
  int (*run)(const uint8_t* data, size_t size);
};
extern const FuzzTarget kFuzzTargets[];
extern const size_t kFuzzTargetCount;
