#include "options/option_table.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/paths.h"
#include "options/path_list.h"
#include "platform/codepage.h"
#include "platform/digests.h"
#include "platform/platform.h"

namespace {

using E = OptionEffect;
using L = LetterValue;
using W = WordValue;
using I = IniValue;
constexpr IniMatch C = IniMatch::kContains;
constexpr IniMatch B = IniMatch::kBegins;

// Makes a row; the fields not given keep their defaults.
struct Row : OptionKey {
  explicit Row(E e) { effect = e; }
  Row& letter(const char* l, L value = L::kNone, Missing missing = Missing::kIgnored) {
    letters = l;
    letter_value = value;
    letter_missing = missing;
    return *this;
  }
  Row& with_plus(PlusPrefix p) {
    plus = p;
    return *this;
  }
  Row& word(const char* a, W value, const char* b = nullptr, const char* c = nullptr,
            WordMatch match = WordMatch::kPrefixOneCase) {
    words[0] = a;
    words[1] = b;
    words[2] = c;
    word_value = value;
    word_match = match;
    return *this;
  }
  Row& ini_keys(I value, std::initializer_list<IniKey> keys) {
    size_t n = 0;
    for (const IniKey& k : keys) ini[n++] = k;
    ini_value = value;
    return *this;
  }
  Row& continues() {
    ini_continues = true;
    return *this;
  }
};

const std::vector<OptionKey>& table() {
  static const std::vector<OptionKey> kTable = {
      // The rows with INI keys, in the INI reader's order.
      Row(E::kAccountingFile)
          .letter("12", L::kAttachedOrNextNotDash, Missing::kHelpScreen)
          .with_plus(PlusPrefix::kCloses)
          .word("acc", W::kRequired, "log")
          .ini_keys(I::kRequired, {{"ACCT", C}}),
      Row(E::kAppend)
          .letter("aA")
          .with_plus(PlusPrefix::kSwitchesOff)
          .word("append", W::kIgnored).ini_keys(I::kOnOff, {{"APPEND", C}}),
      Row(E::kNoHeader).letter("BQ").ini_keys(I::kOnOnly, {{"BINARY", C}}),
      Row(E::kDelimiter)
          .letter("d", L::kNext)
          .word("del", W::kRequired)
          .ini_keys(I::kRequired, {{"DELIMETER", C}, {"DELIMITER", C}})
          .continues(),
      Row(E::kNothing)
          .word("dir", W::kRequired, "ind")
          .ini_keys(I::kIgnored, {{"INDIV", C}, {"DIRFILES", C}, {"DIR_FILE", C}, {"DOC_ID", C},
                                  {"TYPE", C}, {"SINGLE", C}, {"STARS", C}}),
      Row(E::kExclusion)
          .letter("x", L::kListAfresh, Missing::kHelpScreen)
          .word("ex", W::kRequired, "not", nullptr, WordMatch::kPrefixAnyCase)
          .ini_keys(I::kRequired, {{"EXCLUDE", C}}),
      Row(E::kFilePattern).letter("f", L::kList).ini_keys(I::kRequired, {{"FILE", B}}),
      Row(E::kNothing)
          .word("max", W::kRequired, "wid")
          .ini_keys(I::kIgnored,
                    {{"TRUE", B}, {"NOCHEV", C}, {"CHEVRON", C}, {"MAX", B}, {"WIDTH", B}}),
      Row(E::kMemoFile).word("memo", W::kOptional).ini_keys(I::kOptional, {{"MEMO", B}}),
      Row(E::kNothing).ini_keys(I::kIgnored, {{"MILITARY", C}, {"NOHEX", C}, {"OFFSET", C}}),
      Row(E::kOutputFile)
          .letter("oO", L::kAttachedOrNext, Missing::kHelpScreen)
          .word("out", W::kRequired)
          .ini_keys(I::kRequired, {{"OUTPUT", B}}),
      Row(E::kPath).letter("p", L::kList).ini_keys(I::kRequired, {{"PATH", B}}),
      Row(E::kNothing).ini_keys(I::kIgnored, {{"PAUSE", C}, {"PRINT", C}, {"NODOTS", C}}),
      Row(E::kNoHeader).ini_keys(I::kOnOff, {{"QUIET", C}, {"SILENT", C}}),
      Row(E::kRecurse).letter("r").word("rec", W::kOnOff).ini_keys(I::kOnOff, {{"RECURSE", C}}),
      Row(E::kResetTimes).letter("R").word("res", W::kOnOff).ini_keys(I::kOnOff, {{"RESET", C}}),
      // Keys of the command line alone.
      Row(E::kNothing).word("che", W::kOnOff, "st"),
      Row(E::kNothing).word("tru", W::kIgnored, "uni", "var"),
      Row(E::kNothing).letter("bCcHhIiq"),
      Row(E::kNothing).letter("gl", L::kAttachedOrNext, Missing::kHelpScreen),
      Row(E::kNothing).letter("X", L::kAttachedOrNext),
      Row(E::kNothing).letter("E", L::kAttachedOrNextNotDash, Missing::kRefused),
      Row(E::kHelpScreen).letter("?"),
      // The words beyond the keys, matched whole after every key.
      Row(E::kImage).word("image", W::kRequired, nullptr, nullptr, WordMatch::kWholeWord),
      Row(E::kCarve).word("carve", W::kNone, nullptr, nullptr, WordMatch::kWholeWord),
      Row(E::kShadows).word("shadows", W::kNone, nullptr, nullptr, WordMatch::kWholeWord),
      Row(E::kScan).word("scan", W::kOptional, nullptr, nullptr, WordMatch::kWholeWord),
      Row(E::kRegistry).word("registry", W::kRequired, nullptr, nullptr, WordMatch::kWholeWord),
      Row(E::kFormat).word("format", W::kRequired, nullptr, nullptr, WordMatch::kWholeWord),
      Row(E::kCodepage).word("codepage", W::kRequired, nullptr, nullptr, WordMatch::kWholeWord),
      Row(E::kHelpMore).word("help-more", W::kNoValue, nullptr, nullptr, WordMatch::kWholeWord),
      Row(E::kHelpScreen).word("help", W::kNone, nullptr, nullptr, WordMatch::kWholeWord),
      Row(E::kVersion).word("version", W::kNone, nullptr, nullptr, WordMatch::kWholeWord),
      Row(E::kHash).word("hash", W::kRequired, nullptr, nullptr, WordMatch::kWholeWord),
      Row(E::kCollect).word("collect", W::kRequired, nullptr, nullptr, WordMatch::kWholeWord),
  };
  return kTable;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

bool digest_list_value(const char* value, unsigned* kinds) {
  static constexpr const char* kNames[kDigestKindCount] = {"md5", "sha1", "sha256"};
  *kinds = 0;
  const char* at = value;
  for (;;) {
    const char* end = strchr(at, ',');
    const size_t length = end ? static_cast<size_t>(end - at) : strlen(at);
    int found = -1;
    for (int kind = 0; kind < kDigestKindCount; ++kind) {
      if (strlen(kNames[kind]) != length) continue;
      bool same = true;
      for (size_t i = 0; i < length; ++i) same &= lower(at[i]) == kNames[kind][i];
      if (same) found = kind;
    }
    if (found < 0 || (*kinds & digest_bit(found))) return false;
    *kinds |= digest_bit(found);
    if (!end) return true;
    at = end + 1;
  }
}

bool format_value(const char* value, const OptionVocabulary& vocabulary, std::string* out) {
  std::string name(value);
  bool all_lower = true, all_upper = true;
  for (char& c : name) {
    all_lower &= c == lower(c);
    all_upper &= c == upper(c);
    c = lower(c);
  }
  if (!(all_lower || all_upper)) return false;
  for (std::string_view known : vocabulary.report_formats) {
    if (known == name) {
      *out = name;
      return true;
    }
  }
  return false;
}

namespace {

// The first backslash or path separator in a file pattern, or nullptr.
const char* refused_separator(const char* pattern) {
  const char* backslash = strchr(pattern, '\\');
  const char* separator = strchr(pattern, kPathSeparator);
  return !backslash || (separator && separator < backslash) ? separator : backslash;
}

Applied accounting_file(const OptionInput& in, OptionEffects* effects, Options* o) {
  switch (in.source) {
    case OptionSource::kEnvironment:
      o->acct_name = in.value;
      return Applied(effects->name_accounting_file(in.value, nullptr));
    case OptionSource::kIniFile: {
      if (strncmp(in.value, "OFF", 3) == 0) {
        o->accounting_mode = 0;
        return Applied::kDone;
      }
      o->acct_name = in.written;
      const Status status = effects->name_accounting_file(in.written, ".ini file");
      o->accounting_mode = 2;
      return Applied(status);
    }
    case OptionSource::kLetter: {
      if (!in.on) {
        o->accounting_mode = 0;
        effects->close_accounting_file();
        return Applied::kDone;
      }
      o->acct_name = in.value;
      const Status status = effects->name_accounting_file(in.value, "option -1 file");
      if (in.letter == '1') {
        ++o->accounting_mode;
      } else {
        o->accounting_mode = 2;
      }
      return Applied(status);
    }
    case OptionSource::kWord: {
      o->accounting_mode = 2;
      bool opened = false;
      const Status status = effects->add_accounting_file(in.value, &opened);
      if (!status.ok()) return Applied(status);
      if (!opened) return Applied::kRefused;
      o->acct_name = in.value;  // an earlier file is left open and unfinished
      return Applied::kDone;
    }
  }
  return Applied::kDone;
}

Applied delimiter(const OptionInput& in, Options* o) {
  const char* v = in.value;
  if (in.source == OptionSource::kIniFile && strcmp(v, "OFF") == 0) return Applied::kDone;
  if (strlen(v) == 1) {
    o->delimiter = v[0];
  } else if (in.source == OptionSource::kWord && strcmp(v, "pipe") == 0) {
    o->delimiter = '|';
  } else {
    o->delimiter = static_cast<char>(atoi(v));
  }
  return Applied::kDone;
}

Applied memo_file(const OptionInput& in, OptionEffects* effects, Options* o) {
  o->memo_active = 1;
  if (!in.value) return Applied::kDone;
  if (in.source == OptionSource::kIniFile && strstr(in.value, "OFF") != nullptr) {
    o->memo_active = 0;
    return Applied::kDone;
  }
  o->memo_name = resolved_path(in.source == OptionSource::kIniFile ? in.written : in.value);
  effects->name_memo_file(o->memo_name.c_str());
  return Applied::kDone;
}

Applied output_file(const OptionInput& in, Options* o) {
  switch (in.source) {
    case OptionSource::kLetter:
      if (in.letter == 'O') o->append = 1;
      o->output_to_file = 1;
      o->output_name = in.value;
      break;
    case OptionSource::kWord:
      o->output_to_file = 1;
      o->append = 0;
      o->output_name = resolved_path(in.value);
      break;
    case OptionSource::kIniFile:
      o->output_to_file = 1;
      o->output_name = resolved_path(in.written);
      break;
    case OptionSource::kEnvironment:
      break;
  }
  return Applied::kDone;
}

}  // namespace

std::span<const OptionKey> option_keys() { return table(); }

size_t edit_distance(const char* a, size_t n, const char* b, size_t limit) {
  const size_t m = strlen(b);
  if ((n > m ? n - m : m - n) > limit) return limit + 1;
  // Three rows of the table of distances between prefixes (the row before
  // the last for transpositions); the words compared are short.
  std::vector<size_t> before(m + 1), last(m + 1), row(m + 1);
  for (size_t j = 0; j <= m; ++j) last[j] = j;
  for (size_t i = 1; i <= n; ++i) {
    row[0] = i;
    size_t smallest = row[0];
    for (size_t j = 1; j <= m; ++j) {
      const bool same = lower(a[i - 1]) == lower(b[j - 1]);
      size_t d = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
          lower(a[i - 2]) == lower(b[j - 1]))
        d = std::min(d, before[j - 2] + 1);
      row[j] = d;
      smallest = std::min(smallest, d);
    }
    if (smallest > limit) return limit + 1;
    before.swap(last);
    last.swap(row);
  }
  return std::min(last[m], limit + 1);
}

const char* near_miss_word(const char* word) {
  constexpr size_t kLimit = 2;
  const char* equals = strchr(word, '=');
  const size_t length = equals ? static_cast<size_t>(equals - word) : strlen(word);
  const char* nearest = nullptr;
  size_t best = kLimit + 1;
  for (const OptionKey& key : table()) {
    if (key.word_match != WordMatch::kWholeWord) continue;
    for (const char* name : key.words) {
      if (!name) break;
      const size_t d = edit_distance(word, length, name, kLimit);
      if (d < best) {
        best = d;
        nearest = name;
      }
    }
  }
  return nearest;
}

const OptionKey* option_key_for_letter(char letter) {
  if (letter == '\0') return nullptr;
  for (const OptionKey& key : table())
    if (strchr(key.letters, letter) != nullptr) return &key;
  return nullptr;
}

Applied apply_option(const OptionKey& key, const OptionInput& in,
                     const OptionVocabulary& vocabulary, OptionEffects* effects,
                     Options* o) {
  const bool letter = in.source == OptionSource::kLetter;
  switch (key.effect) {
    case E::kNothing:
      return Applied::kDone;
    case E::kAccountingFile:
      return accounting_file(in, effects, o);
    case E::kAppend:
      o->append = in.on ? 1 : 0;
      return Applied::kDone;
    case E::kNoHeader:
      o->no_header = in.on ? 1 : 0;
      return Applied::kDone;
    case E::kDelimiter:
      return delimiter(in, o);
    case E::kExclusion:
      if (in.afresh) o->exclude_list.clear();
      o->exclude_active = 1;
      if (in.value) o->exclude_list.add(in.value);
      return Applied::kDone;
    case E::kFilePattern:
      if (letter) {
        // The message names the separator that was refused.
        if (const char* refused = refused_separator(in.value)) {
          fprintf(stderr, "Can't have a %c in the file type option\n", *refused);
          return Applied::kRefusedAndSaid;
        }
      }
      add_file_pattern(o, in.value);
      return Applied::kDone;
    case E::kMemoFile:
      return memo_file(in, effects, o);
    case E::kOutputFile:
      return output_file(in, o);
    case E::kPath:
      if (letter) {
        add_path(o, in.written);
      } else {
        std::string path = in.written;
        add_path(o, path.data());
      }
      return Applied::kDone;
    case E::kRecurse:
      o->recurse = letter ? 0 : (in.on ? 1 : 0);
      return Applied::kDone;
    case E::kResetTimes:
      o->reset_times = letter ? 1 : (in.on ? 1 : 0);
      return Applied::kDone;
    case E::kHelpScreen:
      return Applied::kHelpScreen;
    case E::kImage:
      if (!vocabulary.images) {
        fprintf(stderr, "\n%s\n", vocabulary.images_refused);
        return Applied::kRefusedAndSaid;
      }
      o->image_path = in.value;
      return Applied::kDone;
    case E::kCarve:
      o->carve = 1;
      o->carve_word = in.word;
      return Applied::kDone;
    case E::kShadows:
      if (!vocabulary.shadows) {
        fprintf(stderr, "\n%s\n", vocabulary.shadows_refused);
        return Applied::kRefusedAndSaid;
      }
      o->shadows = 1;
      o->shadows_word = in.word;
      return Applied::kDone;
    case E::kScan:
      // "--scan=" names no file.
      if (!in.value && strchr(in.word, '=') != nullptr) return Applied::kRefused;
      if (in.value) {
        o->scan_file = in.value;
      } else {
        o->scan_unallocated = 1;
        o->scan_word = in.word;
      }
      return Applied::kDone;
    case E::kRegistry:
      if (!vocabulary.registries) {
        fprintf(stderr, "\n%s\n", vocabulary.registries_refused);
        return Applied::kRefusedAndSaid;
      }
      o->registry_files.emplace_back(in.value);
      return Applied::kDone;
    case E::kFormat:
      return format_value(in.value, vocabulary, &o->report_format) ? Applied::kDone
                                                                  : Applied::kRefused;
    case E::kCodepage:
      if (!codepage_known(in.value)) return Applied::kRefused;
      o->codepage = in.value;
      return Applied::kDone;
    case E::kHelpMore:
      return Applied::kHelpMore;
    case E::kVersion:
      return Applied::kVersion;
    case E::kHash:
      return digest_list_value(in.value, &o->hash_kinds) ? Applied::kDone : Applied::kRefused;
    case E::kCollect:
      if (in.value[0] == '\0') return Applied::kRefused;
      o->collect_dir = resolved_path(in.value);
      o->collect_word = in.word;
      return Applied::kDone;
  }
  return Applied::kDone;
}
