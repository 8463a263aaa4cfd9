// The account names the operating system itself knows: on Windows the
// local accounts and, through them, the domain's (LookupAccountSidW).
// Other systems know no Windows accounts.
#pragma once

#include <string>
#include <string_view>

// Whether this system can name Windows accounts at all.
extern const bool kSystemAccountNames;

// The account name (without its domain), in UTF-8, of the SID written as
// text ("S-1-5-21-..."); false when the system does not know it.
bool system_account_name(std::string_view sid, std::string* name);
