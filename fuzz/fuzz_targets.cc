#include "fuzz/fuzz_targets.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/exclusions.h"
#include "companion/zone_identifier.h"
#include "decode/info2.h"
#include "decode/record_scan.h"
#ifdef BINSIFT_HAVE_TSK
#include "image/ntfs_index.h"
#endif
#include "driver/option_effects.h"
#include "options/ini_file.h"
#include "options/options.h"
#include "platform/codepage.h"
#include "platform/dos_pattern.h"
#include "platform/platform.h"
#include "report/companion_times.h"
#include "report/report_row.h"
#include "report/seed_writer.h"
#include "runlog/run_log.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "fuzz check failed: %s\n", what);
    abort();
  }
}

uint64_t take64(const uint8_t*& data, size_t& size) {
  uint64_t v = 0;
  for (int i = 0; i < 8 && size > 0; ++i, ++data, --size) v |= static_cast<uint64_t>(*data) << (8 * i);
  return v;
}

// Splits the input at NUL bytes.
std::vector<std::string> split(const uint8_t* data, size_t size, size_t most) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      if (parts.size() == most) break;
      parts.emplace_back();
    } else {
      parts.back().push_back(static_cast<char>(data[i]));
    }
  }
  return parts;
}

// A second matcher for directory-search patterns, by plain recursion over
// the rewritten pattern, to compare against.
struct SlowDos {
  enum Kind { kLit, kStar, kDosStar, kDosQm, kDosDot };
  struct Tok {
    Kind kind;
    char ch;
  };
  std::vector<Tok> toks;
  std::string name;
  size_t last_dot;

  static char up(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

  SlowDos(std::string p, const std::string& n) : name(n) {
    bool dot = false;
    while (!p.empty() && (p.back() == '.' || p.back() == ' ')) {
      dot |= p.back() == '.';
      p.pop_back();
    }
    if (p == "*.*") {
      toks.push_back({kStar, 0});
    } else {
      for (size_t i = 0; i < p.size(); ++i) {
        const char next = i + 1 < p.size() ? p[i + 1] : 0;
        if (p[i] == '?') toks.push_back({kDosQm, 0});
        else if (p[i] == '*') toks.push_back({next == '.' ? kDosStar : kStar, 0});
        else if (p[i] == '.' && (next == '?' || next == '*')) toks.push_back({kDosDot, 0});
        else toks.push_back({kLit, up(p[i])});
      }
      if (dot && !toks.empty() && toks.back().kind == kStar) toks.back().kind = kDosStar;
    }
    const size_t d = name.rfind('.');
    last_dot = d == std::string::npos ? name.size() : d;
  }
  std::vector<int8_t> memo;  // -1 unknown, else the answer

  bool at(size_t t, size_t n) {
    if (memo.empty()) memo.assign((toks.size() + 1) * (name.size() + 1), -1);
    int8_t& m = memo[t * (name.size() + 1) + n];
    if (m < 0) m = compute(t, n) ? 1 : 0;
    return m == 1;
  }
  bool compute(size_t t, size_t n) {
    if (t == toks.size()) return n == name.size();
    const Tok& k = toks[t];
    const bool end = n == name.size();
    switch (k.kind) {
      case kLit: return !end && up(name[n]) == k.ch && at(t + 1, n + 1);
      case kStar: return at(t + 1, n) || (!end && at(t, n + 1));
      case kDosStar: return at(t + 1, n) || (!end && n != last_dot && at(t, n + 1));
      case kDosQm: return ((end || name[n] == '.') && at(t + 1, n)) || (!end && at(t + 1, n + 1));
      case kDosDot: return (end && at(t + 1, n)) || (!end && name[n] == '.' && at(t + 1, n + 1));
    }
    return false;
  }
};

// Opens no file at all: the options may name any path.
class NoFiles final : public OptionEffects {
 public:
  void before_reading(const EarlyWords&) override {}
  Status name_accounting_file(const char*, const char*) override { return Status(); }
  Status add_accounting_file(const char*, bool* opened) override {
    *opened = false;
    return Status();
  }
  void close_accounting_file() override {}
  void name_memo_file(const char*) override {}
  void ini_file_unreadable() override {}
};
NoFiles g_no_files;
Options g_options;

void reset_run_state() { g_options = Options(); }

}  // namespace

