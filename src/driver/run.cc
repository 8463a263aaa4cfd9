#include "driver/run.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string_view>

#include "common/memory.h"
#include "common/terminal_text.h"
#include "driver/exit.h"
#include "driver/image_run.h"
#include "driver/summary.h"
#include "options/help.h"
#include "options/options.h"
#include "platform/platform.h"
#include "decode/decoder.h"
#include "report/report_formats.h"
#include "platform/file_system.h"
#include "platform/file_time.h"
#include "report/report_output.h"
#include "runlog/banner.h"
#include "runlog/run_log.h"
#include "runlog/volume.h"
#include "walk/path_list.h"
#include "walk/walk.h"


void allocate_run_buffers() {
  if (!allocation_succeeds([] { g_pattern_list.reserve(32); })) {
    printf("\nLine %d, couldn't get memory\n", 496);
    exit_program(INSUFFICIENT_MEMORY);
  }
  if (!allocation_succeeds([] { g_path_list.reserve(32); })) {
    printf("\nLine %d, couldn't get memory\n", 508);
    exit_program(INSUFFICIENT_MEMORY);
  }
}

namespace {

DecoderBuffers g_decoder_buffers;

// The decoder's buffers that the run names, each ended with its own message
// when it cannot be had.
void allocate_named_decoder_buffers() {
  const std::string module = std::string(".") + kPathSeparator + "binsift";
  if (!allocation_succeeds([] { g_decoder_buffers.input.resize(kInputBufferSize); })) {
    fprintf(stderr, "\n%d %s\nCouldn't create input buffer\n", 553, module.c_str());
    exit_program(INSUFFICIENT_MEMORY);
  }
  if (!allocation_succeeds([] { g_output_name.reserve(1040); })) {
    fprintf(stderr, "\n%d %s\nError obtaining memory\n", 572, module.c_str());
    exit_program(USER_ABORTED);
  }
  if (!allocation_succeeds([] { g_decoder_buffers.reserve_text(); })) {
    fputs("Couldn't create pg_complete_path buffer\n", stderr);
    exit_program(INSUFFICIENT_MEMORY);
  }
}

}  // namespace

void read_reset_environment() {
  if (getenv("RESET")) {
    g_options.reset_times = 1;
  } else if (getenv("NORESET")) {
    g_options.reset_times = 0;
  }
}

void set_defaults() {
  allocate_named_decoder_buffers();
  g_options.recurse = 1;
  read_reset_environment();
}

void echo_command_line() {
  for (int i = 0; i < g_argc; ++i) {
    const char* arg = g_argv[i];
    if (arg[0] == '|' && arg[1] == '\0') {
      fputs(" \"|\"", g_acct_file);
    } else {
      fprintf(g_acct_file, " %s", arg);
    }
  }
}

namespace {

// Hands each file the walk selects to the decoder.
class DecodeEach final : public FileVisitor {
 public:
  explicit DecodeEach(IndexDecoder* decoder) : decoder_(decoder) {}
  bool visit_file(DirRef dir, std::string_view directory, const char* name,
                  EntryKind kind) override {
    return decoder_->decode(dir, directory, name, kind);
  }

 private:
  IndexDecoder* decoder_;
};

// A report that cannot be written (a full disk, say) must not end as a run
// that succeeded.  The message names where it could not be written and why.
[[noreturn]] void stop_on_write_failure(const ReportSink& sink) {
  std::string text = "\nCan't write the report to ";
  if (sink.failed() != kInvalidHandle && sink.failed() == sink.copy()) {
    text.append("the output file ");
    append_terminal_text(&text, g_output_name.data(), g_output_name.size());
  } else {
    text.append("standard output");
  }
  text.append(": ").append(sink.failure_reason()).append("\n");
  fputs(text.c_str(), stderr);
  exit_program(WRITE_ERROR);
}

void end_walk(WalkStatus status, const ReportSink& sink) {
  switch (status) {
    case WalkStatus::kDone: break;
    case WalkStatus::kAborted: exit_program(USER_ABORTED);
    case WalkStatus::kWriteFailed: stop_on_write_failure(sink);
  }
}

// An image run: each folder the image gives is walked with its volume as
// the file system, and every recovered index file is decoded after them.
class ImageWalks final : public ImageRunHooks {
 public:
  ImageWalks(IndexDecoder* decoder, const WalkSettings& settings, const ReportSink* sink)
      : decoder_(decoder), settings_(settings), sink_(sink) {}

  void walk(ImageVolume* volume, const std::string& directory) override {
    decoder_->set_file_system(volume);
    decoder_->set_source_prefix(volume->source_prefix());
    DecodeEach visitor(decoder_);
    Walker walker(volume, &visitor, settings_);
    end_walk(walker.walk(directory, g_pattern_list), *sink_);
    unreadable_ += walker.unreadable_directories();
  }

  void decode_carved(ImageVolume* volume, const CarvedIndexFile& file) override {
    if (key_abort_requested()) exit_program(USER_ABORTED);
    decoder_->set_file_system(volume);
    decoder_->set_source_prefix(volume->source_prefix());
    name_.assign(file.name);
    if (!decoder_->decode_recovered(file.parent, file.directory, name_.c_str(), file.file))
      stop_on_write_failure(*sink_);
  }

