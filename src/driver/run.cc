#include "driver/run.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string_view>

#include "common/memory.h"
#include "common/notes_stream.h"
#include "common/terminal_text.h"
#include "decode/decoder.h"
#include "common/evidence.h"
#include "driver/companion_steps.h"
#include "decode/folder_contents.h"
#include "driver/exit.h"
#include "driver/option_effects.h"
#include "driver/status_line.h"
#include "driver/summary.h"
#include "driver/user_naming.h"
#include "image/image_source.h"
#include "options/environment.h"
#include "options/help.h"
#include "options/options.h"
#include "options/path_list.h"
#include "platform/copy_target.h"
#include "platform/file_system.h"
#include "platform/file_time.h"
#include "platform/platform.h"
#include "report/report_formats.h"
#include "report/report_output.h"
#include "runlog/banner.h"
#include "runlog/run_log.h"
#include "runlog/time_zone.h"
#include "walk/file_bytes.h"
#include "walk/tree_source.h"
#include "walk/walk.h"

const ModuleStamp kProgramModule = {__FILE__, __DATE__, __TIME__};

namespace {

// Ends the run with the status's code, when it ends the run.
void end_unless_ok(Status status) {
  if (!status.ok()) end_run(status.exit_code());
}

// The lists' first slots, each ended with its own message when they cannot
// be had.
void allocate_run_buffers(Options* options) {
  if (!allocation_succeeds([options] { options->pattern_list.reserve(32); })) {
    fprintf(notes_stream(), "\nLine %d, couldn't get memory\n", 496);
    end_run(INSUFFICIENT_MEMORY);
  }
  if (!allocation_succeeds([options] { options->path_list.reserve(32); })) {
    fprintf(notes_stream(), "\nLine %d, couldn't get memory\n", 508);
    end_run(INSUFFICIENT_MEMORY);
  }
}

DecoderBuffers g_decoder_buffers;

// The decoder's buffers that the run names, each ended with its own message
// when it cannot be had.
void allocate_named_decoder_buffers(Options* options) {
  const std::string module = std::string(".") + kPathSeparator + "binsift";
  if (!allocation_succeeds([] { g_decoder_buffers.input.resize(kInputBufferSize); })) {
    fprintf(stderr, "\n%d %s\nCouldn't create input buffer\n", 553, module.c_str());
    end_run(INSUFFICIENT_MEMORY);
  }
  if (!allocation_succeeds([options] { options->output_name.reserve(1040); })) {
    fprintf(stderr, "\n%d %s\nError obtaining memory\n", 572, module.c_str());
    end_run(USER_ABORTED);
  }
  if (!allocation_succeeds([] { g_decoder_buffers.reserve_text(); })) {
    fputs("Couldn't create pg_complete_path buffer\n", stderr);
    end_run(INSUFFICIENT_MEMORY);
  }
}

void set_defaults(Options* options) {
  allocate_named_decoder_buffers(options);
  options->recurse = 1;
  read_reset_environment(options);
}

// A report that cannot be written (a full disk, say) must not end as a run
// that succeeded.  The message names where it could not be written and why.
Status write_failure(const ReportSink& sink, const std::string& output_name) {
  std::string text = "\nCan't write the report to ";
  if (sink.failed() != kInvalidHandle && sink.failed() == sink.copy()) {
    text.append("the output file ");
    append_terminal_text(&text, output_name.data(), output_name.size());
  } else {
    text.append("standard output");
  }
  text.append(": ").append(sink.failure_reason()).append("\n");
  fputs(text.c_str(), stderr);
  return Status::end(WRITE_ERROR);
}

// The report's header step: the header line (unless it is switched off)
// and the run log's start record.
void write_report_header(const Options& options, ReportWriter* writer, const ReportSink& sink,
                         RunLog* run_log, time_t* start, int argc, char** argv) {
  if (options.no_header) return;
  *start = time(nullptr);
  TimeZoneDescription tz;
  if (!allocation_succeeds([&tz] {
        tz.gmt_text.reserve(192);
        tz.local_text.reserve(192);
        tz.std_abbrev.reserve(32);
        tz.std_name.reserve(192);
      })) {
    fputs("\nCan't get timezone information\n", stderr);
    end_run(INSUFFICIENT_MEMORY);
  }
  describe_time_zone(&tz);
  if (!writer->write_header()) end_run(write_failure(sink, options.output_name).exit_code());
  run_log->write_header_record(tz, argc, argv);
}

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

// What the UTF-8 formats add to the walk's records: the users' names, and
// the contents of recycled folders.  Null members where the format has
// neither (the seed report).
struct RecordAdditions {
  RunUserNames* users = nullptr;
  bool image_hives = false;      // the image's hives name the users
  bool system_accounts = false;  // so do the system's accounts
  FolderContents* contents = nullptr;
};

// What the run does with the volumes a source gives it: each folder is
// walked with its volume as the file system, and every recovered index
// file decoded.
class WalkAndDecode final : public VolumeVisitor {
 public:
  WalkAndDecode(IndexDecoder* decoder, const WalkSettings& settings, WalkBuffers* buffers,
                const std::vector<std::string>* patterns, const ReportSink* sink,
                const std::string* output_name, StatusLine* status,
                const RecordAdditions& additions)
      : decoder_(decoder),
        status_(status),
        settings_(settings),
        buffers_(buffers),
        patterns_(patterns),
        sink_(sink),
        output_name_(output_name),
        additions_(additions) {}

