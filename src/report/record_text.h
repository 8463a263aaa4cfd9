// Text helpers of the UTF-8 report formats: decoding of UTF-16 names, times
// as ISO 8601 and Unix seconds, and the escaping each format needs.  Every
// helper appends to a caller's string, which the writers reuse for every
// record so that a warmed-up run allocates nothing per record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/utf16.h"
#include "platform/platform.h"

// Appends `text` with every byte that is not part of a well-formed UTF-8
// sequence (a stray continuation byte, a cut-off sequence, an overlong form,
// an encoded surrogate, a code point above U+10FFFF) written as U+FFFD.
// Names on the file system are bytes, and the formats are UTF-8.
void append_valid_utf8(std::string_view text, std::string* out);

// Appends a FILETIME as "2015-04-07T23:32:07.1234567Z" (UTC, all seven
// decimals).  Appends nothing and returns false for 0, a time with its top
// bit set, and a time outside the years 1601 to 9999.
bool append_iso8601(FileTime time, std::string* out);

// The whole seconds since 1970-01-01 00:00:00 UTC (rounded down, so before
// 1970 a negative number) of a FILETIME, for timelines.  False, with 0, for
// the times append_iso8601 refuses.
bool filetime_to_unix_seconds(FileTime time, int64_t* out);

// The extension of a path: the text after the last "." of its last
// component (after the last "\"), without the dot; empty when there is
// none.  `path` is UTF-8, whose multi-byte sequences never hold "." or "\".
std::string_view path_extension(std::string_view path);

// Appends a signed or unsigned decimal number.
void append_decimal(int64_t value, std::string* out);
void append_unsigned(uint64_t value, std::string* out);

// Appends one CSV field (RFC 4180): quoted, with quotes doubled, when it
// holds a comma, a quote, CR or LF; as it is otherwise.
void append_csv_field(std::string_view text, std::string* out);

// Appends one TSV field: tab, CR, LF and backslash as "\t", "\r", "\n" and
// "\\"; everything else as it is.
void append_tsv_field(std::string_view text, std::string* out);

// Whether a spreadsheet would read a text field that begins like `text` as a
// formula: its first character is "=", "+", "-", "@", a tab or CR.  The csv
// and tsv writers put a "'" before such a field (OWASP's rule against CSV
// injection); number fields are never changed.
bool starts_like_formula(std::string_view text);

// Appends `text` as a JSON string, quotes included: '"' and '\' escaped,
// control characters (below U+0020, and U+007F) as \u00XX, U+2028 and
// U+2029 (line ends to a JavaScript reader) as \u2028 and \u2029, and bytes
// that are not well-formed UTF-8 as U+FFFD, so that the result is valid JSON
// for any input.
void append_json_string(std::string_view text, std::string* out);

// Appends a name for a body file: "|" (its field separator) and control
// characters (C0, DEL and the C1 range U+0080 to U+009F) as "?".
void append_body_name(std::string_view text, std::string* out);