  void message(const std::string& text) override {
    text_.assign("\n");
    append_terminal_text(&text_, text.data(), text.size());
    text_.push_back('\n');
    write_handle(stderr_handle(), text_.data(), text_.size());
  }

  int unreadable_directories() const { return unreadable_; }

 private:
  IndexDecoder* decoder_;
  WalkSettings settings_;
  const ReportSink* sink_;
  int unreadable_ = 0;
  std::string name_, text_;
};

}  // namespace

int binsift_main(int argc, char** argv) { return run_binsift(argc, argv, real_file_system()); }

int run_binsift(int argc, char** argv, FileSystem* fs) {
  set_exit_cleanup(finish_exit);
  // Before anything is opened: a closed standard stream gets the null
  // device, so no file of the run can take its number.
  const int closed_streams = ensure_standard_streams();
  install_memory_failure_handler();
  g_argc = argc;
  g_argv = argv;
  if (argc == 1) show_help();
  if (closed_streams & kStdoutWasClosed) {
    fputs("Can't write the report: standard output is closed\n", stderr);
    exit_program(WRITE_ERROR);
  }

  setvbuf(stdout, nullptr, _IONBF, 0);
  install_interrupt_handler(on_interrupt);
  install_termination_handlers();
  allocate_run_buffers();

  if (argc > 1 && argv[1][0] != '-' && argv[1][0] != '+') {
    for (int i = 1; i < argc && argv[i][0] != '-' && argv[i][0] != '+'; ++i)
      add_bare_argument(argv[i]);
  }

  g_start_time = static_cast<int64_t>(time(nullptr));
  set_defaults();
  parse_options(argc, argv);

  print_banner(1);

  if (g_acct_file) {
    g_start_time = static_cast<int64_t>(time(nullptr));
    const time_t start = static_cast<time_t>(g_start_time);
    const char* text = ctime(&start);
    fprintf(g_acct_file, "\n\n  Started: %.24s\n", text ? text : "");
    echo_command_line();
    fputs("\n", g_acct_file);
    flush_run_log();
  }

  const bool image_run = !g_options.image_path.empty();
  // An image run without listed paths reads each volume's bins.
  if (g_path_list.empty() && !image_run) add_default_path();

  open_report_output();
  ReportSink sink(stdout_handle());
  if (g_options.output_to_file) sink.set_copy(g_output_handle);
  WriterSettings writer_settings;
  writer_settings.run_start = file_time_from_unix(g_start_time);
  writer_settings.codepage = g_options.codepage.c_str();
  const std::unique_ptr<ReportWriter> writer =
      make_report_writer(g_options.report_format, &sink, writer_settings);
  if (!print_report_header(writer.get())) stop_on_write_failure(sink);

  if (!image_run) g_volume_type = identify_volume(fs, g_path_list.front().c_str());

  DecoderSettings decoder_settings;
  decoder_settings.reset_times = g_options.reset_times != 0;
  decoder_settings.run_start = writer_settings.run_start;
  decoder_settings.codepage = writer_settings.codepage;
  IndexDecoder decoder(fs, writer.get(), stderr_handle(), decoder_settings, &g_decoder_buffers);
  DecodeEach visitor(&decoder);
  WalkSettings walk_settings;
  walk_settings.recurse = g_options.recurse != 0;
  walk_settings.show_directories = g_options.output_to_file && g_options.recurse;
  walk_settings.probe_streams = !image_run && g_volume_type == VolumeType::kNtfs;
  walk_settings.exclude = g_options.exclude_active != 0;

  int unreadable = 0;
  bool incomplete = false;
  console_begin_key_watch();
  if (image_run) {
    ImageWalks walks(&decoder, walk_settings, &sink);
    ImageRunSettings image_settings;
    image_settings.paths = g_path_list;
    image_settings.patterns = g_pattern_list;
    image_settings.carve = g_options.carve != 0;
    image_settings.recurse = walk_settings.recurse;
    image_settings.exclude = walk_settings.exclude;
    const ImageRunResult result = run_image(g_options.image_path, image_settings, &walks);
    if (result.any_volume) g_volume_type = volume_type_of(result.first_kind);
    // Whatever part of the image could not be read was named.
    incomplete = result.incomplete;
    unreadable = walks.unreadable_directories();
  } else {
    Walker walker(fs, &visitor, walk_settings);
    for (std::string& entry : g_path_list) {
      if (entry.empty() || entry.back() != kPathSeparator) entry.push_back(kPathSeparator);
      first_letter_to_upper(&entry);
      end_walk(walker.walk(entry, g_pattern_list), sink);
    }
    unreadable = walker.unreadable_directories();
  }
  console_end_key_watch();

  finish_run();
  // A run log that could not be written was named when it failed; the
  // report is whole, but the run did not succeed.
  if (run_log_write_failed()) return WRITE_ERROR;
  // A directory that could not be read leaves the report incomplete.
  return incomplete || unreadable > 0 ? READ_ERROR : NORMAL_EXIT;
}


#include "common/module_stamp.h"
const ModuleStamp kProgramModule = {__FILE__, __DATE__, __TIME__};