  bool surveys() const override { return additions_.users && additions_.image_hives; }

  void survey(const Volume& volume) override {
    additions_.users->read_volume(volume.fs, std::string(volume.source_prefix),
                                  [this](const std::string& text) { message(text); });
  }

  Status walk(const Volume& volume, const std::string& directory) override {
    names_ready();
    decoder_->set_file_system(volume.fs);
    decoder_->set_source_prefix(volume.source_prefix);
    decoder_->set_volume(volume.image, volume.name);
    if (status_) status_->walking(volume.name);
    DecodeEach visitor(decoder_);
    WalkSettings settings = settings_;
    settings.probe_streams = volume.count_streams;
    Walker walker(volume.fs, &visitor, settings, buffers_);
    const WalkStatus status = walker.walk(directory, *patterns_);
    unreadable_ += walker.unreadable_directories();
    switch (status) {
      case WalkStatus::kDone: break;
      case WalkStatus::kAborted: return Status::end(USER_ABORTED);
      case WalkStatus::kWriteFailed: return not_written();
      case WalkStatus::kEnded: return walker.ended();
    }
    return Status();
  }

  Status decode_recovered(const Volume& volume, const RecoveredFile& file) override {
    names_ready();
    if (key_abort_requested()) return Status::end(USER_ABORTED);
    decoder_->set_file_system(volume.fs);
    decoder_->set_source_prefix(volume.source_prefix);
    decoder_->set_volume(volume.image, volume.name);
    name_.assign(file.name);
    if (!decoder_->decode_recovered(file.parent, file.directory, name_.c_str(), file.file))
      return not_written();
    return Status();
  }

  void carving(const Volume& volume, uint64_t done, uint64_t total) override {
    if (status_) status_->carving(volume.name, done, total);
  }

  Status scan(const Volume& volume, ScanBytes* bytes, std::span<const uint64_t> given) override {
    decoder_->set_volume(volume.image, volume.name);
    prefix_.assign("SCAN:").append(volume.name).append(":");
    return scan_bytes(volume.name, bytes, given);
  }

  // Scans the file `path` (as the run was given it), opened as `bytes`.
  Status scan_file(const std::string& path, ScanBytes* bytes) {
    decoder_->set_volume({}, {});
    prefix_.assign("SCAN:").append(path).append(":");
    return scan_bytes(path, bytes, {});
  }

