// The command-line reader: option letters, words after "--", and the order
// of the three readers.
#include "options/options.h"

#include <cstdio>
#include <cstring>

#include "common/notes_stream.h"
#include "options/environment.h"
#include "options/ini_file.h"
#include "options/long_options.h"
#include "options/option_table.h"
#include "options/path_list.h"
#include "platform/platform.h"

const ModuleStamp kOptionsModule = {__FILE__, __DATE__, __TIME__};

bool is_option_start(const char* arg) {
  return arg[0] != '\0' && strchr(kOptionPrefixes, arg[0]) != nullptr;
}

namespace {

bool equals_ignore_case(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return *a == *b;
}

// The arguments after the bare ones at the start.
int first_option(int argc, char** argv) {
  int i = 1;
  while (i < argc && !is_option_start(argv[i])) ++i;
  return i;
}

// Where a letter's value comes from: the rest of its argument (`rest`),
// the next argument (moving `*i` past it), or nowhere (null).
char* take_value(const OptionKey& key, char* rest, int argc, char** argv, int* i,
                 bool* rest_taken) {
  switch (key.letter_value) {
    case LetterValue::kAttachedOrNext:
    case LetterValue::kAttachedOrNextNotDash:
      if (*rest) {
        *rest_taken = true;
        return rest;
      }
      if (*i < argc && (key.letter_value == LetterValue::kAttachedOrNext || argv[*i][0] != '-'))
        return argv[(*i)++];
      return nullptr;
    case LetterValue::kNext:
      return *i < argc ? argv[(*i)++] : nullptr;
    case LetterValue::kNone:
    case LetterValue::kList:
    case LetterValue::kListAfresh:
      break;
  }
  return nullptr;
}

// A "+" right before a letter that closes: it takes no value.
bool plus_closes(const OptionKey& key, const char* arg, size_t k) {
  return key.plus == PlusPrefix::kCloses && k == 1 && arg[0] == '+';
}

OptionResult ended(OptionAction action) {
  OptionResult result;
  result.action = action;
  return result;
}

OptionResult ended_by(Status status) {
  OptionResult result = ended(OptionAction::kEnded);
  result.ended = status;
  return result;
}

// What an applied key means for the reading: nothing (go on), or its end.
bool ends_reading(const Applied& applied, OptionResult* result) {
  switch (applied.kind) {
    case Applied::kDone: return false;
    case Applied::kHelpScreen: *result = ended(OptionAction::kHelpScreen); return true;
    case Applied::kHelpMore: *result = ended(OptionAction::kHelpMore); return true;
    case Applied::kVersion: *result = ended(OptionAction::kVersion); return true;
    case Applied::kRefused:
    case Applied::kRefusedAndSaid: *result = ended(OptionAction::kRefused); return true;
    case Applied::kEnded: *result = ended_by(applied.ended); return true;
  }
  return false;
}

}  // namespace

EarlyWords read_early_words(int argc, char** argv, const OptionVocabulary& vocabulary) {
  EarlyWords words;
  int i = first_option(argc, argv);
  // The arguments as the loop of parse_options() takes them.  Where that
  // loop would stop the run (a missing value, an unknown letter), this one
  // reads on: a word the run never reaches protects all the same.
  while (i < argc && is_option_start(argv[i])) {
    char* arg = argv[i++];
    if (equals_ignore_case(arg, "-.ini")) {
      if (i >= argc) break;
      arg = argv[i++];
    }
    for (size_t k = 1; arg[k] != '\0'; ++k) {
      char* rest = arg + k + 1;
      if (arg[k] == '-') {
        read_early_word(rest, vocabulary, &words);
        break;
      }
      const OptionKey* key = option_key_for_letter(arg[k]);
      if (!key || plus_closes(*key, arg, k)) continue;
      if (key->letter_value == LetterValue::kList || key->letter_value == LetterValue::kListAfresh) {
        while (i < argc && !is_option_start(argv[i])) ++i;
        continue;
      }
      bool rest_taken = false;
      take_value(*key, rest, argc, argv, &i, &rest_taken);
      if (rest_taken) break;
    }
  }
  return words;
}

