#include "options/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/evidence.h"
#include "common/exit.h"
#include "options/help.h"
#include "options/ini_file.h"
#include "options/long_options.h"
#include "platform/image_file_system.h"
#include "platform/platform.h"
#include "report/report_output.h"
#include "runlog/run_log.h"
#include "walk/exclude.h"
#include "walk/path_list.h"

const ModuleStamp kOptionsModule = {__FILE__, __DATE__, __TIME__};

Options g_options;
char g_delimiter = ' ';
std::string g_program_path;

bool is_option_start(const char* arg) {
  return arg[0] != '\0' && strchr(kOptionPrefixes, arg[0]) != nullptr;
}

namespace {

// The first backslash or path separator in a file pattern, or nullptr.
const char* refused_separator(const char* pattern) {
  const char* backslash = strchr(pattern, '\\');
  const char* separator = strchr(pattern, kPathSeparator);
  return !backslash || (separator && separator < backslash) ? separator : backslash;
}

bool equals_ignore_case(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return *a == *b;
}

// Names the accounting file with -1 or -2.
void name_accounting_file(const char* name) {
  if (g_acct_file) {
    std::string full;
    if (!full_path(name, &full)) full = name;
    fputs("This file closed.\n", g_acct_file);
    fprintf(g_acct_file, "Accounting file overridden by option -1 file pointing to %s\n",
            full.c_str());
    close_run_log();
  }
  g_acct_file = g_options.log_files->open_run_log(name);
}

}  // namespace

EarlyWords read_early_words(int argc, char** argv) {
  EarlyWords words;
  int i = 1;
  while (i < argc && !is_option_start(argv[i])) ++i;
  // The arguments as the loop of parse_options() takes them.  Where that
  // loop would stop the run (a missing value, an unknown letter), this one
  // reads on: a word the run never reaches protects all the same.
  while (i < argc && is_option_start(argv[i])) {
    const char* arg = argv[i++];
    if (equals_ignore_case(arg, "-.ini")) {
      if (i >= argc) break;
      arg = argv[i++];
    }
    for (size_t k = 1; arg[k] != '\0'; ++k) {
      const char* rest = arg + k + 1;
      bool rest_taken = false;
      switch (arg[k]) {
        case '-':
          read_early_word(rest, &words);
          rest_taken = true;
          break;
        case '1': case '2': case 'E':
          if (arg[k] != 'E' && k == 1 && arg[0] == '+') break;
          if (*rest) {
            rest_taken = true;
          } else if (i < argc && argv[i][0] != '-') {
            ++i;
          }
          break;
        case 'd':
          if (i < argc) ++i;
          break;
        case 'g': case 'l': case 'O': case 'o': case 'X':
          if (*rest) {
            rest_taken = true;
          } else if (i < argc) {
            ++i;
          }
          break;
        case 'f': case 'p': case 'x':
          while (i < argc && !is_option_start(argv[i])) ++i;
          break;
        default:
          break;
      }
      if (rest_taken) break;
    }
  }
  return words;
}

int parse_options(int argc, char** argv) {
  // Before any file is opened: the evidence this run must never write, and
  // whether the run log's notes must keep off standard output.
  const EarlyWords early = read_early_words(argc, argv);
  protect_evidence(kImageSupport ? early.image.c_str() : "");
  note_log_directories_on_error_stream(find_report_format(early.format)->utf8);
  acct_from_environment();
  read_ini_file(argv, &g_options);
  g_program_path = argv[0] ? argv[0] : "";

  int first = 1;
  while (first < argc && !is_option_start(argv[first])) ++first;

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
      bool rest_taken = false;
      switch (letter) {
        case '-': {
          const int refused = parse_long_option(rest, &g_options);
          if (refused == 1) printf("\nIllegal option: %s", rest);
          if (refused != 0) exit_program(ILLEGAL_OPTION);
          rest_taken = true;
          break;
        }
        case '1':
        case '2': {
          if (k == 1 && arg[0] == '+') {
            g_options.accounting_mode = 0;
            close_run_log();
            break;
          }
          const char* name = rest;
          if (*rest) {
            rest_taken = true;
          } else if (i < argc && argv[i][0] != '-') {
            name = argv[i++];
          } else {
            show_help();
          }
          name_accounting_file(name);
          if (letter == '1') {
            ++g_options.accounting_mode;
          } else {
            g_options.accounting_mode = 2;
          }
          break;
        }
        case '?':
          show_help();
        case 'a':
        case 'A':
          g_options.append = arg[0] == '+' ? 0 : 1;
          break;
        case 'B':
        case 'Q':
          g_options.no_header = 1;
          break;
        case 'b': case 'C': case 'c': case 'H': case 'h': case 'I': case 'i': case 'q':
          break;
        case 'd':
          if (i < argc) {
            const char* value = argv[i++];
            g_delimiter = strlen(value) == 1 ? value[0] : static_cast<char>(atoi(value));
          }
          break;
        case 'E':
          if (*rest) {
            rest_taken = true;
          } else if (i < argc && argv[i][0] != '-') {
            ++i;
          } else {
            exit_program(ILLEGAL_OPTION);
          }
          break;
        case 'f':
          while (i < argc && !is_option_start(argv[i])) {
            const char* pattern = argv[i++];
            // The message names the separator that was refused.
            const char* refused = refused_separator(pattern);
            if (refused) {
              fprintf(stderr, "Can't have a %c in the file type option\n", *refused);
              exit_program(ILLEGAL_OPTION);
            }
            add_file_pattern(pattern);
          }
          break;
        case 'g':
        case 'l':
          if (*rest) {
            rest_taken = true;
          } else if (i < argc) {
            ++i;
          } else {
            show_help();
          }
          break;
        case 'O':
        case 'o': {
          if (letter == 'O') g_options.append = 1;
          const char* name = rest;
          if (*rest) {
            rest_taken = true;
          } else if (i < argc) {
            name = argv[i++];
          } else {
            show_help();
          }
          g_options.output_to_file = 1;
          g_output_name = name;
          break;
        }
        case 'p':
          while (i < argc && !is_option_start(argv[i])) add_path(argv[i++]);
          break;
        case 'R':
          g_options.reset_times = 1;
          break;
        case 'r':
          g_options.recurse = 0;
          break;
        case 'X':
          if (*rest) {
            rest_taken = true;
          } else if (i < argc) {
            ++i;
          }
          break;
        case 'x':
          clear_exclusions();
          if (i >= argc || argv[i][0] == '-') show_help();
          g_options.exclude_active = 1;
          while (i < argc && !is_option_start(argv[i])) add_exclusion(argv[i++]);
          break;
        default:
          help_for_unknown_letter();
      }
      if (rest_taken) break;
    }
  }

  // Carving reads an image's metadata; there is nothing to carve without one.
  if (g_options.carve && g_options.image_path.empty()) {
    printf("\nIllegal option: %s", g_carve_word.c_str());
    exit_program(ILLEGAL_OPTION);
  }
  if (g_pattern_list.empty()) add_file_pattern("*.*");
  if (g_delimiter == ' ') g_delimiter = '|';
  return first;
}