int fuzz_report_row(const uint8_t* data, size_t size) {
  // The first bytes pick the companion's times and the name's length; the
  // rest is the index file's content.
  EntryTimes e;
  e.creation = take64(data, size);
  e.last_access = take64(data, size);
  e.last_write = take64(data, size);
  const size_t name_len = size > 0 ? (*data++ % 48) : 0;
  if (size > 0) --size;
  std::string name;
  for (size_t i = 0; i < name_len && size > 0; ++i, ++data, --size)
    name.push_back(static_cast<char>(*data == 0 || *data == '\n' ? 'x' : *data));
  CompanionTimes times;
  convert_find_times(e, &times);
  RowBuffer row;
  const bool companion = (e.creation & 1) != 0;
  format_report_row(&row, name.c_str(), data, size, companion ? &times : nullptr);
  const std::string text(row.data(), row.size());
  check(!text.empty() && text.back() == '\n', "a row ends with its newline");
  check(text.find('\n') == text.size() - 1, "a row is one line");
  check(text.size() <= 20 + name.size() + 1 + 21 + 14 + 13 + 11 + size / 2 + 1 + 80 + 1,
        "a row is no longer than its data allows");
  check(text.compare(0, name.size() < 20 ? 20 - name.size() : 0,
                     std::string(name.size() < 20 ? 20 - name.size() : 0, ' ')) == 0,
        "the name column is right-aligned");
  return 0;
}

int fuzz_dos_pattern(const uint8_t* data, size_t size) {
  const std::vector<std::string> parts = split(data, size, 2);
  if (parts.size() != 2 || parts[0].size() > 24 || parts[1].size() > 48) return 0;
  DosPattern p;
  p.compile(parts[0].c_str());
  const bool fast = p.matches(parts[1].c_str());
  const bool slow = SlowDos(parts[0], parts[1]).at(0, 0);
  check(fast == slow, "the directory-search matcher agrees with the plain one");
  return 0;
}

int fuzz_wildcard(const uint8_t* data, size_t size) {
  const std::vector<std::string> parts = split(data, size, 2);
  if (parts.size() != 2) return 0;
  const bool m = wildcard_match(parts[0].c_str(), parts[1].c_str());
  if (parts[0].find_first_of("*?[\\") == std::string::npos)
    check(m == (parts[0] == parts[1]), "a pattern without wildcards matches only itself");
  if (parts[0] == "*") check(m, "* matches every name");
  return 0;
}

int fuzz_ini(const uint8_t* data, size_t size) {
  reset_run_state();
  if (size == 0) return 0;
  const bool shared = data[0] & 1;
  FILE* f = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "r");
  if (!f) return 0;
  const Status status = read_ini_lines(f, shared, "binsift", run_vocabulary(), &g_no_files, &g_options);
  fclose(f);
  check(status.ok(), "an INI file that names no file that fails goes on");
  check(g_options.recurse == 0 || g_options.recurse == 1, "recursion is on or off");
  for (const std::string& x : g_options.exclude_list.patterns())
    for (char c : x) check(!(c >= 'a' && c <= 'z'), "exclusions are upper case");
  return 0;
}

int fuzz_options(const uint8_t* data, size_t size) {
  reset_run_state();
  std::vector<std::string> args = split(data, size, 32);
  args.insert(args.begin(), "binsift");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const OptionResult result =
      parse_options(static_cast<int>(args.size()), argv.data(), run_vocabulary(), &g_no_files,
                    &g_options);
  if (result.action == OptionAction::kRun) {
    const int first = result.first_option;
    check(first >= 1 && first <= static_cast<int>(args.size()), "the first option index is in range");
    check(!g_options.pattern_list.empty(), "the pattern list is never empty");
    check(g_options.delimiter != ' ', "the delimiter is set");
  } else {
    check(result.action != OptionAction::kEnded, "only a file that cannot be opened ends a run");
  }
  return 0;
}

int fuzz_trim(const uint8_t* data, size_t size) {
  static const std::string path = (std::filesystem::temp_directory_path() /
                                   ("binsift-fuzz-trim-" + std::to_string(std::random_device()()))).string();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const intptr_t h = trim_at_eof_marker(path.c_str());
  check(h != kInvalidHandle, "a file of our own can be opened");
  close_file(h);
  std::ifstream in(path, std::ios::binary);
  const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t keep = size;
  if (size >= 10)
    while (keep > 0 && (data[keep - 1] == 0 || data[keep - 1] == 0x1A)) --keep;
  check(after.size() == keep, "only a trailing run of markers is cut");
  check(memcmp(after.data(), data, keep) == 0, "what is kept is unchanged");
  return 0;
}

