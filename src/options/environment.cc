#include "options/environment.h"

#include <cstdlib>

#include "options/option_table.h"

namespace {

const OptionKey& accounting_key() {
  for (const OptionKey& key : option_keys())
    if (key.effect == OptionEffect::kAccountingFile) return key;
  return option_keys().front();
}

}  // namespace

Status read_accounting_environment(const OptionVocabulary& vocabulary, OptionEffects* effects,
                                   Options* options) {
  OptionInput in;
  in.source = OptionSource::kEnvironment;
  if (const char* acct = getenv("ACCT")) {
    const bool on = (acct[0] == 'o' || acct[0] == 'O') && (acct[1] == 'n' || acct[1] == 'N') &&
                    acct[2] == '\0';
    in.value = on ? "acct-ing" : acct;
  } else if (const char* accting = getenv("ACCTING")) {
    in.value = accting;
  } else {
    return Status();
  }
  return apply_option(accounting_key(), in, vocabulary, effects, options).ended;
}

void read_reset_environment(Options* options) {
  if (getenv("RESET")) {
    options->reset_times = 1;
  } else if (getenv("NORESET")) {
    options->reset_times = 0;
  }
}
