#include "decode/decoder.h"

#include <algorithm>
#include <cstring>

#include "common/terminal_text.h"

int32_t g_file_count = 0;

namespace {

constexpr char kProcessing[] = "Processing: ";

}  // namespace

void erase_progress(std::string* out, int32_t count) {
  if (count <= 0) return;
  const size_t n = static_cast<size_t>(count);
  out->append(n, '\b');
  out->append(n, ' ');
  out->append(n, '\b');
}

int32_t append_progress_line(std::string* out, const char* directory, size_t dir_len,
                             const char* file_name, size_t name_len) {
  const size_t start = out->size();
  out->append(kProcessing, sizeof kProcessing - 1);
  if (dir_len + name_len < 80) append_terminal_text(out, directory, dir_len);
  append_terminal_text(out, file_name, name_len);
  out->push_back('\n');
  return static_cast<int32_t>(out->size() - start);
}

IndexDecoder::IndexDecoder(FileSystem* fs, RecordSink* sink, FileHandle progress,
                           const DecoderSettings& settings, DecoderBuffers* buffers)
    : fs_(fs),
      sink_(sink),
      progress_(progress),
      settings_(settings),
      buffers_(buffers ? *buffers : own_) {
  parser_settings_.run_start = settings.run_start;
  parser_settings_.codepage = settings.codepage;
  if (buffers_.input.size() < kIndexReadSize) buffers_.input.resize(kInputBufferSize);
  buffers_.reserve_text();
  fs_->want_change_times(settings_.file_metadata);
}

void IndexDecoder::set_file_system(FileSystem* fs) {
  fs_ = fs;
  fs_->want_change_times(settings_.file_metadata);
}

void IndexDecoder::look_up_companion(DirRef dir, const char* name, size_t name_length) {
  // The companion: the same name with "$R" in place of its first two
  // characters.  A name shorter than that has none.
  record_.companion = CompanionInfo();
  if (name_length < 2) return;
  buffers_.companion_name.assign("$R", 2);
  buffers_.companion_name.append(name + 2, name_length - 2);
  dir_ = dir;
  look_up(buffers_.companion_name.c_str(), &record_.companion);
  if (record_.companion.kind == CompanionKind::kMissing && settings_.deleted_companions &&
      fs_->names_deleted_entry(dir, buffers_.companion_name.c_str()))
    record_.warnings |= kWarnCompanionDeleted;
}

void IndexDecoder::look_up(const char* name, CompanionInfo* out) {
  *out = CompanionInfo();
  // The name of the companion looked up last is the one a record that
  // follows names.
  if (name != buffers_.companion_name.c_str()) buffers_.companion_name.assign(name);
  EntryInfo info;
  if (!fs_->lookup(dir_, name, &info)) return;
  out->fs = fs_;
  out->folder = dir_;
  out->name = name;
  out->has_entry = info.has_address;
  out->entry = info.address;
  switch (info.kind) {
    case EntryKind::kRegular: out->kind = CompanionKind::kFile; break;
    case EntryKind::kDirectory: out->kind = CompanionKind::kDirectory; break;
    default: out->kind = CompanionKind::kOther; break;
  }
  out->size = info.kind == EntryKind::kRegular ? info.size : 0;
  out->times = info.times;
}

bool IndexDecoder::parse(DirRef dir, const char* name, FileRef file) {
  dir_ = dir;
  ParserInput input(fs_, file, buffers_.input.data(), buffers_.input.size());
  input.read_head();
  ParseContext context;
  context.record = &record_;
  context.settings = &parser_settings_;
  context.companions = this;
  context.sink = examiner_ != nullptr ? static_cast<RecordSink*>(this) : sink_;
  context.name_buffer = &buffers_.entry_name;
  for (const RecordParser* parser : record_parsers()) {
    if (!parser->claims_name(name)) continue;
    const ParseResult result = parser->parse(input, context);
    if (result != ParseResult::kDeclined) return result == ParseResult::kTaken;
  }
  return false;
}

void IndexDecoder::write_progress(std::string_view directory, const char* name,
                                  size_t name_length) {
  if (progress_shown_) return;
  buffers_.progress.clear();
  erase_progress(&buffers_.progress, progress_length_);
  progress_length_ = append_progress_line(&buffers_.progress, directory.data(), directory.size(),
                                          name, name_length);
  write_handle(progress_, buffers_.progress.data(), buffers_.progress.size());
}

