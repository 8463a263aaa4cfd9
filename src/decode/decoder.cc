#include "decode/decoder.h"

#include <cstring>

#include "common/terminal_text.h"
#include "decode/index_record.h"
#include "decode/info2.h"

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

IndexDecoder::IndexDecoder(FileSystem* fs, ReportWriter* writer, FileHandle progress,
                           const DecoderSettings& settings, DecoderBuffers* buffers)
    : fs_(fs),
      writer_(writer),
      progress_(progress),
      settings_(settings),
      buffers_(buffers ? *buffers : own_) {
  if (buffers_.input.size() < kIndexReadSize) buffers_.input.resize(kInputBufferSize);
  buffers_.reserve_text();
}

void IndexDecoder::look_up_companion(DirRef dir, const char* name, size_t name_length) {
  // The companion: the same name with "$R" in place of its first two
  // characters.  A name shorter than that has none.
  record_.companion = CompanionInfo();
  if (name_length < 2) return;
  buffers_.companion_name.assign("$R", 2);
  buffers_.companion_name.append(name + 2, name_length - 2);
  look_up_entry(dir, buffers_.companion_name.c_str());
}

void IndexDecoder::look_up_entry(DirRef dir, const char* name) {
  record_.companion = CompanionInfo();
  EntryInfo info;
  if (!fs_->lookup(dir, name, &info)) return;
  switch (info.kind) {
    case EntryKind::kRegular: record_.companion.kind = CompanionKind::kFile; break;
    case EntryKind::kDirectory: record_.companion.kind = CompanionKind::kDirectory; break;
    default: record_.companion.kind = CompanionKind::kOther; break;
  }
  record_.companion.size = info.kind == EntryKind::kRegular ? info.size : 0;
  record_.companion.times = info.times;
}

void IndexDecoder::decode_first_bytes(FileRef file) {
  const size_t got =
      file == kNoFile ? 0 : fs_->read_file(file, buffers_.input.data(), kIndexReadSize);
  decode_index_bytes(buffers_.input.data(), got, settings_.run_start, &record_);
  check_companion_size();
}

void IndexDecoder::check_companion_size() {
  if (record_.companion.kind == CompanionKind::kFile && record_.has_size &&
      record_.companion.size != static_cast<uint64_t>(record_.size))
    record_.warnings |= kWarnSizeMismatch;
}

size_t IndexDecoder::read_fully(FileRef file, unsigned char* into, size_t size) {
  size_t got = 0;
  while (got < size) {
    const size_t n = fs_->read_file(file, into + got, size - got);
    if (n == 0) break;
    got += n;
  }
  return got;
}

bool IndexDecoder::decode_info2(DirRef dir, FileRef file, bool* written) {
  // The first block, as for any index file; then the records in order,
  // piece by piece, through the same buffer: memory stays the same whatever
  // the file's size, and every record is read.
  unsigned char* const buffer = buffers_.input.data();
  const size_t capacity = buffers_.input.size();
  size_t end = read_fully(file, buffer, kIndexReadSize);  // bytes in the buffer
  bool at_end = end < kIndexReadSize;
  Info2Header header;
  if (!parse_info2_header(buffer, end, &header)) {
    // Not an INFO2 file after all: its first bytes are an index file's.
    decode_index_bytes(buffer, end, settings_.run_start, &record_);
    check_companion_size();
    *written = writer_->write_record(record_);
    return true;
  }

  const size_t record_size = header.record_size;
  const RecycleRecord base = record_;
  size_t start = kInfo2HeaderSize;  // the next record's first byte in the buffer
  for (;;) {
    if (end - start < record_size && !at_end) {
      // The rest of the buffer holds part of a record: move it to the front
      // and read on behind it.
      memmove(buffer, buffer + start, end - start);
      end -= start;
      start = 0;
      const size_t want = capacity - end;
      const size_t n = read_fully(file, buffer + end, want);
      end += n;
      at_end = n < want;
      continue;
    }
    if (start == end) break;
    const size_t avail = end - start < record_size ? end - start : record_size;
    Info2Entry entry;
    parse_info2_record(buffer + start, avail, header.record_size, &entry);
    start += avail;
    record_ = base;
    record_.companion = CompanionInfo();
    record_.format = RecordFormat::kInfo2;
    record_.opened = true;
    record_.has_fields = !entry.truncated;
    record_.has_size = entry.has_size;
    record_.size = entry.size;
    record_.has_deleted = entry.has_deleted;
    record_.deleted = entry.deleted;
    if (entry.uses_utf16()) {
      record_.path_utf16 = entry.utf16_path;
      record_.path_units = entry.utf16_units;
      if (has_lone_surrogate(entry.utf16_path, entry.utf16_units))
        record_.warnings |= kWarnLoneSurrogate;
    } else {
      record_.path_ansi = entry.ansi_path;
      record_.path_ansi_length = entry.ansi_length;
      record_.drive_letter = entry.drive_prefix;
    }
    if (entry.truncated || !entry.display_path_terminated()) record_.warnings |= kWarnTruncated;
    if (entry.restored_or_purged) record_.warnings |= kWarnRestoredOrPurged;
    if (entry.has_deleted && deletion_time_implausible(entry.deleted, settings_.run_start))
      record_.warnings |= kWarnTimeOutOfRange;
    // The item itself, renamed "Dc<N><ext>" beside the INFO2 file.
    buffers_.entry_name.clear();
    if (append_dc_name(&buffers_.entry_name, entry, settings_.codepage)) {
      look_up_entry(dir, buffers_.entry_name.c_str());
      if (!entry.truncated) record_.entry_name = buffers_.entry_name;
    }
    check_companion_size();
    if (!writer_->write_record(record_)) {
      *written = false;
      return true;
    }
  }
  *written = true;
  return true;
}

void IndexDecoder::write_progress(std::string_view directory, const char* name,
                                  size_t name_length) {
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
  record_.source_prefix = prefix_;
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

  const FileRef file = fs_->open_file(dir, name, kind);
  if (file == kNoFile) {
    record_.warnings = kWarnCannotOpen;
    return writer_->write_record(record_);
  }

  write_progress(directory, name, name_length);

  SavedTimes saved;
  const bool captured = settings_.reset_times && fs_->capture_times(file, &saved);

  bool written = false;
  if (!is_info2_name(name) || !decode_info2(dir, file, &written)) {
    decode_first_bytes(file);
    written = writer_->write_record(record_);
  }

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
  write_progress(directory, name, name_length);

  // Data that can no longer be read reads as nothing: the short row, with
  // "truncated".
  decode_first_bytes(file);
  record_.warnings |= kWarnRecovered;
  return writer_->write_record(record_);
}
