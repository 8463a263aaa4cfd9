// The option record and the single-letter options.
#pragma once

#include <cstdint>
#include <string>

#include "runlog/run_log.h"

#include "platform/codepage.h"
#include "report/report_formats.h"

struct Options {
  int32_t accounting_mode = 0;
  int32_t append = 0;
  int32_t exclude_active = 0;
  int32_t no_header = 0;
  int32_t output_to_file = 0;
  int32_t recurse = 1;
  int32_t reset_times = 0;
  int32_t memo_active = 0;
  // How the accounting and memo files named by the options are opened.
  const LogFileOpener* log_files = real_log_files();
  std::string report_format = "seed";  // --format=NAME
  std::string codepage = kDefaultCodepage;  // --codepage=NAME: INFO2 ANSI paths
  // --image=FILE: the evidence image whose volumes are read in place of
  // the machine's file systems; --carve: also recover deleted index files.
  std::string image_path;
  int32_t carve = 0;
};

extern Options g_options;
extern char g_delimiter;          // set by -d; nothing in the report reads it
extern std::string g_program_path;  // argv[0], for the help procedure

// The words that decide what the run must never write (--image=) and
// whether standard output holds a report that a program reads (--format=).
// They are read ahead of everything that opens a file, since the
// environment, the INI file and the options before them can name the
// accounting file.  The last of each counts, as when the options are
// applied.
struct EarlyWords {
  std::string image;
  std::string format = "seed";
};
// The words of the command line as parse_options() will meet them: the
// same arguments, after the same letters that take values.
EarlyWords read_early_words(int argc, char** argv);

// True when `arg` starts an option on this platform.
bool is_option_start(const char* arg);

// Applies the accounting environment, the INI file and the command line.
// Returns the index of the first argument that starts an option (or argc).
int parse_options(int argc, char** argv);
