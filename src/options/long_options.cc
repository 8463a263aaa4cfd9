#include "options/long_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "options/help_more.h"
#include "platform/codepage.h"
#include "platform/image_file_system.h"
#include "platform/platform.h"
#include "report/report_output.h"
#include "runlog/run_log.h"
#include "walk/exclude.h"

std::string g_carve_word;

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

// An on/off value: 1 on, 0 off, -1 refused.  No value means on.
int on_off(const char* value) {
  if (!value) return 1;
  if (strcmp(value, "ON") == 0 || strcmp(value, "on") == 0) return 1;
  if (strcmp(value, "OFF") == 0 || strcmp(value, "off") == 0) return 0;
  return -1;
}

// A word beyond the table: the whole word up to any "=" is `name`, all in
// lower case or all in upper case.
bool whole_word_matches(const char* word, const char* name) {
  const char* equals = strchr(word, '=');
  const size_t length = equals ? static_cast<size_t>(equals - word) : strlen(word);
  return length == strlen(name) && key_matches(word, name);
}

// A report format's name, written all in lower case or all in upper case.
bool parse_format_value(const char* value, std::string* out) {
  std::string name(value);
  bool all_lower = true, all_upper = true;
  for (char& c : name) {
    all_lower &= c == lower(c);
    all_upper &= c == upper(c);
    c = lower(c);
  }
  if (!(all_lower || all_upper) || !find_report_format(name)) return false;
  *out = name;
  return true;
}

std::string resolved(const char* value) {
  std::string full;
  if (!full_path(value, &full)) full = value;
  return full;
}

}  // namespace

int parse_long_option(const char* word, Options* options) {
  const char* equals = strchr(word, '=');
  const char* value = (equals && equals[1] != '\0') ? equals + 1 : nullptr;

  if (key_matches(word, "append")) {
    options->append = 1;
    return 0;
  }
  if (key_matches(word, "acc") || key_matches(word, "log")) {
    if (!value) return 1;
    options->accounting_mode = 2;
    FILE* f = options->log_files->open_run_log(value);
    if (!f) return 1;
    g_acct_file = f;  // an earlier file is left open and unfinished
    return 0;
  }
  if (key_matches(word, "che")) return on_off(value) < 0 ? 1 : 0;
  if (key_matches(word, "del")) {
    if (!value) return 1;
    if (strlen(value) == 1) {
      g_delimiter = value[0];
    } else if (strcmp(value, "pipe") == 0) {
      g_delimiter = '|';
    } else {
      g_delimiter = static_cast<char>(atoi(value));
    }
    return 0;
  }
  if (key_matches(word, "dir")) return value ? 0 : 1;
  if (key_matches(word, "ex", true) || key_matches(word, "not", true)) {
    if (!value) return 1;
    options->exclude_active = 1;
    add_exclusion(value);
    return 0;
  }
  if (key_matches(word, "ind")) return value ? 0 : 1;
  if (key_matches(word, "max")) return value ? 0 : 1;
  if (key_matches(word, "memo")) {
    options->memo_active = 1;
    if (value) {
      close_memo_stream(g_memo_file);
      g_memo_file = options->log_files->open_memo(resolved(value).c_str());
    }
    return 0;
  }
  if (key_matches(word, "out")) {
    if (!value) return 1;
    options->output_to_file = 1;
    options->append = 0;
    g_output_name = resolved(value);
    return 0;
  }
  if (key_matches(word, "rec")) {
    const int v = on_off(value);
    if (v < 0) return 1;
    options->recurse = v;
    return 0;
  }
  if (key_matches(word, "res")) {
    const int v = on_off(value);
    if (v < 0) return 1;
    options->reset_times = v;
    return 0;
  }
  if (key_matches(word, "st")) return on_off(value) < 0 ? 1 : 0;
  if (key_matches(word, "tru") || key_matches(word, "uni") || key_matches(word, "var")) return 0;
  if (key_matches(word, "wid")) return value ? 0 : 1;

  // Words beyond the table, matched whole.  None begins with one of the
  // keys above, which are prefix tests and come first.
  if (whole_word_matches(word, "image")) {
    if (!value) return 1;
    if (!kImageSupport) {
      fprintf(stderr, "\n%s\n", kImageUnsupportedMessage);
      return 2;
    }
    options->image_path = value;
    return 0;
  }
  if (whole_word_matches(word, "carve")) {
    if (equals) return 1;
    options->carve = 1;
    g_carve_word = word;
    return 0;
  }
  if (whole_word_matches(word, "format")) {
    return value && parse_format_value(value, &options->report_format) ? 0 : 1;
  }
  if (whole_word_matches(word, "codepage")) {
    if (!value || !codepage_known(value)) return 1;
    options->codepage = value;
    return 0;
  }
  if (whole_word_matches(word, "help-more")) {
    if (value) return 1;  // takes no value
    show_help_more();
  }
  return 0;
}

void read_early_word(const char* word, EarlyWords* out) {
  const char* equals = strchr(word, '=');
  const char* value = (equals && equals[1] != '\0') ? equals + 1 : nullptr;
  // Neither word begins with a key of the table, which come first.
  if (!value) return;
  if (whole_word_matches(word, "image")) {
    out->image = value;
  } else if (whole_word_matches(word, "format")) {
    parse_format_value(value, &out->format);
  }
}

void acct_from_environment() {
  if (const char* acct = getenv("ACCT")) {
    const bool on = (acct[0] == 'o' || acct[0] == 'O') && (acct[1] == 'n' || acct[1] == 'N') &&
                    acct[2] == '\0';
    g_acct_file = g_options.log_files->open_run_log(on ? "acct-ing" : acct);
  } else if (const char* accting = getenv("ACCTING")) {
    g_acct_file = g_options.log_files->open_run_log(accting);
  }
}
