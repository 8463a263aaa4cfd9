#include "options/long_options.h"

#include <cstring>
#include <string>

#include "options/option_table.h"

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The word starts with `key` (compared over the key's length), written all
// in lower case or all in upper case; any case at all when `any_case`.
bool key_matches(const char* word, const char* key, bool any_case = false) {
  const size_t n = strlen(key);
  if (strlen(word) < n) return false;
  bool all_lower = true, all_upper = true, folded = true;
  for (size_t i = 0; i < n; ++i) {
    all_lower &= word[i] == key[i];
    all_upper &= word[i] == upper(key[i]);
    folded &= lower(word[i]) == key[i];
  }
  return any_case ? folded : (all_lower || all_upper);
}

// A word beyond the keys: the whole word up to any "=" is `name`, all in
// lower case or all in upper case.
bool whole_word_matches(const char* word, const char* name) {
  const char* equals = strchr(word, '=');
  const size_t length = equals ? static_cast<size_t>(equals - word) : strlen(word);
  return length == strlen(name) && key_matches(word, name);
}

bool matches(const OptionKey& key, const char* word) {
  for (const char* name : key.words) {
    if (!name) break;
    switch (key.word_match) {
      case WordMatch::kPrefixOneCase:
        if (key_matches(word, name)) return true;
        break;
      case WordMatch::kPrefixAnyCase:
        if (key_matches(word, name, true)) return true;
        break;
      case WordMatch::kWholeWord:
        if (whole_word_matches(word, name)) return true;
        break;
    }
  }
  return false;
}

// An on/off value: 1 on, 0 off, -1 refused.  No value means on.
int on_off(const char* value) {
  if (!value) return 1;
  if (strcmp(value, "ON") == 0 || strcmp(value, "on") == 0) return 1;
  if (strcmp(value, "OFF") == 0 || strcmp(value, "off") == 0) return 0;
  return -1;
}

}  // namespace

WordResult parse_long_option(const char* word, const OptionVocabulary& vocabulary,
                             OptionEffects* effects, Options* options, Status* ended,
                             const char** meant) {
  const char* equals = strchr(word, '=');
  const char* value = (equals && equals[1] != '\0') ? equals + 1 : nullptr;
  for (const OptionKey& key : option_keys()) {
    if (!key.words[0] || !matches(key, word)) continue;
    OptionInput in;
    in.source = OptionSource::kWord;
    in.word = word;
    in.value = value;
    switch (key.word_value) {
      case WordValue::kIgnored:
      case WordValue::kOptional:
        break;
      case WordValue::kRequired:
        if (!value) return kWordRefused;
        break;
      case WordValue::kOnOff: {
        const int v = on_off(value);
        if (v < 0) return kWordRefused;
        in.on = v == 1;
        break;
      }
      case WordValue::kNone:
        if (equals) return kWordRefused;
        break;
      case WordValue::kNoValue:
        if (value) return kWordRefused;
        break;
    }
    const Applied applied = apply_option(key, in, vocabulary, effects, options);
    switch (applied.kind) {
      case Applied::kDone: return kWordAccepted;
      case Applied::kRefused: return kWordRefused;
      case Applied::kRefusedAndSaid: return kWordRefusedAndSaid;
      case Applied::kHelpMore: return kWordHelpMore;
      case Applied::kHelpScreen: return kWordHelpScreen;
      case Applied::kVersion: return kWordVersion;
      case Applied::kEnded:
        if (ended) *ended = applied.ended;
        return kWordEnded;
    }
  }
  // A word no key matches has no effect, unless it is a slip of one of
  // binsift's own words, which would otherwise pass unnoticed.
  if (const char* near = near_miss_word(word)) {
    if (meant) *meant = near;
    return kWordNearMiss;
  }
  return kWordAccepted;
}

void read_early_word(const char* word, const OptionVocabulary& vocabulary, EarlyWords* out) {
  const char* equals = strchr(word, '=');
  const char* value = (equals && equals[1] != '\0') ? equals + 1 : nullptr;
  // None of these words begins with a key of the table, which come first.
  if (!value) return;
  for (const OptionKey& key : option_keys()) {
    if (key.effect != OptionEffect::kImage && key.effect != OptionEffect::kFormat &&
        key.effect != OptionEffect::kScan && key.effect != OptionEffect::kRegistry)
      continue;
    if (!matches(key, word)) continue;
    if (key.effect == OptionEffect::kImage) {
      out->image = value;
    } else if (key.effect == OptionEffect::kScan) {
      out->scan_file = value;
    } else if (key.effect == OptionEffect::kRegistry) {
      out->registries.emplace_back(value);
    } else {
      // Only a name the format word takes.
      format_value(value, vocabulary, &out->format);
    }
  }
}
