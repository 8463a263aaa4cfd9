#include "report/report_writer.h"

#include "report/seed_writer.h"
#include "report/structured_writers.h"

bool ReportSink::write(const char* data, size_t size) {
  bool ok = write_handle(primary_, data, size);
  if (!ok) note_failure(primary_);
  if (copy_ != kInvalidHandle && !write_handle(copy_, data, size)) {
    note_failure(copy_);
    ok = false;
  }
  return ok;
}

void ReportSink::note_failure(FileHandle handle) {
  if (failed_ != kInvalidHandle) return;
  failed_ = handle;
  reason_ = last_write_failure();
}

bool parse_report_format(std::string_view name, ReportFormat* out) {
  static const struct {
    const char* name;
    ReportFormat format;
  } kFormats[] = {{"seed", ReportFormat::kSeed},       {"csv", ReportFormat::kCsv},
                  {"tsv", ReportFormat::kTsv},         {"jsonl", ReportFormat::kJsonLines},
                  {"body", ReportFormat::kBody}};
  for (const auto& f : kFormats) {
    if (name == f.name) {
      *out = f.format;
      return true;
    }
  }
  return false;
}

std::unique_ptr<ReportWriter> make_report_writer(ReportFormat format, ReportSink* sink,
                                                 const WriterSettings& settings) {
  if (format == ReportFormat::kSeed) return make_seed_writer(sink);
  return make_structured_writer(format, sink, settings);
}

const char* warning_name(int index) {
  static const char* const kNames[kWarningCount] = {
      "cannot-open",     "truncated",          "unknown-version",
      "name-length-mismatch", "size-mismatch", "time-out-of-range",
      "lone-surrogate",  "restored-or-purged", "recovered"};
  return index >= 0 && index < kWarningCount ? kNames[index] : "";
}

std::string_view sid_of_folder(std::string_view directory) {
  // The last component of the directory (which ends with a separator).
  if (!directory.empty() && (directory.back() == '/' || directory.back() == '\\'))
    directory.remove_suffix(1);
  const size_t cut = directory.find_last_of("/\\");
  const std::string_view name = cut == std::string_view::npos ? directory : directory.substr(cut + 1);
  // "S-1" then one or more groups of a dash and digits.
  if (name.size() < 5 || (name[0] != 'S' && name[0] != 's') || name[1] != '-' || name[2] != '1')
    return {};
  size_t i = 3;
  int groups = 0;
  while (i < name.size()) {
    if (name[i] != '-') return {};
    size_t digits = 0;
    ++i;
    while (i < name.size() && name[i] >= '0' && name[i] <= '9') ++i, ++digits;
    if (digits == 0) return {};
    ++groups;
  }
  return groups > 0 ? name : std::string_view();
}
