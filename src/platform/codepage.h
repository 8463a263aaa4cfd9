// Decoding text written in a Windows code page (the "ANSI" paths of old
// index files) to UTF-8.  Linux uses the C library's iconv, Windows its own
// MultiByteToWideChar.  Names are matched without regard to case.
#pragma once

#include <cstddef>
#include <string>

// The code page of Western-European Windows, assumed unless told otherwise.
constexpr const char* kDefaultCodepage = "CP1252";

// True when `name` names a code page this system can decode ("CP1252",
// "CP932", "WINDOWS-1252", "SHIFT_JIS", ...).  On Linux any name iconv
// accepts; on Windows "CP<number>" for an installed code page and a few
// common aliases.  Empty names and names holding a '/' are refused.
bool codepage_known(const char* name);

// Appends `n` bytes of text in code page `name`, decoded, to `out` as UTF-8.
// A byte the code page does not define (or a lead byte without its trail)
// becomes U+FFFD and decoding goes on with the next byte.  With a name that
// is not known, bytes below 0x80 are copied and every other byte becomes
// U+FFFD.  The converter of each code page is opened once and kept for the
// life of the thread.  True when a byte the code page does not define was
// met.
bool append_codepage_as_utf8(const char* name, const unsigned char* bytes, size_t n,
                             std::string* out);

// Appends U+FFFD as UTF-8.
inline void append_replacement_char(std::string* out) { out->append("\xEF\xBF\xBD"); }
