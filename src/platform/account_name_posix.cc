#include "platform/account_name.h"

const bool kSystemAccountNames = false;

bool system_account_name(std::string_view, std::string*) { return false; }
