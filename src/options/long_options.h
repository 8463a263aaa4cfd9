// Word options (--word[=value]) and the accounting environment variables.
#pragma once

#include <string>

#include "options/options.h"

// 0 when `word` is accepted (also every word not known), 1 when refused,
// 2 when refused with a message of its own already written.
int parse_long_option(const char* word, Options* options);
// Notes what `word` says of the image or the format, when it is one of
// those words with a value parse_long_option() takes.
void read_early_word(const char* word, EarlyWords* out);
// The --carve word as it was written, for the message that refuses it
// without --image.
extern std::string g_carve_word;
// Opens the accounting file named by ACCT or ACCTING.
void acct_from_environment();