namespace {

// True when `s` is well-formed UTF-8 (no surrogates, nothing above U+10FFFF,
// shortest forms only).
bool valid_utf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = 0;
    uint32_t v = 0;
    if (c < 0x80) len = 1, v = c;
    else if (c >= 0xC2 && c <= 0xDF) len = 2, v = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) len = 3, v = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) len = 4, v = c & 0x07;
    else return false;
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const unsigned char t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      v = v << 6 | (t & 0x3F);
    }
    if ((len == 3 && v < 0x800) || (len == 4 && (v < 0x10000 || v > 0x10FFFF)) ||
        (v >= 0xD800 && v <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

bool inside(const unsigned char* p, size_t n, const uint8_t* data, size_t size) {
  return p >= data && p <= data + size && n <= static_cast<size_t>(data + size - p);
}

}  // namespace

int fuzz_info2(const uint8_t* data, size_t size) {
  // The first byte picks the code page; the rest is the INFO2 file.
  static const char* const kPages[] = {"CP1252", "CP932", "CP936", "CP950", "UTF-8", "NO-SUCH-PAGE"};
  if (size == 0) return 0;
  const char* page = kPages[data[0] % (sizeof kPages / sizeof kPages[0])];
  ++data;
  --size;
  Info2Header header;
  if (!parse_info2_header(data, size, &header)) {
    check(size < kInfo2HeaderSize || !info2_version_known(header.version) ||
              !info2_record_size_known(header.record_size),
          "a header is refused only for a reason");
    return 0;
  }
  const size_t whole = info2_whole_records(header, size);
  const size_t count = info2_entry_count(header, size);
  check(kInfo2HeaderSize + whole * header.record_size <= size, "whole records fit the file");
  check(count == whole || (count == whole + 1 && info2_has_partial_record(header, size)),
        "at most one partial record");
  std::string text;
  Info2Entry e;
  for (size_t i = 0; i <= count; ++i) {
    const bool got = get_info2_entry(data, size, header, i, &e);
    check(got == (i < count), "entries exist exactly up to the count");
    if (!got) break;
    check(e.truncated == (i == whole), "only the last record is cut short");
    check(e.ansi_length <= kInfo2AnsiPathBytes, "an ANSI path fits its field");
    check(inside(e.ansi_path, e.ansi_length, data, size), "the ANSI path lies in the data");
    if (e.ansi_terminated) {
      check(inside(e.ansi_path, e.ansi_length + 1, data, size) && e.ansi_path[e.ansi_length] == 0,
            "a terminated ANSI path ends at a NUL");
    }
    check(memchr(e.ansi_path, 0, e.ansi_length) == nullptr, "no NUL inside the ANSI path");
    check(e.restored_or_purged == (data[kInfo2HeaderSize + i * header.record_size] == 0),
          "restored or purged means a zero first byte");
    check(!e.truncated ? (e.has_record_number && e.has_drive_number && e.has_deleted && e.has_size)
                       : true,
          "a whole record has every field");
    if (e.has_utf16_field) {
      check(header.record_size == kInfo2LongRecord, "only long records have a UTF-16 path");
      check(e.utf16_units <= kInfo2Utf16PathUnits, "a UTF-16 path fits its field");
      check(inside(e.utf16_path, 2 * e.utf16_units + (e.utf16_terminated ? 2 : 0), data, size),
            "the UTF-16 path lies in the data");
    }
    check(e.drive_prefix == 0 || e.restored_or_purged, "only restored records get a drive prefix");

    text.clear();
    append_info2_ansi_path(&text, e);
    check(text.size() == e.ansi_length + (e.drive_prefix ? 1 : 0), "the ANSI path is its bytes");
    text.clear();
    bool lone = false;
    append_info2_path_utf8(&text, e, page, &lone);
    check(valid_utf8(text), "the path is valid UTF-8");
    text.clear();
    const bool named = append_dc_name(&text, e, page);
    check(named == e.has_record_number, "a record number gives a Dc name");
    if (named) {
      check(text.compare(0, 2, "Dc") == 0 && text.size() > 2 && text[2] >= '0' && text[2] <= '9',
            "the Dc name begins with Dc and digits");
      check(text.find_first_of("\\/") == std::string::npos, "the Dc name is one component");
      check(valid_utf8(text), "the Dc name is valid UTF-8");
    }
  }
  // The code page decoder on the raw bytes.
  text.clear();
  append_codepage_as_utf8(page, data, size < 600 ? size : 600, &text);
  check(valid_utf8(text), "decoded text is valid UTF-8");
  return 0;
}

#ifdef BINSIFT_HAVE_TSK
namespace {

void put_le(std::vector<uint8_t>* b, size_t at, uint64_t v, int n) {
  if (b->size() < at + n) b->resize(at + n);
  for (int i = 0; i < n; ++i) (*b)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// What a folder's listing holds, name by name.
std::vector<std::string> listing_of(const NtfsFolderNames& names) {
  std::vector<std::string> out;
  for (size_t i = 0; i < names.size(); ++i) {
    const NtfsFolderName& n = names.at(i);
    out.push_back(std::string(names.text(i)) + "|" + std::to_string(n.entry) + "|" +
                  std::to_string(n.sequence) + "|" + std::to_string(static_cast<int>(n.type)) + "|" +
                  (n.allocated ? "a" : "u"));
  }
  return out;
}

void check_listing(const NtfsFolderNames& names, const NtfsIndexVolume& volume) {
  std::vector<std::pair<uint64_t, std::string>> seen;
  for (size_t i = 0; i < names.size(); ++i) {
    const NtfsFolderName& n = names.at(i);
    const std::string text(names.text(i));
    check(text.size() == n.name_length, "a name has no NUL inside");
    check(n.name_length <= 4 * 255, "a name fits the library's buffer");
    check(n.entry >= volume.first_entry && n.entry <= volume.last_entry, "an entry is in the volume");
    check(n.hash == NtfsFolderNames::library_hash(text), "a name's hash is its own");
    for (const auto& [entry, other] : seen) check(entry != n.entry || other != text, "a name is listed once");
    seen.emplace_back(n.entry, text);
  }
}

// Raw bytes: an index root and an allocation as they come.
void fuzz_index_bytes(const uint8_t* data, size_t size) {
  // A header: the volume's size and cluster, whether the folder is
  // deleted, its entry, and how many bytes are the root's.
  if (size < 6) return;
  NtfsIndexVolume volume;
  volume.first_entry = 0;
  volume.last_entry = (data[0] + 1u) * 1024;
  volume.cluster_size = (data[1] & 1) ? 512 : 4096;
  const bool deleted = (data[1] & 2) != 0;
  const uint64_t folder = data[2] | data[3] << 8;
  const size_t root_size = std::min<size_t>(size - 6, data[4] | data[5] << 8);
  data += 6;
  size -= 6;
  // Copies on the heap (4-aligned, as the library's are), so that the
  // sanitizers see any read past them.
  std::vector<uint8_t> root(data, data + root_size);
  NtfsFolderNames names, again;
  bool children = false;
  if (read_index_root(root, folder, deleted, volume, &children, &names)) check_listing(names, volume);
  std::vector<uint8_t> allocation(data + root_size, data + size);
  std::vector<uint8_t> copy = allocation;
  const bool read = read_index_allocation(allocation, folder, deleted, volume, &names);
  if (read) check_listing(names, volume);
  // The same bytes give the same listing.
  names.clear();
  check(read_index_allocation(copy, folder, deleted, volume, &again) == read, "a reading repeats");
  if (read) {
    std::vector<uint8_t> third(data + root_size, data + size);
    read_index_allocation(third, folder, deleted, volume, &names);
    check(listing_of(names) == listing_of(again), "a listing repeats");
  }
}

// A well-formed index built from the input's names: every name comes back,
// in order, once per entry and name.
void fuzz_index_round_trip(const uint8_t* data, size_t size) {
  constexpr uint64_t kFolder = 40;
  NtfsIndexVolume volume;
  volume.last_entry = 1u << 20;
  volume.cluster_size = 4096;
  struct Name {
    uint64_t entry;
    uint16_t sequence;
    bool directory;
    std::vector<uint16_t> units;
  };
  std::vector<Name> wanted;
  size_t at = 0;
  while (at + 4 <= size && wanted.size() < 300) {
    Name n;
    n.entry = 16 + (data[at] | data[at + 1] << 8);
    n.sequence = data[at + 2];
    n.directory = (data[at + 3] & 0x80) != 0;
    const size_t units = data[at + 3] & 0x7F;
    at += 4;
    for (size_t u = 0; u < units && at + 2 <= size; ++u, at += 2)
      n.units.push_back(static_cast<uint16_t>(data[at] | data[at + 1] << 8));
    wanted.push_back(n);
  }
  auto entry_bytes = [&](const Name& n) {
    std::vector<uint8_t> e;
    const size_t key = 66 + 2 * n.units.size();
    const size_t length = (16 + key + 7) / 8 * 8;
    put_le(&e, 0, n.entry, 6);
    put_le(&e, 6, n.sequence, 2);
    put_le(&e, 8, length, 2);
    put_le(&e, 10, key, 2);
    put_le(&e, 16, kFolder, 6);
    put_le(&e, 72, n.directory ? 0x10000000 : 0, 8);
    put_le(&e, 80, n.units.size(), 1);
    put_le(&e, 81, 1, 1);
    for (size_t i = 0; i < n.units.size(); ++i) put_le(&e, 82 + 2 * i, n.units[i], 2);
    e.resize(length);
    return e;
  };
  std::vector<uint8_t> last(16, 0);
  put_le(&last, 8, 16, 2);
  put_le(&last, 12, 2, 4);
  // The first names in the root, the rest in records of 4096 bytes.
  std::vector<uint8_t> root(32, 0);
  put_le(&root, 0, 0x30, 4);
  size_t next = 0;
  while (next < wanted.size() && next < 2) {
    const std::vector<uint8_t> e = entry_bytes(wanted[next++]);
    root.insert(root.end(), e.begin(), e.end());
  }
  root.insert(root.end(), last.begin(), last.end());
  put_le(&root, 16, 16, 4);
  put_le(&root, 20, root.size() - 16, 4);
  put_le(&root, 24, root.size() - 16, 4);
  std::vector<uint8_t> allocation;
  uint16_t usn = 1;
  while (next < wanted.size()) {
    std::vector<uint8_t> r(4096, 0);
    memcpy(r.data(), "INDX", 4);
    put_le(&r, 4, 40, 2);
    put_le(&r, 6, 9, 2);
    size_t fill = 64;
    while (next < wanted.size()) {
      const std::vector<uint8_t> e = entry_bytes(wanted[next]);
      if (fill + e.size() + 16 > 4096) break;
      std::copy(e.begin(), e.end(), r.begin() + fill);
      fill += e.size();
      ++next;
    }
    std::copy(last.begin(), last.end(), r.begin() + fill);
    fill += 16;
    put_le(&r, 24, 40, 4);
    put_le(&r, 28, fill - 24, 4);
    put_le(&r, 32, 4096 - 24, 4);
    put_le(&r, 40, usn, 2);
    for (int i = 1; i <= 8; ++i) {
      const size_t end = 512u * i - 2;
      r[40 + 2 * i] = r[end];
      r[41 + 2 * i] = r[end + 1];
      put_le(&r, end, usn, 2);
    }
    ++usn;
    allocation.insert(allocation.end(), r.begin(), r.end());
  }
  NtfsFolderNames names;
  bool children = false;
  check(read_index_root(root, kFolder, false, volume, &children, &names), "a good root is read");
  check(read_index_allocation(allocation, kFolder, false, volume, &names), "good records are read");
  // The listing as a plain model gives it: each entry and name once, in the
  // order first given.
  std::vector<std::string> expected;
  std::vector<std::pair<uint64_t, std::string>> seen;
  std::vector<uint8_t> raw;
  std::string text;
  for (const Name& n : wanted) {
    raw.clear();
    for (uint16_t u : n.units) {
      raw.push_back(static_cast<uint8_t>(u));
      raw.push_back(static_cast<uint8_t>(u >> 8));
    }
    ntfs_name_to_utf8(raw.data(), n.units.size(), &text);
    bool dup = false;
    for (const auto& [e, t] : seen) dup |= e == n.entry && t == text;
    if (dup) continue;
    seen.emplace_back(n.entry, text);
    expected.push_back(text + "|" + std::to_string(n.entry) + "|" + std::to_string(n.sequence) + "|" +
                       std::to_string(static_cast<int>(n.directory ? NtfsNameType::kDirectory
                                                                   : NtfsNameType::kRegular)) +
                       "|a");
  }
  check(listing_of(names) == expected, "a well-formed index lists exactly its names");
}

}  // namespace

int fuzz_ntfs_index(const uint8_t* data, size_t size) {
  // The first byte picks raw bytes or a well-formed index of the input's names.
  if (size == 0) return 0;
  if (data[0] & 1) {
    fuzz_index_round_trip(data + 1, size - 1);
  } else {
    fuzz_index_bytes(data + 1, size - 1);
  }
  return 0;
}
#endif

int fuzz_zone(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ZoneIdentifier zone;
  const bool found = parse_zone_identifier(text, &zone);
  for (std::string_view value : {zone.host_url, zone.referrer_url}) {
    if (value.empty()) continue;
    check(value.data() >= text.data() && value.data() + value.size() <= text.data() + text.size(),
          "a value lies inside the text");
    check(value.find_first_of("\r\n") == std::string_view::npos, "a value is one line");
    check(value.front() != ' ' && value.back() != ' ', "a value is trimmed");
  }
  check(found || (!zone.has_zone_id && zone.host_url.empty() && zone.referrer_url.empty()),
        "nothing is found in a text without the keys");
  return 0;
}

namespace {

struct ScanHit {
  RecordFormat format;
  uint64_t offset;
  size_t length;
  bool operator==(const ScanHit&) const = default;
};

struct ScanCollector : ScanHits {
  std::vector<ScanHit> hits;
  bool hit(RecordFormat format, uint64_t offset, const unsigned char*, size_t length) override {
    hits.push_back({format, offset, length});
    return true;
  }
};

}  // namespace

int fuzz_scan(const uint8_t* data, size_t size) {
  // The first three bytes: where the bytes lie (their offset modulo 8), the
  // pieces they are handed on in, and the zeros before them (so that a
  // record lies across the bytes the scanner carries from one piece to the
  // next).  The rest is scanned.
  if (size < 3) return 0;
  const uint64_t base = data[0] % 8;
  const size_t piece = 1 + static_cast<size_t>(data[1]) * 523;
  const size_t zeros = kLongestScannedRecord - static_cast<size_t>(data[2]) * 64;
  data += 3;
  size -= 3;
  std::vector<unsigned char> bytes(zeros, 0);
  bytes.insert(bytes.end(), data, data + size);
  // A run started on 2026-12-10.
  const FileTime run_start = 134413344000000000ULL;

  // What the record test says at each offset, one by one.
  std::vector<ScanHit> want;
  for (size_t i = 0; i < bytes.size(); ++i) {
    size_t length = 0;
    const RecordFormat f =
        scanned_record_at(bytes.data() + i, bytes.size() - i, base + i, run_start, &length);
    if (f == RecordFormat::kUnknown) continue;
    check((base + i) % (f == RecordFormat::kInfo2 ? 4 : 8) == 0, "records lie at their alignment");
    check(length > 0 && length <= bytes.size() - i, "a record lies in the bytes");
    want.push_back({f, base + i, length});
  }
  // The scanner finds the same, whole or in pieces.
  std::vector<unsigned char> buffer;
  for (size_t step : {bytes.size(), piece}) {
    ScanCollector collector;
    RecordScanner scanner(&buffer, run_start, &collector);
    for (size_t done = 0; done < bytes.size();) {
      size_t room = 0;
      unsigned char* space = scanner.space(&room);
      check(room >= kScanBlockSize, "a block fits the scanner");
      const size_t n = std::min({room, step, bytes.size() - done});
      memcpy(space, bytes.data() + done, n);
      check(scanner.filled(base + done, n), "every record is taken");
      done += n;
    }
    check(scanner.finish(), "every record is taken");
    check(collector.hits == want, "the scanner finds what the record test finds");
  }
  // Each record decodes inside its bytes.
  for (const ScanHit& hit : want) {
    const unsigned char* at = bytes.data() + (hit.offset - base);
    RecycleRecord r;
    decode_scanned_record(hit.format, at, hit.length, run_start, &r);
    check(r.format == hit.format && r.opened, "a scanned record keeps its format");
    check(r.path_utf16 != nullptr && r.path_units >= 2, "a scanned record has its path");
    check(inside(r.path_utf16, 2 * r.path_units, at, hit.length), "the path lies in the record");
    check((r.warnings & kWarnTimeOutOfRange) == 0, "a scanned record's time is plausible");
  }
  return 0;
}

const FuzzTarget kFuzzTargets[] = {
    {"report_row", fuzz_report_row}, {"dos_pattern", fuzz_dos_pattern},
    {"wildcard", fuzz_wildcard},     {"ini", fuzz_ini},
    {"options", fuzz_options},       {"trim", fuzz_trim},
    {"info2", fuzz_info2},           {"zone", fuzz_zone},
    {"scan", fuzz_scan},
#ifdef BINSIFT_HAVE_TSK
    {"ntfs_index", fuzz_ntfs_index},
#endif
};
const size_t kFuzzTargetCount = sizeof kFuzzTargets / sizeof kFuzzTargets[0];
