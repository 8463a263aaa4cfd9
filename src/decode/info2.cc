#include "decode/info2.h"

#include <cstring>

#include "common/utf16.h"
#include "platform/utf8.h"

namespace {

uint16_t unit_at(const unsigned char* p, size_t i) {
  return static_cast<uint16_t>(p[2 * i] | p[2 * i + 1] << 8);
}

// Index of the first character of the extension in `text` (after the last
// '.' of the last component), or `n` when there is none or it is empty.
// Windows takes '/' as a separator too, so no name holds one; treating it
// as one keeps a crafted path from naming a file outside the bin.
size_t extension_in_bytes(const char* text, size_t n) {
  for (size_t i = n; i > 0; --i) {
    if (text[i - 1] == '\\' || text[i - 1] == '/') return n;
    if (text[i - 1] == '.') return i;
  }
  return n;
}

}  // namespace

bool is_info2_name(const char* name) {
  if (!name) return false;
  const char* want = "INFO2";
  size_t i = 0;
  for (; name[i] && i < 5; ++i) {
    const char c = (name[i] >= 'a' && name[i] <= 'z') ? static_cast<char>(name[i] - 32) : name[i];
    if (c != want[i]) return false;
  }
  return name[i] == 0 && (i == 4 || i == 5);
}

bool info2_version_known(uint32_t version) {
  return version == 0 || version == 2 || version == 4 || version == 5;
}

bool info2_record_size_known(uint32_t record_size) {
  return record_size == kInfo2ShortRecord || record_size == kInfo2LongRecord;
}

bool parse_info2_header(const unsigned char* data, size_t size, Info2Header* header) {
  *header = Info2Header();
  if (size >= 4) header->version = read_le32(data);
  if (size >= 16) header->record_size = read_le32(data + 12);
  return size >= kInfo2HeaderSize && info2_version_known(header->version) &&
         info2_record_size_known(header->record_size);
}

size_t info2_whole_records(const Info2Header& header, size_t size) {
  if (!info2_record_size_known(header.record_size) || size <= kInfo2HeaderSize) return 0;
  return (size - kInfo2HeaderSize) / header.record_size;
}

bool info2_has_partial_record(const Info2Header& header, size_t size) {
  if (!info2_record_size_known(header.record_size) || size <= kInfo2HeaderSize) return false;
  return (size - kInfo2HeaderSize) % header.record_size != 0;
}

size_t info2_entry_count(const Info2Header& header, size_t size) {
  return info2_whole_records(header, size) + (info2_has_partial_record(header, size) ? 1 : 0);
}

bool get_info2_entry(const unsigned char* data, size_t size, const Info2Header& header,
                     size_t index, Info2Entry* entry) {
  *entry = Info2Entry();
  if (index >= info2_entry_count(header, size)) return false;
  const size_t record_size = header.record_size;
  const size_t start = kInfo2HeaderSize + index * record_size;
  const size_t avail = size - start < record_size ? size - start : record_size;
  parse_info2_record(data + start, avail, header.record_size, entry);
  return true;
}