void IndexDecoder::reset_times(FileRef file, bool captured, const SavedTimes& saved) {
  if (captured && fs_->restore_times(file, saved)) return;
  buffers_.message.assign("\nCan't reset filetime for ");
  append_terminal_text(&buffers_.message, record_.directory.data(), record_.directory.size());
  append_terminal_text(&buffers_.message, record_.file_name.data(), record_.file_name.size());
  buffers_.message.append("\n");
  write_handle(progress_, buffers_.message.data(), buffers_.message.size());
}

void IndexDecoder::begin_record(std::string_view directory, const char* name,
                                size_t name_length) {
  record_ = RecycleRecord();
  buffers_.companion_name.clear();
  record_.source_prefix = prefix_;
  record_.image = image_;
  record_.volume = volume_;
  record_.directory = directory;
  record_.file_name = std::string_view(name, name_length);
  record_.entry_name = record_.file_name;
  record_.user_sid = sid_of_folder(directory);
}

bool IndexDecoder::decode(DirRef dir, std::string_view directory, const char* name,
                          EntryKind kind) {
  const size_t name_length = strlen(name);
  begin_record(directory, name, name_length);

  look_up_companion(dir, name, name_length);
  ++g_file_count;
  if (progress_shown_) progress_shown_->file(directory, name, name_length);

  const FileRef file = fs_->open_file(dir, name, kind);
  if (file == kNoFile) {
    record_.warnings = kWarnCannotOpen;
    dir_ = dir;
    return take(record_);
  }

  write_progress(directory, name, name_length);
  read_file_metadata(file);

  SavedTimes saved;
  const bool captured = settings_.reset_times && fs_->capture_times(file, &saved);

  const bool written = parse(dir, name, file);

  if (settings_.reset_times) reset_times(file, captured, saved);
  fs_->close_file(file);
  return written;
}

bool IndexDecoder::decode_recovered(DirRef parent, std::string_view directory, const char* name,
                                    FileRef file) {
  const size_t name_length = strlen(name);
  begin_record(directory, name, name_length);

  if (parent != kNoDir) look_up_companion(parent, name, name_length);
  ++g_file_count;
  if (progress_shown_) progress_shown_->file(directory, name, name_length);
  write_progress(directory, name, name_length);

  read_file_metadata(file);

  // Data that can no longer be read reads as nothing: the short row, with
  // "truncated".
  record_.warnings |= kWarnRecovered;
  return parse(parent, name, file);
}

bool IndexDecoder::take(const RecycleRecord& record) {
  if (examiner_ == nullptr || record.companion.kind == CompanionKind::kMissing || dir_ == kNoDir)
    return sink_->take(record);
  examined_ = record;
  examiner_->examine(fs_, dir_, buffers_.companion_name.c_str(), &examined_);
  return sink_->take(examined_);
}

void IndexDecoder::read_file_metadata(FileRef file) {
  EntryInfo info;
  if (!settings_.file_metadata || file == kNoFile || !fs_->file_info(file, &info)) return;
  record_.index_created = info.times.creation;
  record_.index_modified = info.times.last_write;
  record_.has_entry = info.has_address;
  record_.entry = info.address;
}

RecordScanner IndexDecoder::scanner(std::string_view prefix) {
  prefix_.assign(prefix);
  return RecordScanner(&buffers_.scan, settings_.run_start, this);
}

bool IndexDecoder::hit(RecordFormat format, uint64_t offset, const unsigned char* bytes,
                       size_t length) {
  // No file holds it: the report's name column shows where it lies.
  std::string& name = buffers_.entry_name;
  name.assign(prefix_);
  const size_t digits_at = name.size();
  for (uint64_t rest = offset;; rest /= 10) {
    name.push_back(static_cast<char>('0' + rest % 10));
    if (rest < 10) break;
  }
  std::reverse(name.begin() + static_cast<std::ptrdiff_t>(digits_at), name.end());
  record_ = RecycleRecord();
  record_.source_prefix = prefix_;
  record_.image = image_;
  record_.volume = volume_;
  record_.entry_name = name;
  record_.has_offset = true;
  record_.offset = offset;
  record_.warnings = kWarnRecovered | kWarnScanned;
  ++g_file_count;
  if (progress_shown_) progress_shown_->file({}, name.data(), name.size());
  write_progress({}, name.data(), name.size());
  decode_scanned_record(format, bytes, length, settings_.run_start, &record_);
  return sink_->take(record_);
}