  void message(const std::string& text) override {
    if (status_) status_->erase();
    text_.assign("\n");
    append_terminal_text(&text_, text.data(), text.size());
    text_.push_back('\n');
    write_handle(stderr_handle(), text_.data(), text_.size());
  }

  int unreadable_directories() const {
    return unreadable_ + (additions_.contents ? additions_.contents->unreadable_directories() : 0);
  }

 private:
  // Hands the bytes to a scanner block by block, `label` naming them on
  // the status line; the records go to the decoder under prefix_.
  Status scan_bytes(std::string_view label, ScanBytes* bytes, std::span<const uint64_t> given) {
    RecordScanner scanner = decoder_->scanner(prefix_);
    scanner.skip_offsets(given);
    const uint64_t total = bytes->total();
    uint64_t done = 0;
    if (status_) status_->scanning(label, 0, total);
    for (;;) {
      if (key_abort_requested()) return Status::end(USER_ABORTED);
      size_t room = 0;
      unsigned char* space = scanner.space(&room);
      uint64_t offset = 0;
      const size_t got = bytes->read(space, room, &offset);
      if (got == 0) break;
      if (!scanner.filled(offset, got)) return write_failure(*sink_, *output_name_);
      done += got;
      if (status_) status_->scanning(label, done, total);
    }
    if (!scanner.finish()) return write_failure(*sink_, *output_name_);
    return Status();
  }
  // The users are named once every source is read: the image's hives are
  // read before its first volume is walked.
  void names_ready() {
    if (additions_.users) additions_.users->finish(additions_.system_accounts);
  }
  // A record that was not taken: Esc while a recycled folder was listed,
  // or a report that could not be written.
  Status not_written() const {
    if (additions_.contents && additions_.contents->aborted()) return Status::end(USER_ABORTED);
    return write_failure(*sink_, *output_name_);
  }

  IndexDecoder* decoder_;
  StatusLine* status_;  // the UTF-8 formats' status line, or null
  WalkSettings settings_;
  WalkBuffers* buffers_;
  const std::vector<std::string>* patterns_;
  const ReportSink* sink_;
  const std::string* output_name_;
  RecordAdditions additions_;
  int unreadable_ = 0;
  std::string name_, text_, prefix_;
};

// The folder of --collect: never on the evidence nor inside a walked tree
// (the walk would read the copies), empty or new.  Opened (made) here, before
// the report is written; a folder refused ends the run as an illegal option.
std::unique_ptr<CopyTarget> open_collect_folder(const Options& options) {
  if (options.collect_dir.empty()) return nullptr;
  const char* dir = options.collect_dir.c_str();
  std::string reason;
  if (!is_evidence(dir, &reason)) {
    for (const std::string& walked : options.path_list) {
      if (!options.image_path.empty()) break;
      if (folder_within(dir, walked.c_str())) {
        reason = "it lies inside the walked folder ";
        append_terminal_text(&reason, walked.data(), walked.size());
        break;
      }
    }
  }
  std::unique_ptr<CopyTarget> target;
  if (reason.empty()) {
    TargetOpen outcome;
    target = open_copy_target(dir, &outcome, &reason);
  }
  if (target) return target;
  fprintf(notes_stream(), "\nIllegal option: %s", options.collect_word.c_str());
  std::string text = "\nCan't collect into ";
  append_terminal_text(&text, options.collect_dir.data(), options.collect_dir.size());
  text.append(": ").append(reason).append("\n");
  fflush(notes_stream());
  fputs(text.c_str(), stderr);
  end_run(ILLEGAL_OPTION);
}

}  // namespace

int binsift_main(int argc, char** argv) { return run_binsift(argc, argv, real_file_system()); }

