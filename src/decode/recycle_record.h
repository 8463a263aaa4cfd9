// One decoded recycle-bin record: what an index file (or one record of an
// INFO2 file) says, where it was found, and what its companion entry is.
// The decoder fills it and hands it to a record sink; the report writers
// turn it into bytes.  The names the reports give its format, its
// companion's kind and its warnings are in record_formats.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/file_system.h"
#include "platform/platform.h"

// What the record was decoded from (each has a row in record_formats.cc).
// kContent: an entry inside a recycled folder (the companion directory of
// an index record), which has no index file of its own.
enum class RecordFormat : uint8_t { kUnknown, kV1, kV2, kInfo2, kContent };

enum class CompanionKind : uint8_t { kMissing, kFile, kDirectory, kOther };

// The doubts a record carries, as bits; writers list them in this order.
enum RecordWarning : uint32_t {
  kWarnCannotOpen = 1u << 0,
  kWarnTruncated = 1u << 1,
  kWarnUnknownVersion = 1u << 2,
  kWarnNameLengthMismatch = 1u << 3,
  kWarnSizeMismatch = 1u << 4,
  kWarnTimeOutOfRange = 1u << 5,
  kWarnLoneSurrogate = 1u << 6,
  kWarnRestoredOrPurged = 1u << 7,
  kWarnRecovered = 1u << 8,
  kWarnOneByteShort = 1u << 9,
  kWarnSizeOutOfRange = 1u << 10,
  kWarnCodepageUndefined = 1u << 11,
  kWarnScanned = 1u << 12,
  kWarnCompanionDeleted = 1u << 13,
};
constexpr int kWarningCount = 14;

// The companion: the $R entry beside an index file, or the Dc file of an
// INFO2 record.
struct CompanionInfo {
  CompanionKind kind = CompanionKind::kMissing;
  uint64_t size = 0;      // bytes, when a file
  EntryTimes times;       // 0 where the file system keeps no such time
  // Its metadata address in an image (the body file's inode).
  bool has_entry = false;
  uint64_t entry = 0;
  // Its digests in lower-case hex, where they were asked for.
  std::string_view md5, sha1, sha256;
  // What its Zone.Identifier stream says, where the run can read streams.
  bool has_zone_id = false;
  int64_t zone_id = 0;
  std::string_view host_url, referrer_url;
  // Where it is, so that it can be read by the same calls as the walk
  // reads: its file system, the open folder that holds it and its name
  // there; valid while the record is.  No file system where it was not
  // looked up.
  FileSystem* fs = nullptr;
  DirRef folder = kNoDir;
  std::string_view name;
};

// A 543-byte version 1 file whose size field lost a byte: its deletion time
// and path one byte early, as such files are laid out.  The record's own
// fields hold them; these are the fixed fields where the version 1 layout
// puts them, which the seed report shows.
struct LaidOutFields {
  int64_t size = 0;
  FileTime deleted = 0;
  const unsigned char* path_utf16 = nullptr;
  size_t path_units = 0;
};

struct RecycleRecord {
  // Where the record was found, for text only.  `directory` ends with the
  // path separator; `file_name` is the index (or INFO2) file's name.
  std::string_view source_prefix;  // "" on a file system; "IMAGE:p1:" in an image
  std::string_view directory;
  std::string_view file_name;
  // The name the report shows for the record: the index file's name, or
  // "Dc<N><ext>" for an INFO2 record.
  std::string_view entry_name;
  // The folder holding the index file when its name has the form of a SID.
  std::string_view user_sid;
  // The account name of that SID, where it is known.
  std::string_view user_name;
  // Image runs: the image as given and the volume ("p2", "p2:vss1"); empty
  // otherwise.
  std::string_view image;
  std::string_view volume;
  // Image runs: the index file's metadata address (the NTFS MFT entry).
  bool has_entry = false;
  uint64_t entry = 0;
  // Records found in raw bytes: where the record starts.
  bool has_offset = false;
  uint64_t offset = 0;
  // An entry inside a recycled folder: the source of the index record whose
  // folder holds it.
  std::string_view parent_source;
  // An entry inside a recycled folder: its path below the folder, its
  // names joined with a backslash (bytes as the file system gives them);
  // the original path is the index record's, a backslash, and this.
  std::string_view content_path;
  // The index file's own birth and last-write times (the INFO2 file's for
  // its records); 0 where unknown.
  FileTime index_created = 0;
  FileTime index_modified = 0;

  bool opened = false;            // false: the file could not be opened
  RecordFormat format = RecordFormat::kUnknown;
  // Every fixed field of the format was read (the Parts' report then shows
  // the whole row, else the short one).
  bool has_fields = false;
  // Which fields lie wholly inside the bytes read (a short file may still
  // hold its size).
  bool has_size = false;
  bool has_deleted = false;
  int64_t size = 0;               // INFO2 sizes are unsigned 32-bit
  FileTime deleted = 0;

  // The original path: UTF-16LE code units, or (INFO2 records without a
  // UTF-16 path) bytes in the system's ANSI code page, after `drive_letter`
  // when that is not 0 (a restored or purged record).
  const unsigned char* path_utf16 = nullptr;
  size_t path_units = 0;
  const unsigned char* path_ansi = nullptr;
  size_t path_ansi_length = 0;
  char drive_letter = 0;

  CompanionInfo companion;
  uint32_t warnings = 0;
  // With kWarnOneByteShort: the fixed fields as laid out.
  LaidOutFields laid_out;
};

// The folder name when it has the form of a SID ("S-1" then one or more
// groups of a dash and digits; the "S" in either case), else empty.
std::string_view sid_of_folder(std::string_view directory);