OptionResult parse_options(int argc, char** argv, const OptionVocabulary& vocabulary,
                           OptionEffects* effects, Options* o) {
  // Before any file is opened: the evidence this run must never write, and
  // whether the run log's notes must keep off standard output.
  effects->before_reading(read_early_words(argc, argv, vocabulary));
  Status status = read_accounting_environment(vocabulary, effects, o);
  if (!status.ok()) return ended_by(status);
  status = read_ini_file(argv, vocabulary, effects, o);
  if (!status.ok()) return ended_by(status);
  o->program_path = argv[0] ? argv[0] : "";

  OptionResult result;
  const int first = first_option(argc, argv);
  int i = first;
  while (i < argc && is_option_start(argv[i])) {
    char* arg = argv[i++];
    if (equals_ignore_case(arg, "-.ini")) {
      if (i >= argc) break;
      arg = argv[i++];
    }
    for (size_t k = 1; arg[k] != '\0'; ++k) {
      const char letter = arg[k];
      char* rest = arg + k + 1;
      if (letter == '-') {
        const char* meant = nullptr;
        const WordResult word = parse_long_option(rest, vocabulary, effects, o, &status, &meant);
        if (word == kWordRefused || word == kWordNearMiss)
          fprintf(notes_stream(), "\nIllegal option: %s", rest);
        if (word == kWordNearMiss) fprintf(stderr, "\nDid you mean --%s?\n", meant);
        if (word == kWordHelpMore) return ended(OptionAction::kHelpMore);
        if (word == kWordHelpScreen) return ended(OptionAction::kHelpScreen);
        if (word == kWordVersion) return ended(OptionAction::kVersion);
        if (word == kWordEnded) return ended_by(status);
        if (word != kWordAccepted) return ended(OptionAction::kRefused);
        break;
      }
      const OptionKey* key = option_key_for_letter(letter);
      if (!key) return ended(OptionAction::kHelpForUnknownLetter);

      OptionInput in;
      in.source = OptionSource::kLetter;
      in.letter = letter;
      bool rest_taken = false;
      Applied applied = Applied::kDone;
      switch (key->letter_value) {
        case LetterValue::kNone:
          in.on = !(key->plus == PlusPrefix::kSwitchesOff && arg[0] == '+');
          applied = apply_option(*key, in, vocabulary, effects, o);
          break;
        case LetterValue::kList:
        case LetterValue::kListAfresh:
          if (key->letter_value == LetterValue::kListAfresh) {
            if (i >= argc || argv[i][0] == '-') return ended(OptionAction::kHelpScreen);
            in.afresh = true;
            applied = apply_option(*key, in, vocabulary, effects, o);
            in.afresh = false;
          }
          while (applied.kind == Applied::kDone && i < argc && !is_option_start(argv[i])) {
            in.value = in.written = argv[i++];
            applied = apply_option(*key, in, vocabulary, effects, o);
          }
          break;
        default:
          if (plus_closes(*key, arg, k)) {
            in.on = false;
            applied = apply_option(*key, in, vocabulary, effects, o);
            break;
          }
          in.value = in.written = take_value(*key, rest, argc, argv, &i, &rest_taken);
          if (in.value) {
            applied = apply_option(*key, in, vocabulary, effects, o);
          } else if (key->letter_missing == Missing::kHelpScreen) {
            return ended(OptionAction::kHelpScreen);
          } else if (key->letter_missing == Missing::kRefused) {
            return ended(OptionAction::kRefused);
          }
          break;
      }
      if (ends_reading(applied, &result)) return result;
      if (rest_taken) break;
    }
  }

  // Carving reads an image's metadata; there is nothing to carve without one.
  if (o->carve && o->image_path.empty()) {
    fprintf(notes_stream(), "\nIllegal option: %s", o->carve_word.c_str());
    return ended(OptionAction::kRefused);
  }
  // Shadow copies are the volumes' of an image.
  if (o->shadows && o->image_path.empty()) {
    printf("\nIllegal option: %s", o->shadows_word.c_str());
    return ended(OptionAction::kRefused);
  }
  // Unallocated clusters are an image's volumes'; a file to scan is named.
  if (o->scan_unallocated && o->image_path.empty()) {
    fprintf(notes_stream(), "\nIllegal option: %s", o->scan_word.c_str());
    return ended(OptionAction::kRefused);
  }
  if (o->pattern_list.empty()) add_file_pattern(o, "*.*");
  if (o->delimiter == ' ') o->delimiter = '|';
  result.first_option = first;
  return result;
}
