// What the environment says: the accounting file (ACCT, ACCTING) and
// whether index files' times are set back (RESET, NORESET).
#pragma once

#include "options/options.h"

// Names the accounting file of ACCT ("on": "acct-ing") or ACCTING.
// Status: the file could neither be opened nor created.
Status read_accounting_environment(const OptionVocabulary& vocabulary, OptionEffects* effects,
                                   Options* options);
// RESET sets reset_times, NORESET clears it (RESET wins).
void read_reset_environment(Options* options);
