// The options of a run as one value, filled by the three readers (the
// environment, the INI file, the command line) in that order, each through
// the table of what every key does (option_table.h).  The driver hands the
// value's parts to the walk, the decoder, the writers and the run log.
//
// What reading an option does to the rest of the run while it reads (the
// accounting and memo files it names are opened at once, the INI file that
// cannot be opened is said so) goes through OptionEffects, which the driver
// implements; what ends the run (the help screens, a refused option) is the
// readers' result, acted on by the driver.  This folder includes only
// common/ and platform/.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/exclusions.h"
#include "common/module_stamp.h"
#include "common/status.h"
#include "platform/codepage.h"

// The listed directories as the path list's duplicate test looks them up,
// so that the test costs the same however long the list is.  path_list.cc
// brings it up to the list, which its users may also clear or fill
// directly.
struct PathListIndex {
  std::unordered_set<std::string> exact;     // as stored
  std::unordered_set<std::string> compared;  // as the duplicate test compares
  size_t indexed = 0;                        // entries of the list in the sets
};

struct Options {
  // The option record.
  int32_t accounting_mode = 0;
  int32_t append = 0;
  int32_t exclude_active = 0;
  int32_t no_header = 0;
  int32_t output_to_file = 0;
  int32_t recurse = 1;
  int32_t reset_times = 0;
  int32_t memo_active = 0;

  // The lists.
  std::vector<std::string> path_list;     // directories, in the order added
  std::vector<std::string> pattern_list;  // file patterns, as given
  ExclusionList exclude_list;             // upper-cased patterns
  PathListIndex path_index;               // for duplicate tests of path_list

  // The files the options name (each as the option gave it; the output name
  // resolved where the option says so).
  std::string output_name;  // "CON" once the console is the report's target
  std::string acct_name;    // the accounting file named last
  std::string memo_name;    // the memo file named last
  char delimiter = ' ';     // set by -d; nothing in the report reads it
  std::string program_path;  // argv[0], for the help procedure

  // The words beyond the keys.
  std::string report_format = "seed";       // --format=NAME
  std::string codepage = kDefaultCodepage;  // --codepage=NAME: INFO2 ANSI paths
  // --image=FILE: the evidence image whose volumes are read in place of
  // the machine's file systems; --carve: also recover deleted index files
  // (carve_word: as it was written, for the message that refuses it).
  std::string image_path;
  int32_t carve = 0;
  std::string carve_word;
  // --shadows: also read the volumes' shadow copies (shadows_word: as it
  // was written, for the message that refuses it).
  int32_t shadows = 0;
  std::string shadows_word;
  // --hash=LIST: the digests of every companion file (digest bits of
  // platform/digests.h); --collect=DIR: where the companions are copied
  // (a full path; collect_word as written, for the message that refuses it).
  unsigned hash_kinds = 0;
  std::string collect_dir;
  std::string collect_word;
  // --scan: also scan the image volumes' unallocated clusters for index
  // records (scan_word: as it was written, for the message that refuses
  // it); --scan=FILE: scan FILE's bytes (the last one named).
  int32_t scan_unallocated = 0;
  std::string scan_word;
  std::string scan_file;
  // --registry=FILE, as often as given: SOFTWARE and SAM hive files that
  // name the users, in the order given.
  std::vector<std::string> registry_files;
};

// What the readers check values against: what the rest of the program has.
struct OptionVocabulary {
  std::span<const std::string_view> report_formats;  // the names --format takes
  bool images = false;               // whether --image can be taken
  const char* images_refused = "";   // what refuses it otherwise
  bool shadows = false;              // whether --shadows can be taken
  const char* shadows_refused = "";  // what refuses it otherwise
  bool registries = false;              // whether --registry can be taken
  const char* registries_refused = "";  // what refuses it otherwise
};

// The words that decide what the run must never write (--image=, and every
// --registry=) and
// whether standard output holds a report that a program reads (--format=).
// They are read ahead of everything that opens a file, since the
// environment, the INI file and the options before them can name the
// accounting file.  The last of each counts (every --registry= does), as
// when the options are applied.
struct EarlyWords {
  std::string image;
  std::string scan_file;  // --scan=FILE: evidence too
  std::vector<std::string> registries;  // every --registry= hive file
  std::string format = "seed";
};

// What reading the options does to the rest of the run, at the moment it
// reads them.
class OptionEffects {
 public:
  virtual ~OptionEffects() = default;
  // Before anything is named: the image and the format the options give.
  virtual void before_reading(const EarlyWords& early) = 0;
  // The accounting file `path`, named by the environment, the INI file or
  // -1/-2.  With `overridden_by` (".ini file", "option -1 file"), an
  // accounting file already open is first told that this one overrides it,
  // and closed.  A file that can neither be opened nor created ends the run.
  virtual Status name_accounting_file(const char* path, const char* overridden_by) = 0;
  // --acc/--log: opens `path` as the accounting file, leaving one already
  // open as it is; `opened` false when it cannot be opened.
  virtual Status add_accounting_file(const char* path, bool* opened) = 0;
  // +1/+2: closes the accounting file.
  virtual void close_accounting_file() = 0;
  // The memo file `path` (a full path): one already open is closed first.
  virtual void name_memo_file(const char* path) = 0;
  // The INI file that was found cannot be opened.
  virtual void ini_file_unreadable() = 0;
};

// How reading the options ended.
enum class OptionAction {
  kRun,                   // go on with the run
  kHelpScreen,            // show the help screen; the run ends with code 5
  kHelpForUnknownLetter,  // the help procedure of an unknown letter; code 5
  kHelpMore,              // --help-more; code 5
  kVersion,               // --version: the version line, and code 0
  kRefused,               // refused, its message written; code 5
  kEnded,                 // naming a file ended the run (`ended`)
};

struct OptionResult {
  OptionAction action = OptionAction::kRun;
  // kRun: the index of the first argument that starts an option (or argc).
  int first_option = 1;
  Status ended;  // kEnded: how the run ends
};

// The source module of the option readers, for the help screen.
extern const ModuleStamp kOptionsModule;

// True when `arg` starts an option on this platform.
bool is_option_start(const char* arg);

// The words of the command line as parse_options() will meet them: the
// same arguments, after the same letters that take values.
EarlyWords read_early_words(int argc, char** argv, const OptionVocabulary& vocabulary);

// Reads the accounting environment, the INI file and the command line into
// `options` (after effects->before_reading()).  The path list shortens the
// arguments it takes in place.
OptionResult parse_options(int argc, char** argv, const OptionVocabulary& vocabulary,
                           OptionEffects* effects, Options* options);
