// Word options: --word[=value], matched against the words of the option
// table.
#pragma once

#include "options/options.h"

// What a word came to; the values are those the option loop tests.
enum WordResult {
  kWordAccepted = 0,       // also every word no key matches
  kWordRefused = 1,        // "Illegal option" is said by the caller
  kWordRefusedAndSaid = 2, // refused with a message of its own, written
  kWordHelpMore = 3,       // --help-more
  kWordEnded = 4,          // naming a file ended the run (`*ended` says how)
  kWordHelpScreen = 5,     // --help
  kWordVersion = 6,        // --version
  kWordNearMiss = 7,       // no key matches, but it comes near a word of
                           // binsift's own (`*meant`): refused
};

WordResult parse_long_option(const char* word, const OptionVocabulary& vocabulary,
                             OptionEffects* effects, Options* options, Status* ended = nullptr,
                             const char** meant = nullptr);
// Notes what `word` says of the image or the format, when it is one of
// those words with a value parse_long_option() takes.
void read_early_word(const char* word, const OptionVocabulary& vocabulary, EarlyWords* out);
