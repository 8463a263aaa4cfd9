// What reading the options does to the rest of the run, as this run does
// it: the evidence protected and the notes' stream chosen before anything
// is named, the run log's files named and closed, the INI file that cannot
// be opened said so.
#pragma once

#include "options/help.h"
#include "options/options.h"
#include "runlog/run_log.h"

class RunOptionEffects final : public OptionEffects {
 public:
  explicit RunOptionEffects(RunLog* run_log) : run_log_(run_log) {}

  void before_reading(const EarlyWords& early) override;
  Status name_accounting_file(const char* path, const char* overridden_by) override;
  Status add_accounting_file(const char* path, bool* opened) override;
  void close_accounting_file() override;
  void name_memo_file(const char* path) override;
  void ini_file_unreadable() override;

 private:
  RunLog* run_log_;
};

// What the option readers check values against in this build: the report
// formats' names, and whether evidence images can be read.
OptionVocabulary run_vocabulary();

// The build stamps of the help screen.
HelpStamps run_help_stamps();

// Acts on how reading the options ended: nothing for a run that goes on;
// otherwise the help screen (or the help procedure of an unknown letter,
// or --help-more) where it asks for one, and the end of the run.
void end_unless_run(const OptionResult& result, const Options& options);
