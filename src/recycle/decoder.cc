#include "recycle/decoder.h"

#include <cstring>

#include "options/options.h"
#include "recycle/companion.h"
#include "recycle/index_record.h"
#include "recycle/report_output.h"
#include "recycle/report_row.h"

std::string pg_complete_path;
std::string g_index_path;
std::string g_companion_path;
unsigned char* g_input_buffer = nullptr;
int32_t g_progress_len = 0;
int32_t g_file_count = 0;

namespace {

RowBuffer g_row;
std::string g_progress;  // erase sequence and progress line, written at once
std::string g_message;

constexpr char kProcessing[] = "Processing: ";

}  // namespace

void allocate_decoder_buffers() {
  if (!g_input_buffer) g_input_buffer = new unsigned char[kInputBufferSize];
  pg_complete_path.reserve(1040);
  g_index_path.reserve(1040);
  g_companion_path.reserve(1040);
  g_progress.reserve(4096);
  g_message.reserve(1040);
}

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
  if (dir_len + name_len < 80) out->append(directory, dir_len);
  out->append(file_name, name_len);
  out->push_back('\n');
  return static_cast<int32_t>(out->size() - start);
}

void decode_index_file(const char* directory, const char* file_name, EntryKind kind) {
  const size_t dir_len = strlen(directory);
  const size_t name_len = strlen(file_name);

  pg_complete_path.assign(directory, dir_len);
  pg_complete_path.append(file_name, name_len);
  g_index_path.assign(pg_complete_path);

  // The companion: the same name with "$R" in place of its first two
  // characters.  A name shorter than that has no companion.
  bool companion_present = false;
  if (name_len >= 2) {
    g_companion_path.assign(directory, dir_len);
    g_companion_path.append("$R", 2);
    g_companion_path.append(file_name + 2, name_len - 2);
    EntryTimes times;
    if (lookup_entry_times(g_companion_path.c_str(), &times)) {
      convert_find_times(times, &g_companion_times);
      companion_present = true;
    }
  }

  ++g_file_count;

  SavedTimes saved;
  bool captured = false;
  if (g_options.reset_times) {
    captured = capture_file_times(g_index_path.c_str(), &saved);
    if (captured && saved.is_regular) kind = EntryKind::kRegular;
  }

  const FileHandle handle = open_input_file(g_index_path.c_str(), kind);
  if (handle == kInvalidHandle) {
    g_row.clear();
    g_row.put("\nCan't open ");
    append_report_text(&g_row, g_index_path.data(), g_index_path.size());
    g_row.put(" for searching");
    report_write(g_row.data(), g_row.size());
    return;
  }

  g_progress.clear();
  erase_progress(&g_progress, g_progress_len);
  g_progress_len = append_progress_line(&g_progress, directory, dir_len, file_name, name_len);
  write_handle(g_progress_handle, g_progress.data(), g_progress.size());

  const size_t got = read_block(handle, g_input_buffer, kIndexReadSize);
  format_report_row(&g_row, file_name, g_input_buffer, got,
                    companion_present ? &g_companion_times : nullptr);
  report_write(g_row.data(), g_row.size());
  close_file(handle);

  if (g_options.reset_times) {
    if (!captured || reset_file_times(g_index_path.c_str(), saved) != 0) {
      g_message.assign("\nCan't reset filetime for ");
      g_message.append(g_index_path);
      g_message.append("\n");
      write_handle(g_progress_handle, g_message.data(), g_message.size());
    }
  }
}
