// Word options (--word[=value]) and the accounting environment variables.
#pragma once

#include "options/options.h"

// 0 when `word` is accepted (also every word not known), 1 when refused.
int parse_long_option(const char* word, Options* options);
// Opens the accounting file named by ACCT or ACCTING.
void acct_from_environment();
