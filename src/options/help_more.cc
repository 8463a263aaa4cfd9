#include "options/help_more.h"

#include <cstdio>
#include <string>


namespace {

const char kHelpMoreText[] =
    "\nbinsift: the words beyond the classic options\n"
    "\n"
    "Each word is matched whole, written all in lower case or all in upper case;\n"
    "its value follows \"=\".  A refused word or value ends the run with\n"
    "\"Illegal option\" and exit code 5.  They have no INI keys.  Without them\n"
    "binsift writes exactly what it always has (the help screen of -? too).\n"
    "\n"
    "--format=NAME    the report's format; NAME, in lower or upper case, is one of:\n";
// After the formats' lines.
const char kHelpMoreRecords[] =
    "  csv, tsv and jsonl write one record per index record (one per INFO2\n"
    "  record), in UTF-8, with these fields in this order:\n"
    "    source              the index file's path as the run walked it\n"
    "    user_sid            the folder holding it, when named like a SID\n"
    "    format              v1, v2, info2 or unknown\n"
    "    size                the original size it records, in bytes\n"
    "    deleted             the deletion time: UTC, ISO 8601, 7 decimals\n"
    "    original_path       the original path, in full Unicode\n"
    "    extension           the text after the last \".\" of its last part\n"
    "    companion           file, directory, missing or other\n"
    "    companion_size      the companion's size in bytes, when a file\n"
    "    companion_modified  the companion's times: UTC, ISO 8601;\n"
    "    companion_accessed    empty when the file system keeps none\n"
    "    companion_created\n"
    "    warnings            what makes the record doubtful, in this order:\n"
    "                        cannot-open, truncated, unknown-version,\n"
    "                        name-length-mismatch, size-mismatch,\n"
    "                        time-out-of-range, lone-surrogate,\n"
    "                        restored-or-purged, recovered, one-byte-short,\n"
    "                        size-out-of-range, codepage-undefined, scanned,\n"
    "                        companion-deleted (csv and tsv join them\n"
    "                        with \";\")\n"
    "    entry_name          the seed report's first column: the index file's\n"
    "                        name, or Dc<N><ext> for an INFO2 record\n"
    "    index_created       the index file's own times (the INFO2 file's)\n"
    "    index_modified\n"
    "    companion_changed   the companion's metadata change time\n"
    "    image, volume       with --image: the image as given, the volume (p2)\n"
    "    entry               with --image: the index file's MFT entry\n"
    "    offset              with --scan: the byte where the record starts\n"
    "    user_name, parent_source, companion_md5, companion_sha1,\n"
    "    companion_sha256, zone_id, host_url, referrer_url\n"
    "                        reserved: empty (null in jsonl), so that the\n"
    "                        columns never move\n"
    "  -B and -Q drop the header line of csv and tsv.  Records go to standard\n"
    "  output and, byte for byte, to the -o file; a file that cannot be opened\n"
    "  is a record with the warning cannot-open.\n"
    "\n"
    "--codepage=NAME  the ANSI code page of INFO2 paths, for the UTF-8 formats\n"
    "                 (default CP1252; any name iconv knows, such as CP932)\n"
    "--image=FILE     reads the recycle bins of every volume of an evidence\n"
    "                 image (raw, split raw, E01, VMDK, VHD, AFF) without\n"
    "                 mounting it; -p paths are taken inside each volume\n"
    "--carve          with --image: also decodes $I files of NTFS volumes that\n"
    "                 are no longer in any folder (warning recovered)\n"
    "--shadows        with --image: also reads every shadow copy (restore point)\n"
    "                 of every NTFS volume as a volume of its own, p2:vss1 the\n"
    "                 oldest, right after the volume\n"
    "--scan           with --image: also scans the unallocated clusters of every\n"
    "                 volume (and shadow copy) for $I and INFO2 records that no\n"
    "                 file system lists any more (warnings recovered, scanned;\n"
    "                 source SCAN:p2:, the record's byte in the volume in offset)\n"
    "--scan=FILE      scans FILE's raw bytes the same way (a pagefile.sys, a\n"
    "                 memory image, exported unallocated space), with or\n"
    "                 without --image; source SCAN:FILE:\n"
    "--help-more      this text\n"
    "--help           the help screen, as -? shows it\n"
    "--version        one line, \"binsift VERSION\", on standard output; code 0\n"
    "\n"
    "A word no classic option matches that comes within two letters of one of\n"
    "these words (a slip: --imgae=x) is refused, with the word it resembles.\n"
    "In the csv, tsv, jsonl and body formats standard output holds the report\n"
    "alone, and a status line on a terminal takes the place of the progress\n"
    "line of each file.\n"
    "\n"
    "INFO2 files (Windows 95 to XP) are decoded in every format.  The manual\n"
    "page binsift(1) and the README describe everything in full.\n\n";

}  // namespace

void show_help_more(const std::string& format_lines) {
  const std::string text = kHelpMoreText + format_lines + kHelpMoreRecords;
  fputs(text.c_str(), stderr);
}