void parse_info2_record(const unsigned char* r, size_t avail, uint32_t record_size,
                        Info2Entry* entry) {
  *entry = Info2Entry();
  entry->truncated = avail < record_size;

  // The ANSI path: a restored or purged record has lost its first byte.
  const size_t field = avail < kInfo2AnsiPathBytes ? avail : kInfo2AnsiPathBytes;
  entry->restored_or_purged = r[0] == 0;
  const size_t from = entry->restored_or_purged ? 1 : 0;
  const void* nul = from < field ? memchr(r + from, 0, field - from) : nullptr;
  entry->ansi_path = r + from;
  entry->ansi_terminated = nul != nullptr;
  entry->ansi_length = nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - (r + from))
                           : (from < field ? field - from : 0);

  if (avail >= kInfo2RecordNumberOffset + 4) {
    entry->has_record_number = true;
    entry->record_number = read_le32(r + kInfo2RecordNumberOffset);
  }
  if (avail >= kInfo2DriveOffset + 4) {
    entry->has_drive_number = true;
    entry->drive_number = read_le32(r + kInfo2DriveOffset);
  }
  if (avail >= kInfo2TimeOffset + 8) {
    entry->has_deleted = true;
    entry->deleted = read_le64(r + kInfo2TimeOffset);
  }
  if (avail >= kInfo2SizeOffset + 4) {
    entry->has_size = true;
    entry->size = read_le32(r + kInfo2SizeOffset);
  }
  if (entry->restored_or_purged && entry->ansi_length > 0 && entry->has_drive_number) {
    if (entry->drive_number < 26)
      entry->drive_prefix = static_cast<char>('A' + entry->drive_number);
    else if (entry->drive_number == kInfo2NetworkDrive)
      entry->drive_prefix = '\\';
  }

  if (record_size == kInfo2LongRecord && avail > kInfo2Utf16PathOffset) {
    const unsigned char* u = r + kInfo2Utf16PathOffset;
    const size_t units = (avail - kInfo2Utf16PathOffset) / 2;  // <= 260
    entry->has_utf16_field = true;
    entry->utf16_path = u;
    entry->utf16_units = units;
    for (size_t i = 0; i < units; ++i) {
      if (unit_at(u, i) == 0) {
        entry->utf16_units = i;
        entry->utf16_terminated = true;
        break;
      }
    }
  }
}

void append_info2_ansi_path(std::string* out, const Info2Entry& entry) {
  if (entry.drive_prefix) out->push_back(entry.drive_prefix);
  out->append(reinterpret_cast<const char*>(entry.ansi_path), entry.ansi_length);
}

void append_info2_path_utf8(std::string* out, const Info2Entry& entry, const char* codepage,
                            bool* lone_surrogate) {
  if (entry.uses_utf16()) {
    if (append_utf16le_as_utf8(entry.utf16_path, entry.utf16_units, out) && lone_surrogate)
      *lone_surrogate = true;
    return;
  }
  if (entry.drive_prefix) out->push_back(entry.drive_prefix);
  append_codepage_as_utf8(codepage, entry.ansi_path, entry.ansi_length, out);
}

bool append_dc_name(std::string* out, const Info2Entry& entry, const char* codepage) {
  if (!entry.has_record_number) return false;
  char digits[16];
  size_t d = 0;
  uint32_t n = entry.record_number;
  do {
    digits[d++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n);
  out->append("Dc");
  while (d > 0) out->push_back(digits[--d]);

  if (entry.uses_utf16()) {
    // The extension begins after the last '.' that no separator follows.
    const unsigned char* u = entry.utf16_path;
    size_t start = entry.utf16_units;
    for (size_t i = entry.utf16_units; i > 0; --i) {
      const uint16_t c = unit_at(u, i - 1);
      if (c == '\\' || c == '/') break;
      if (c == '.') {
        start = i;
        break;
      }
    }
    if (start < entry.utf16_units) {
      out->push_back('.');
      append_utf16le_as_utf8(u + 2 * start, entry.utf16_units - start, out);
    }
    return true;
  }

  const char* ansi = reinterpret_cast<const char*>(entry.ansi_path);
  bool ascii = true;
  for (size_t i = 0; i < entry.ansi_length && ascii; ++i) ascii = entry.ansi_path[i] < 0x80;
  if (ascii) {
    const size_t start = extension_in_bytes(ansi, entry.ansi_length);
    if (start < entry.ansi_length) {
      out->push_back('.');
      out->append(ansi + start, entry.ansi_length - start);
    }
    return true;
  }
  // In a double-byte code page a '\' byte can be the second half of a
  // character, so the path is decoded before it is split.
  thread_local std::string decoded;
  decoded.clear();
  append_codepage_as_utf8(codepage, entry.ansi_path, entry.ansi_length, &decoded);
  const size_t start = extension_in_bytes(decoded.data(), decoded.size());
  if (start < decoded.size()) {
    out->push_back('.');
    out->append(decoded, start, std::string::npos);
  }
  return true;
}
