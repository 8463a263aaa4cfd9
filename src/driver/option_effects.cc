#include "driver/option_effects.h"

#include <cstdio>

#include "common/evidence.h"
#include "common/notes_stream.h"
#include "driver/exit.h"
#include "driver/run.h"
#include "image/evidence_image.h"
#include "image/shadow_copies.h"
#include "options/help_more.h"
#include "platform/platform.h"
#include "report/report_formats.h"
#include "runlog/banner.h"
#include "runlog/run_log.h"
#include "users/hive_reader.h"

void RunOptionEffects::before_reading(const EarlyWords& early) {
  // Before any file is opened: the evidence this run must never write, and
  // whether the run log's notes must keep off standard output.
  if (kImageSupport && !early.image.empty()) {
    protect_evidence(early.image.c_str(), evidence_files(early.image.c_str()));
  } else {
    protect_evidence("");
  }
  // A file to scan is evidence too (none: nothing more).
  protect_scanned_file(early.scan_file.c_str());
  if (kHiveSupport) {
    for (const std::string& hive : early.registries) protect_registry_hive(hive.c_str());
  }
}

Status RunOptionEffects::name_accounting_file(const char* path, const char* overridden_by) {
  return run_log_->name_accounting_file(path, overridden_by);
}

Status RunOptionEffects::add_accounting_file(const char* path, bool* opened) {
  return run_log_->add_accounting_file(path, opened);
}

void RunOptionEffects::close_accounting_file() { run_log_->close_accounting_file(); }

void RunOptionEffects::name_memo_file(const char* path) { run_log_->name_memo_file(path); }

void RunOptionEffects::ini_file_unreadable() {
  fputs("\nCouldn't open .ini file\n", notes_stream());
  read_input_byte();
}

OptionVocabulary run_vocabulary() {
  OptionVocabulary vocabulary;
  vocabulary.report_formats = report_format_names();
  vocabulary.images = kImageSupport;
  vocabulary.images_refused = kImageUnsupportedMessage;
  // A build that reads no image has no shadow copies to read either: it
  // refuses both words alike.
  vocabulary.shadows = kShadowCopySupport;
  vocabulary.shadows_refused =
      kImageSupport ? kShadowCopyUnsupportedMessage : kImageUnsupportedMessage;
  vocabulary.registries = kHiveSupport;
  vocabulary.registries_refused = kHiveUnsupportedMessage;
  return vocabulary;
}

HelpStamps run_help_stamps() { return {&kRunLogModule, &kProgramModule, &kOptionsModule}; }

void end_unless_run(const OptionResult& result, const Options& options) {
  switch (result.action) {
    case OptionAction::kRun:
      return;
    case OptionAction::kHelpScreen:
      show_help(run_help_stamps());
      break;
    case OptionAction::kHelpForUnknownLetter:
      help_for_unknown_letter(options.program_path, run_help_stamps());
      break;
    case OptionAction::kHelpMore:
      show_help_more(report_format_help());
      break;
    case OptionAction::kVersion: {
      // A text line, as the platform ends its lines.
      const std::string line = "binsift " + program_version() + "\n";
      if (fputs(line.c_str(), stdout) == EOF || fflush(stdout) != 0) end_run(WRITE_ERROR);
      end_run(NORMAL_EXIT);
    }
    case OptionAction::kRefused:
      break;
    case OptionAction::kEnded:
      end_run(result.ended.exit_code());
  }
  end_run(ILLEGAL_OPTION);
}