int run_binsift(int argc, char** argv, FileSystem* fs) {
  // Before anything is opened: a closed standard stream gets the null
  // device, so no file of the run can take its number.
  const int closed_streams = ensure_standard_streams();
  install_memory_failure_handler();
  if (argc == 1) {
    show_help(run_help_stamps());
    end_run(ILLEGAL_OPTION);
  }
  if (closed_streams & kStdoutWasClosed) {
    fputs("Can't write the report: standard output is closed\n", stderr);
    end_run(WRITE_ERROR);
  }

  setvbuf(stdout, nullptr, _IONBF, 0);
  install_interrupt_handler(on_interrupt);
  install_termination_handlers();
  // Standard output holds the report alone in the UTF-8 formats: whatever
  // else the run says goes to the error stream, from the first word on.
  set_notes_on_error_stream(
      find_report_format(read_early_words(argc, argv, run_vocabulary()).format)->utf8);
  Options options;
  allocate_run_buffers(&options);

  if (argc > 1 && argv[1][0] != '-' && argv[1][0] != '+') {
    for (int i = 1; i < argc && argv[i][0] != '-' && argv[i][0] != '+'; ++i)
      add_bare_argument(&options, argv[i]);
  }

  time_t start = time(nullptr);
  set_defaults(&options);
  RunLog run_log;
  RunOptionEffects effects(&run_log);
  end_unless_run(parse_options(argc, argv, run_vocabulary(), &effects, &options), options);

  print_banner(1);

  if (run_log.accounting_open()) {
    start = time(nullptr);
    run_log.write_started(start, argc, argv);
  }

  const bool image_run = !options.image_path.empty();
  // An image run without listed paths reads each volume's bins.
  // A run that scans a file reads no tree it was not given.
  if (options.path_list.empty() && !image_run && options.scan_file.empty())
    add_default_path(&options);

  const ReportFormatRow& format = *find_report_format(options.report_format);
  // The digests and the zone fields are columns of the UTF-8 formats.
  CompanionStepSettings step_settings;
  step_settings.digests = format.utf8 ? options.hash_kinds : 0;
  step_settings.zone = format.utf8;
  step_settings.reset_times = options.reset_times != 0;
  step_settings.codepage = options.codepage.c_str();
  CompanionSteps companion_steps(step_settings);
  {
    std::unique_ptr<CopyTarget> collect_target = open_collect_folder(options);
    std::string reason;
    bool write_failed = false;
    if (!companion_steps.open(std::move(collect_target), &reason, &write_failed)) {
      fprintf(stderr, "\nCan't hash or copy the recycled items: %s\n", reason.c_str());
      end_run(write_failed ? WRITE_ERROR : READ_ERROR);
    }
  }

  Status status;
  g_output_handle = open_report_output(options.output_to_file != 0, &options.output_name,
                                       options.append, &status);
  end_unless_ok(status);
  ReportSink sink(stdout_handle());
  if (options.output_to_file) sink.set_copy(g_output_handle);
  WriterSettings writer_settings;
  writer_settings.run_start = file_time_from_unix(static_cast<int64_t>(start));
  writer_settings.codepage = options.codepage.c_str();
  const std::unique_ptr<ReportWriter> writer = format.make(&sink, writer_settings);
  write_report_header(options, writer.get(), sink, &run_log, &start, argc, argv);

  std::unique_ptr<VolumeSource> source;
  if (image_run) {
    ImageRunSettings image_settings;
    image_settings.paths = options.path_list;
    image_settings.patterns = options.pattern_list;
    image_settings.carve = options.carve != 0;
    image_settings.shadows = options.shadows != 0;
    image_settings.scan = options.scan_unallocated != 0;
    image_settings.recurse = options.recurse != 0;
    image_settings.exclude = options.exclude_active ? &options.exclude_list : nullptr;
    source = std::make_unique<ImageSource>(options.image_path, image_settings);
  } else if (!options.path_list.empty()) {
    source = std::make_unique<TreeSource>(fs, &options.path_list);
  }

  DecoderSettings decoder_settings;
  decoder_settings.reset_times = options.reset_times != 0;
  decoder_settings.run_start = writer_settings.run_start;
  decoder_settings.codepage = writer_settings.codepage;
  decoder_settings.file_metadata = format.utf8;
  decoder_settings.deleted_companions = format.utf8 && image_run && options.carve != 0;
  // The UTF-8 formats name the users and follow each recycled folder with
  // its contents; the seed report has neither.
  RecordSink* records = writer.get();
  RunUserNames users;
  std::unique_ptr<FolderContents> contents;
  std::unique_ptr<NameUsers> naming;
  RecordAdditions additions;
  if (format.utf8) {
    contents = std::make_unique<FolderContents>(records);
    naming = std::make_unique<NameUsers>(&users.names(), contents.get());
    records = naming.get();
    users.read_registry_files(options.registry_files, [](const std::string& text) {
      std::string line = "\n";
      append_terminal_text(&line, text.data(), text.size());
      line.push_back('\n');
      write_handle(stderr_handle(), line.data(), line.size());
    });
    additions.users = &users;
    additions.image_hives = image_run;
    additions.system_accounts = !image_run;
    additions.contents = contents.get();
  }
  IndexDecoder decoder(fs, records, stderr_handle(), decoder_settings, &g_decoder_buffers);
  // The UTF-8 formats show a status line (on a terminal) in place of the
  // classic "Processing:" line of each file.
  std::unique_ptr<StatusLine> status_line;
  if (format.utf8) {
    status_line = std::make_unique<StatusLine>(stderr_handle());
    decoder.set_progress(status_line.get());
  }
  WalkSettings walk_settings;
  walk_settings.recurse = options.recurse != 0;
  // Each folder's line, which a report in a file calls for, is the status
  // line's part where one is drawn.
  walk_settings.show_directories =
      options.output_to_file && options.recurse && !(status_line && status_line->shown());
  walk_settings.exclude = options.exclude_active ? &options.exclude_list : nullptr;
  // A recycled folder's entries are its contents, not index files.
  walk_settings.skip_recycled_folders = format.utf8;

  console_begin_key_watch();
  WalkBuffers walk_buffers;
  end_unless_ok(reserve_walk_buffers(&walk_buffers));
  WalkAndDecode walks(&decoder, walk_settings, &walk_buffers, &options.pattern_list, &sink,
                      &options.output_name, status_line.get(), additions);
  companion_steps.set_messages(&walks);
  if (companion_steps.active()) {
    decoder.set_examiner(&companion_steps);
    // The entries of recycled folders are hashed (not copied again: their
    // folder is copied whole).
    if (contents) contents->set_examiner(&companion_steps);
  }
  if (status_line) status_line->start();
  SourceResult read;
  if (source) read = source->read(&walks);
  if (read.status.ok() && !options.scan_file.empty()) {
    // Then the file to scan, after the image or the tree.
    FileBytes bytes(&walks);
    std::string reason;
    if (!bytes.open(options.scan_file, &reason)) {
      walks.message("Can't scan " + options.scan_file + ": " + reason);
      read.incomplete = true;
    } else {
      read.status = walks.scan_file(options.scan_file, &bytes);
      if (bytes.incomplete()) read.incomplete = true;
    }
  }
  if (status_line) status_line->finish();
  end_unless_ok(read.status);
  console_end_key_watch();
  companion_steps.finish();

  close_report_output();
  print_run_summary(static_cast<long>(g_file_count), start, &run_log);
  // The memo file is closed here rather than at the process exit, so that a
  // failure to close it is seen.
  run_log.close_memo_file();
  // A run log that could not be written was named when it failed; the
  // report is whole, but the run did not succeed.
  if (run_log.write_failed() || companion_steps.write_failed()) return WRITE_ERROR;
  // A directory, a hive or a companion that could not be read leaves the
  // report (or the copies) incomplete.
  return read.incomplete || walks.unreadable_directories() > 0 || users.failed() ||
                 companion_steps.read_failed()
             ? READ_ERROR
             : NORMAL_EXIT;
}
