// What the registry values that name users hold, read from their bytes: a
// profile's folder (ProfileList\<SID>\ProfileImagePath) and the machine's
// SID in a SAM hive (SAM\Domains\Account, value V).
#pragma once

#include <cstddef>
#include <string>

// The user name a ProfileImagePath gives: the last component of the path
// its UTF-16LE string holds ("C:\Users\alice" gives "alice"), in UTF-8.
// The string ends at its first NUL (or with the data; an odd last byte is
// dropped); separators are "\" and "/", and trailing ones are passed over;
// a lone surrogate becomes U+FFFD.  Empty when the path names no folder.
std::string profile_name_of_path(const unsigned char* data, size_t size);

// The machine's SID ("S-1-5-21-a-b-c"), which ends the V value of a SAM
// hive's SAM\Domains\Account key as a binary SID of revision 1, authority
// 5 and four sub-authorities, the first 21.  False when V does not end so.
bool machine_sid_of_account_v(const unsigned char* v, size_t size, std::string* sid);
