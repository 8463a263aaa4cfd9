// What every option key does, for the three readers alike: a row per
// effect, with the command-line letters, the words (--word[=value]) and
// the INI keys that call for it, and how each of them takes its value.
// The readers find the row, take the value their way, and apply the row's
// one effect (apply_option).  The rows with INI keys are in the order the
// INI reader tests them; word keys are prefixes none of which begins
// another, so their order does not matter, and the whole words beyond them
// come last.
#pragma once

#include <cstdint>

#include "options/options.h"

enum class OptionEffect : uint8_t {
  kNothing,         // accepted, without effect
  kAccountingFile,  // names (or closes) the accounting file
  kAppend,          // appends to the output file
  kNoHeader,        // drops the header line and the start record
  kDelimiter,       // sets the delimiter, which nothing reads
  kExclusion,       // adds an exclusion pattern
  kFilePattern,     // adds a file pattern
  kMemoFile,        // names the memo file
  kOutputFile,      // names the output file
  kPath,            // adds a directory to walk
  kRecurse,         // walks subdirectories
  kResetTimes,      // sets index files' times back after reading them
  kHelpScreen,      // ends in the help screen
  // The words beyond the keys.
  kImage,
  kCarve,
  kShadows,
  kScan,
  kRegistry,
  kFormat,
  kCodepage,
  kHelpMore,
  kVersion,
  kHash,
  kCollect,
};

// How a command-line letter takes its value.
enum class LetterValue : uint8_t {
  kNone,                   // a flag
  kAttachedOrNext,         // the rest of the argument, else the next one
  kAttachedOrNextNotDash,  // the same, but not a next one that starts with "-"
  kNext,                   // the next argument, when there is one
  kList,                   // every following argument up to the next option
  kListAfresh,             // the same, the list started afresh; at least one
};
// What a letter whose value is missing does.
enum class Missing : uint8_t { kIgnored, kHelpScreen, kRefused };
// What a "+" prefix does to a letter.
enum class PlusPrefix : uint8_t {
  kIgnored,
  kSwitchesOff,  // the letter switches off, wherever it stands in the argument
  kCloses,       // right after the "+", the letter takes no value and closes
};

enum class WordMatch : uint8_t {
  kPrefixOneCase,  // starts with the key, written all lower or all upper case
  kPrefixAnyCase,  // starts with the key, in any case
  kWholeWord,      // the whole word up to any "=", all lower or all upper case
};
// How a word takes its value (after "=").
enum class WordValue : uint8_t {
  kIgnored,    // whatever follows
  kRequired,   // a value, else refused
  kOptional,   // with or without
  kOnOff,      // none (on), "on"/"ON" or "off"/"OFF"; anything else refused
  kNone,       // no "=" at all, else refused
  kNoValue,    // no value after "=", else refused
};

enum class IniMatch : uint8_t { kContains, kBegins };
struct IniKey {
  const char* text = nullptr;  // upper case
  IniMatch match = IniMatch::kContains;
};
// How an INI key takes its value (after "=").
enum class IniValue : uint8_t {
  kIgnored,   // the line is taken and nothing is done
  kRequired,  // nothing without an "="
  kOptional,  // with or without
  kOnOff,     // "ON" or "YES" anywhere in the value is on, "OFF" off (and wins)
  kOnOnly,    // the same, but only "on" has an effect
};

struct OptionKey {
  OptionEffect effect;
  const char* letters = "";
  LetterValue letter_value = LetterValue::kNone;
  Missing letter_missing = Missing::kIgnored;
  PlusPrefix plus = PlusPrefix::kIgnored;
  const char* words[3] = {};
  WordMatch word_match = WordMatch::kPrefixOneCase;
  WordValue word_value = WordValue::kIgnored;
  IniKey ini[7] = {};
  IniValue ini_value = IniValue::kIgnored;
  // The INI line is still tested against the keys of the rows that follow.
  bool ini_continues = false;
};

// The table, in its order.
std::span<const OptionKey> option_keys();
// The whole word of the table (binsift's own words, not the classic keys)
// that `word` (its part before any "=") comes within two letters of, by
// insertions, deletions, substitutions and transpositions, case aside: the
// nearest, the first of the table's order among equals.  Null for none.
const char* near_miss_word(const char* word);
// The number of such edits between `a` (of `a_length` characters) and `b`,
// ASCII case aside; any number above `limit` is given as limit + 1.
size_t edit_distance(const char* a, size_t a_length, const char* b, size_t limit);
// The row of a command-line letter; null for a letter no row has.
const OptionKey* option_key_for_letter(char letter);

enum class OptionSource : uint8_t { kEnvironment, kIniFile, kLetter, kWord };

// One use of a key, as its reader took it.
struct OptionInput {
  OptionSource source = OptionSource::kLetter;
  char letter = 0;
  bool on = true;                 // switches on or off (PlusPrefix, on/off values)
  bool afresh = false;            // a list starts afresh (before its values)
  const char* value = nullptr;    // the value, null when there is none
  // INI keys: the value as written (the value above is upper-cased); the
  // letter p: the argument itself, which the path list shortens.
  char* written = nullptr;
  const char* word = nullptr;     // words: the whole word, for messages
};

// A --format value: a report format's name, written all in lower case or
// all in upper case, that the vocabulary knows; `out` receives it in lower
// case.
bool format_value(const char* value, const OptionVocabulary& vocabulary, std::string* out);

// A --hash list: "md5", "sha1" and "sha256", in any order and case, each
// at most once, separated by ","; `kinds` receives them as digest bits.
bool digest_list_value(const char* value, unsigned* kinds);

// What applying a key came to.
struct Applied {
  enum Kind : uint8_t {
    kDone,
    kRefused,         // an illegal value: "Illegal option" is said by the caller
    kRefusedAndSaid,  // refused with a message of its own, already written
    kHelpScreen,
    kHelpMore,
    kVersion,
    kEnded,           // naming a file ended the run
  };
  Applied(Kind k) : kind(k) {}  // NOLINT: a kind is an outcome
  explicit Applied(Status status) : kind(status.ok() ? kDone : kEnded), ended(status) {}
  Kind kind;
  Status ended;  // kEnded: how the run ends
};

// Applies the row's effect to `options`, with what it does to the rest of
// the run through `effects`.
Applied apply_option(const OptionKey& key, const OptionInput& input,
                     const OptionVocabulary& vocabulary, OptionEffects* effects,
                     Options* options);
