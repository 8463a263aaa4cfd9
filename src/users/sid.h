// Security identifiers (SIDs) as text ("S-1-5-21-...-1001") and in the
// binary form the registry keeps them in.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Whether `text` has the form of a SID: "S-1" (the S in either case), then
// one or more groups of a dash and decimal digits.
bool is_sid(std::string_view text);

// Orders SIDs as text, the case of the leading S ignored (a recycle bin
// folder may be named "s-1-5-..."): negative, 0 or positive.
int compare_sids(std::string_view a, std::string_view b);

// The text form of the binary SID at `data` (revision, count, 48-bit
// big-endian authority, `count` 32-bit little-endian sub-authorities),
// which must fill `size` bytes exactly; false when it does not.
bool sid_from_binary(const unsigned char* data, size_t size, std::string* out);
