#include "decode/decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/test_allocations.h"
#include "common/test_tree.h"
#include "decode/index_record.h"
#include "decode/test_index_files.h"
#include "platform/memory_file_system.h"
#include "report/report_writer.h"

using test_index::filetime_utc;
using test_index::index_v1;
using test_index::index_v2;

namespace {

const FileTime kDeleted = filetime_utc(2021, 3, 4, 5, 6, 7);
const FileTime kRunStart = filetime_utc(2026, 1, 1);

TEST(ProgressLine, ThePathIsShownBelow80Characters) {
  const std::string dir(60, 'd');
  std::string out;
  EXPECT_EQ(append_progress_line(&out, dir.c_str(), 60, "$I34567890123456789", 19), 12 + 79 + 1);
  EXPECT_EQ(out, "Processing: " + dir + "$I34567890123456789\n");
  out.clear();
  EXPECT_EQ(append_progress_line(&out, dir.c_str(), 60, "$I345678901234567890", 20), 12 + 20 + 1);
  EXPECT_EQ(out, "Processing: $I345678901234567890\n");
}

TEST(ProgressLine, BytesThatDriveATerminalAreShownAsQuestionMarks) {
  std::string out;
  const char name[] = "$I\x1b[2J\x07\x7f\x9b\xe9";
  append_progress_line(&out, "d/", 2, name, sizeof name - 1);
  // A Latin-1 byte stays where the console shows single bytes; it is not
  // UTF-8, so where the console shows UTF-8 it is a "?" too.
  EXPECT_EQ(out, std::string("Processing: d/$I?[2J???") + (console_uses_utf8() ? "?" : "\xe9") + "\n");
}

TEST(ProgressLine, EraseSequence) {
  std::string out;
  erase_progress(&out, 0);
  EXPECT_EQ(out, "");
  erase_progress(&out, 3);
  EXPECT_EQ(out, "\b\b\b   \b\b\b");
}

// Keeps every record the decoder writes.
class Collector final : public ReportWriter {
 public:
  bool write_header() override { return true; }
  bool write_record(const RecycleRecord& r) override {
    records.push_back(r);
    names.emplace_back(r.file_name);
    sids.emplace_back(r.user_sid);
    return true;
  }
  std::vector<RecycleRecord> records;
  std::vector<std::string> names;
  std::vector<std::string> sids;
};

class DecoderTest : public ::testing::Test {
 protected:
  void SetUp() override { g_file_count = 0; }
  void decode(const std::string& dir, const char* name, bool reset = false) {
    DecoderSettings settings;
    settings.reset_times = reset;
    settings.run_start = kRunStart;
    const FileHandle progress = open_output_device(tree.path("err").c_str(), true);
    IndexDecoder decoder(&fs, &collector, progress, settings);
    std::string error;
    const DirRef d = fs.open_directory(dir.c_str(), &error);
    ASSERT_NE(d, kNoDir) << error;
    decoder.decode(d, dir + "/", name, EntryKind::kUnknown);
    fs.close_directory(d);
    close_file(progress);
  }
  MemoryFileSystem fs;
  Collector collector;
  TestTree tree;
};

TEST_F(DecoderTest, RecordsOfGoodShortAndUnopenableFiles) {
  EntryTimes companion_times{filetime_utc(2020, 1, 1), filetime_utc(2020, 2, 2),
                             filetime_utc(2020, 3, 3)};
  fs.add_file("bin/$IAAA.txt", index_v2(1, kDeleted, u"C:\\a.txt"));
  fs.add_file("bin/$RAAA.txt", "x", companion_times);
  fs.add_file("bin/$IV1", index_v1(5, kDeleted, u"C:\\v1"));
  fs.add_file("bin/$ISHORT", index_v2(5, kDeleted, u"C:\\x").substr(0, 20));
  fs.add_file("bin/$ITINY", "\x02");
  fs.add_file("bin/$IV9", std::string("\x09\0\0\0\0\0\0\0", 8));
  fs.add_directory("bin/$ICCC");
  fs.add_directory("bin/$RCCC");
  for (const char* n : {"$IAAA.txt", "$IV1", "$ISHORT", "$ITINY", "$IV9", "$ICCC"})
    decode("bin", n);
  EXPECT_EQ(g_file_count, 6);
  ASSERT_EQ(collector.records.size(), 6u);

  const RecycleRecord& a = collector.records[0];
  EXPECT_TRUE(a.opened && a.has_fields && a.has_size && a.has_deleted);
  EXPECT_EQ(a.format, RecordFormat::kV2);
  EXPECT_EQ(a.size, 1);
  EXPECT_EQ(a.deleted, kDeleted);
  EXPECT_EQ(a.path_units, 8u);
  EXPECT_EQ(a.companion.kind, CompanionKind::kFile);
  EXPECT_EQ(a.companion.times.last_write, companion_times.last_write);
  EXPECT_EQ(a.warnings, 0u);

  const RecycleRecord& v1 = collector.records[1];
  EXPECT_EQ(v1.format, RecordFormat::kV1);
  EXPECT_EQ(v1.path_units, 5u);
  EXPECT_EQ(v1.companion.kind, CompanionKind::kMissing);
  EXPECT_EQ(v1.warnings, 0u);

  const RecycleRecord& shorter = collector.records[2];  // size read, time not
  EXPECT_TRUE(shorter.has_size && !shorter.has_deleted && !shorter.has_fields);
  EXPECT_EQ(shorter.warnings, static_cast<uint32_t>(kWarnTruncated));

  EXPECT_EQ(collector.records[3].format, RecordFormat::kUnknown);
  EXPECT_EQ(collector.records[3].warnings, static_cast<uint32_t>(kWarnTruncated));
  EXPECT_EQ(collector.records[4].warnings, static_cast<uint32_t>(kWarnUnknownVersion));

  const RecycleRecord& dir = collector.records[5];
  EXPECT_FALSE(dir.opened);
  EXPECT_EQ(dir.warnings, static_cast<uint32_t>(kWarnCannotOpen));
  EXPECT_EQ(dir.companion.kind, CompanionKind::kDirectory);

  // Progress lines only for the files that were opened.
  const std::string err = tree.read("err");
  EXPECT_NE(err.find("Processing: bin/$IAAA.txt\n"), std::string::npos);
  EXPECT_EQ(err.find("$ICCC"), std::string::npos);
}

TEST_F(DecoderTest, WarningsFromTheBytesAndTheCompanion) {
  std::string mismatch = index_v2(3, kDeleted, u"C:\\abc");
  mismatch[24] = 9;  // the length field disagrees with the terminator
  fs.add_file("S-1-5-21-1-2-3-1001/$IM", mismatch);
  fs.add_file("S-1-5-21-1-2-3-1001/$RM", "four");
  std::string unterminated = index_v2(3, kDeleted, u"C:\\abc");
  unterminated.resize(unterminated.size() - 2);
  fs.add_file("S-1-5-21-1-2-3-1001/$IU", unterminated);
  fs.add_file("S-1-5-21-1-2-3-1001/$IT", index_v2(3, 0, u"C:\\a"));
  fs.add_file("S-1-5-21-1-2-3-1001/$IF", index_v2(3, kRunStart + 2 * 864000000000ULL, u"C:\\a"));
  fs.add_file("S-1-5-21-1-2-3-1001/$IS", index_v2(3, kDeleted, u"C:\\\xD800x"));
  for (const char* n : {"$IM", "$IU", "$IT", "$IF", "$IS"}) decode("S-1-5-21-1-2-3-1001", n);
  ASSERT_EQ(collector.records.size(), 5u);
  EXPECT_EQ(collector.records[0].warnings,
            static_cast<uint32_t>(kWarnNameLengthMismatch | kWarnSizeMismatch));
  EXPECT_EQ(collector.records[0].companion.size, 4u);
  EXPECT_EQ(collector.records[1].warnings, static_cast<uint32_t>(kWarnTruncated));
  EXPECT_EQ(collector.records[1].path_units, 6u);
  EXPECT_EQ(collector.records[2].warnings, static_cast<uint32_t>(kWarnTimeOutOfRange));
  EXPECT_EQ(collector.records[3].warnings, static_cast<uint32_t>(kWarnTimeOutOfRange));
  EXPECT_EQ(collector.records[4].warnings, static_cast<uint32_t>(kWarnLoneSurrogate));
  EXPECT_EQ(collector.sids[0], "S-1-5-21-1-2-3-1001");
}

TEST_F(DecoderTest, TimesAreSetBackThroughTheOpenFile) {
  const EntryTimes times{1, 2, 3};
  fs.add_file("bin/$IA", index_v2(1, kDeleted, u"C:\\a"), times);
  decode("bin", "$IA", true);
  const SavedTimes* restored = fs.restored_times("bin/$IA");
  ASSERT_NE(restored, nullptr);
  EXPECT_EQ(restored->filetime[1], 2u);
  EXPECT_EQ(restored->filetime[2], 3u);
  fs.add_file("bin/$IB", index_v2(1, kDeleted, u"C:\\b"), times);
  decode("bin", "$IB", false);
  EXPECT_EQ(fs.restored_times("bin/$IB"), nullptr);
  EXPECT_EQ(fs.open_files(), 0u);
}

TEST(SidOfFolder, OnlyNamesOfTheFormOfASid) {
  EXPECT_EQ(sid_of_folder("/x/$RECYCLE.BIN/S-1-5-21-123-456-1001/"), "S-1-5-21-123-456-1001");
  EXPECT_EQ(sid_of_folder("s-1-5-18/"), "s-1-5-18");
  EXPECT_EQ(sid_of_folder("/x/S-1/"), "");
  EXPECT_EQ(sid_of_folder("/x/S-1-/"), "");
  EXPECT_EQ(sid_of_folder("/x/S-1-5-x/"), "");
  EXPECT_EQ(sid_of_folder("/x/$RECYCLE.BIN/"), "");
}

// A real directory: the decoder's cost per file once it has started.
class NullWriter final : public ReportWriter {
 public:
  bool write_header() override { return true; }
  bool write_record(const RecycleRecord&) override { return true; }
};

TEST(DecoderCost, NoAllocationPerFile) {
  TestTree tree;
  for (int i = 0; i < 20; ++i) {
    const std::string n = "$I" + std::to_string(100000 + i) + ".docx";
    tree.file("bin/" + n, index_v2(1, kDeleted,
                                   u"C:\\Users\\someone\\Documents\\report number.docx"));
    if (i % 2) tree.file("bin/$R" + n.substr(2), "data");
  }
  std::vector<std::string> names;
  for (int i = 0; i < 20; ++i) names.push_back("$I" + std::to_string(100000 + i) + ".docx");
  FileSystem* fs = real_file_system();
  std::string error;
  const DirRef dir = fs->open_directory(tree.path("bin").c_str(), &error);
  ASSERT_NE(dir, kNoDir) << error;
  NullWriter writer;
  DecoderSettings settings;
  settings.reset_times = true;
  settings.file_metadata = true;  // the index file's own times too
  settings.deleted_companions = true;
  const FileHandle progress = open_output_device("/dev/null", false);
  IndexDecoder decoder(fs, &writer, progress, settings);
  const std::string directory = tree.path("bin") + "/";
  decoder.decode(dir, directory, names[0].c_str(), EntryKind::kUnknown);
  decoder.decode(dir, directory, names[1].c_str(), EntryKind::kRegular);
  const long before = test_allocations();
  for (const std::string& n : names) decoder.decode(dir, directory, n.c_str(), EntryKind::kRegular);
  EXPECT_EQ(test_allocations() - before, 0);
  fs->close_directory(dir);
  close_file(progress);
}

}  // namespace

namespace {

// Keeps what the decoder said of each recovered record, as text.
class RecoveredCollector final : public ReportWriter {
 public:
  bool write_header() override { return true; }
  bool write_record(const RecycleRecord& r) override {
    records.push_back(r);
    sources.push_back(std::string(r.source_prefix) + std::string(r.directory) +
                      std::string(r.file_name));
    sids.emplace_back(r.user_sid);
    return true;
  }
  std::vector<RecycleRecord> records;
  std::vector<std::string> sources, sids;
};

// What each INFO2 record said, taken while its bytes are there.
class Info2Collector final : public ReportWriter {
 public:
  struct Seen {
    std::string entry_name, path;
    int64_t size;
    uint32_t warnings;
  };
  bool write_header() override { return true; }
  bool write_record(const RecycleRecord& r) override {
    Seen s{std::string(r.entry_name), "", r.size, r.warnings};
    if (r.path_utf16) {
      for (size_t i = 0; i < r.path_units; ++i) s.path.push_back(static_cast<char>(r.path_utf16[2 * i]));
    } else if (r.path_ansi) {
      s.path.assign(reinterpret_cast<const char*>(r.path_ansi), r.path_ansi_length);
    }
    seen.push_back(s);
    return true;
  }
  std::vector<Seen> seen;
};

// An INFO2 file of `count` records of `record_size` bytes, record i naming
// "C:\f<i>.txt" (in both paths of an 800-byte record), with `tail` bytes of
// one more record after them.
std::string numbered_info2(uint32_t record_size, size_t count, size_t tail) {
  std::string out;
  for (uint64_t v : {5u, 0u, 0u}) test_index::put_le(&out, v, 4);
  test_index::put_le(&out, record_size, 4);
  test_index::put_le(&out, 0, 4);
  for (size_t i = 0; i <= count; ++i) {
    const std::string path = "C:\\f" + std::to_string(i) + ".txt";
    std::string rec = path;
    rec.resize(260, '\0');
    test_index::put_le(&rec, i + 1, 4);
    test_index::put_le(&rec, 2, 4);
    test_index::put_le(&rec, kDeleted, 8);
    test_index::put_le(&rec, i, 4);
    if (record_size == 800) {
      for (size_t k = 0; k < 260; ++k) test_index::put_le(&rec, k < path.size() ? path[k] : 0, 2);
    }
    out += i < count ? rec : rec.substr(0, tail);
  }
  return out;
}

// Records are read piece by piece through the decoder's buffer, whatever
// the file's size and however little each read gives: every one is there,
// in order, and a record that spans two pieces is read whole.
TEST(DecoderInfo2, EveryRecordOfAFileManyBuffersLong) {
  for (const uint32_t record_size : {800u, 280u}) {
    const size_t count = 3 * kInputBufferSize / record_size + 7;
    for (const size_t read_limit : {size_t{0}, size_t{777}, kIndexReadSize + 3}) {
      SCOPED_TRACE(std::to_string(record_size) + " " + std::to_string(read_limit));
      MemoryFileSystem fs;
      fs.set_read_limit(read_limit);
      fs.add_file("RECYCLER/INFO2", numbered_info2(record_size, count, 123));
      fs.add_file("RECYCLER/Dc1.txt", "");  // record 0 recorded 0 bytes
      Info2Collector collector;
      DecoderSettings settings;
      settings.run_start = kRunStart;
      const FileHandle progress = open_output_device("/dev/null", false);
      IndexDecoder decoder(&fs, &collector, progress, settings);
      std::string error;
      const DirRef dir = fs.open_directory("RECYCLER", &error);
      ASSERT_NE(dir, kNoDir) << error;
      EXPECT_TRUE(decoder.decode(dir, "RECYCLER/", "INFO2", EntryKind::kRegular));
      fs.close_directory(dir);
      close_file(progress);

      ASSERT_EQ(collector.seen.size(), count + 1);
      size_t wrong = 0;
      for (size_t i = 0; i < count; ++i) {
        const Info2Collector::Seen& s = collector.seen[i];
        const std::string want = "f" + std::to_string(i) + ".txt";
        if (s.entry_name != "Dc" + std::to_string(i + 1) + ".txt" || s.path != "C:\\" + want ||
            s.size != static_cast<int64_t>(i) || s.warnings != 0)
          ++wrong;
      }
      EXPECT_EQ(wrong, 0u);
      // The last record is cut: it keeps its own file's name and is truncated.
      const Info2Collector::Seen& last = collector.seen.back();
      EXPECT_EQ(last.entry_name, "INFO2");
      EXPECT_EQ(last.path, "C:\\f" + std::to_string(count) + ".txt");
      EXPECT_EQ(last.warnings, static_cast<uint32_t>(kWarnTruncated));
    }
  }
}

// What the UTF-8 formats show beyond the bytes: each record's own copy.
class MetadataCollector final : public ReportWriter {
 public:
  struct Seen {
    std::string entry_name, image, volume;
    RecycleRecord record;
  };
  bool write_header() override { return true; }
  bool write_record(const RecycleRecord& r) override {
    seen.push_back({std::string(r.entry_name), std::string(r.image), std::string(r.volume), r});
    return true;
  }
  std::vector<Seen> seen;
};

struct MetadataRun {
  MemoryFileSystem fs;
  MetadataCollector collector;
  // Decodes the files of `dir` in turn.
  void decode(const DecoderSettings& settings, const char* dir,
              std::initializer_list<const char*> names, bool image = false) {
    const FileHandle progress = open_output_device("/dev/null", false);
    IndexDecoder decoder(&fs, &collector, progress, settings);
    if (image) decoder.set_volume("case/disk.E01", "p2");
    std::string error;
    const DirRef d = fs.open_directory(dir, &error);
    ASSERT_NE(d, kNoDir) << error;
    for (const char* name : names)
      EXPECT_TRUE(decoder.decode(d, std::string(dir) + "/", name, EntryKind::kUnknown));
    fs.close_directory(d);
    close_file(progress);
  }
};

TEST(DecoderMetadata, TheIndexFilesOwnTimesAndEntryAndTheCompanions) {
  const EntryTimes index_times{filetime_utc(2021, 3, 4, 5, 6, 7, 1), filetime_utc(2021, 3, 5),
                               filetime_utc(2021, 3, 4, 5, 6, 7, 2), filetime_utc(2021, 3, 6)};
  const EntryTimes companion_times{filetime_utc(2020, 1, 1), filetime_utc(2020, 2, 2),
                                   filetime_utc(2020, 3, 3), filetime_utc(2021, 3, 4, 5, 6, 7, 3)};
  MetadataRun run;
  run.fs.add_file("bin/$IA.txt", index_v2(1, kDeleted, u"C:\\a.txt"), index_times);
  run.fs.add_file("bin/$RA.txt", "x", companion_times);
  run.fs.set_address("bin/$IA.txt", 41);
  run.fs.set_address("bin/$RA.txt", 0);
  DecoderSettings settings;
  settings.run_start = kRunStart;
  settings.file_metadata = true;
  run.decode(settings, "bin", {"$IA.txt"}, true);
  EXPECT_TRUE(run.fs.change_times_wanted());
  ASSERT_EQ(run.collector.seen.size(), 1u);
  const MetadataCollector::Seen& a = run.collector.seen[0];
  EXPECT_EQ(a.entry_name, "$IA.txt");
  EXPECT_EQ(a.image, "case/disk.E01");
  EXPECT_EQ(a.volume, "p2");
  EXPECT_EQ(a.record.index_created, index_times.creation);
  EXPECT_EQ(a.record.index_modified, index_times.last_write);
  EXPECT_TRUE(a.record.has_entry);
  EXPECT_EQ(a.record.entry, 41u);
  EXPECT_EQ(a.record.companion.times.change, companion_times.change);
  EXPECT_TRUE(a.record.companion.has_entry);
  EXPECT_EQ(a.record.companion.entry, 0u);

  // The seed report shows none of it, and the run asks for none of it.
  MetadataRun seed;
  seed.fs.add_file("bin/$IA.txt", index_v2(1, kDeleted, u"C:\\a.txt"), index_times);
  seed.fs.set_address("bin/$IA.txt", 41);
  settings.file_metadata = false;
  seed.decode(settings, "bin", {"$IA.txt"});
  EXPECT_FALSE(seed.fs.change_times_wanted());
  ASSERT_EQ(seed.collector.seen.size(), 1u);
  EXPECT_EQ(seed.collector.seen[0].record.index_created, 0u);
  EXPECT_FALSE(seed.collector.seen[0].record.has_entry);
  EXPECT_EQ(seed.collector.seen[0].image, "");
}

TEST(DecoderMetadata, EveryInfo2RecordHasTheInfo2FilesTimes) {
  const EntryTimes times{filetime_utc(2004, 8, 25), 0, filetime_utc(2004, 8, 26)};
  MetadataRun run;
  run.fs.add_file("RECYCLER/INFO2", numbered_info2(800, 3, 0), times);
  DecoderSettings settings;
  settings.run_start = kRunStart;
  settings.file_metadata = true;
  run.decode(settings, "RECYCLER", {"INFO2"});
  ASSERT_EQ(run.collector.seen.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(run.collector.seen[i].entry_name, "Dc" + std::to_string(i + 1) + ".txt");
    EXPECT_EQ(run.collector.seen[i].record.index_created, times.creation);
    EXPECT_EQ(run.collector.seen[i].record.index_modified, times.last_write);
  }
}

TEST(DecoderMetadata, ACompanionWhoseNameTheFolderKeepsForADeletedEntry) {
  MetadataRun run;
  for (const char* name : {"bin/$IDEL.txt", "bin/$IGONE.txt", "bin/$ILIVE.txt"})
    run.fs.add_file(name, index_v2(1, kDeleted, u"C:\\a.txt"));
  run.fs.add_file("bin/$RLIVE.txt", "x");
  run.fs.add_deleted_name("bin/$RDEL.txt");
  run.fs.add_deleted_name("bin/$RLIVE.txt");  // a stale name beside the live one
  DecoderSettings settings;
  settings.run_start = kRunStart;
  settings.deleted_companions = true;
  run.decode(settings, "bin", {"$IDEL.txt", "$IGONE.txt", "$ILIVE.txt"});
  settings.deleted_companions = false;
  run.decode(settings, "bin", {"$IDEL.txt"});
  ASSERT_EQ(run.collector.seen.size(), 4u);
  EXPECT_EQ(run.collector.seen[0].record.warnings, static_cast<uint32_t>(kWarnCompanionDeleted));
  EXPECT_EQ(run.collector.seen[0].record.companion.kind, CompanionKind::kMissing);
  EXPECT_EQ(run.collector.seen[1].record.warnings, 0u);
  EXPECT_EQ(run.collector.seen[2].record.warnings, 0u);
  EXPECT_EQ(run.collector.seen[2].record.companion.kind, CompanionKind::kFile);
  EXPECT_EQ(run.collector.seen[3].record.warnings, 0u);  // not asked for
}

TEST(DecoderRecovered, RecoveredIndexFilesCarryTheWarningAndTheirFoldersCompanion) {
  g_file_count = 0;
  MemoryFileSystem fs;
  TestTree tree;
  const EntryTimes times{filetime_utc(2020, 1, 1), filetime_utc(2020, 2, 2),
                         filetime_utc(2020, 3, 3)};
  fs.add_file("bin/S-1-5-21-7-1001/$RAAA.txt", "xy", times);
  // The recovered entries' data, as the volume gives it to read.
  fs.add_file("entries/aaa", index_v2(5, kDeleted, u"C:\\a.txt"));
  fs.add_file("entries/empty", "");
  RecoveredCollector collector;
  DecoderSettings settings;
  settings.run_start = kRunStart;
  const FileHandle progress = open_output_device(tree.path("err").c_str(), true);
  IndexDecoder decoder(&fs, &collector, progress, settings);
  decoder.set_source_prefix("IMAGE:p2:");
  std::string error;
  const DirRef parent = fs.open_directory("bin/S-1-5-21-7-1001", &error);
  const DirRef entries = fs.open_directory("entries", &error);
  ASSERT_NE(parent, kNoDir);
  ASSERT_NE(entries, kNoDir);

  const FileRef aaa = fs.open_file(entries, "aaa", EntryKind::kRegular);
  ASSERT_NE(aaa, kNoFile);
  EXPECT_TRUE(decoder.decode_recovered(parent, "/$Recycle.Bin/S-1-5-21-7-1001/", "$IAAA.txt", aaa));
  fs.close_file(aaa);
  const FileRef empty = fs.open_file(entries, "empty", EntryKind::kRegular);
  EXPECT_TRUE(decoder.decode_recovered(kNoDir, "/$OrphanFiles/", "$IBBB", empty));
  fs.close_file(empty);
  EXPECT_TRUE(decoder.decode_recovered(kNoDir, "/$OrphanFiles/", "$ICCC", kNoFile));
  fs.close_directory(parent);
  fs.close_directory(entries);
  close_file(progress);

  EXPECT_EQ(g_file_count, 3);
  ASSERT_EQ(collector.records.size(), 3u);
  const RecycleRecord& a = collector.records[0];
  EXPECT_EQ(collector.sources[0], "IMAGE:p2:/$Recycle.Bin/S-1-5-21-7-1001/$IAAA.txt");
  EXPECT_EQ(collector.sids[0], "S-1-5-21-7-1001");
  EXPECT_EQ(a.format, RecordFormat::kV2);
  EXPECT_EQ(a.size, 5);
  EXPECT_EQ(a.deleted, kDeleted);
  EXPECT_EQ(a.companion.kind, CompanionKind::kFile);
  EXPECT_EQ(a.companion.size, 2u);
  EXPECT_EQ(a.companion.times.creation, times.creation);
  // The companion holds 2 bytes of the 5 recorded.
  EXPECT_EQ(a.warnings, kWarnSizeMismatch | kWarnRecovered);

  // Data that cannot be read any more: the short record, truncated.
  for (size_t i = 1; i < 3; ++i) {
    const RecycleRecord& b = collector.records[i];
    EXPECT_EQ(collector.sids[i], "");
    EXPECT_EQ(b.format, RecordFormat::kUnknown);
    EXPECT_FALSE(b.has_fields);
    EXPECT_EQ(b.companion.kind, CompanionKind::kMissing);
    EXPECT_EQ(b.warnings, kWarnTruncated | kWarnRecovered);
  }
  EXPECT_EQ(collector.sources[2], "IMAGE:p2:/$OrphanFiles/$ICCC");
  const std::string err = tree.read("err");
  EXPECT_NE(err.find("Processing: /$OrphanFiles/$ICCC\n"), std::string::npos) << err;
}

}  // namespace

namespace {

// Notes every companion it is asked about, and fills its digest.
class NoteExaminer final : public CompanionExaminer {
 public:
  void examine(FileSystem* fs, DirRef dir, const char* name, RecycleRecord* record) override {
    EntryInfo info;
    names.emplace_back(name);
    found.push_back(fs->lookup(dir, name, &info));
    record->companion.md5 = "feed";
  }
  std::vector<std::string> names;
  std::vector<bool> found;
};

TEST_F(DecoderTest, TheExaminerSeesEveryCompanionThatIsThereBeforeTheRecordIsWritten) {
  fs.add_file("bin/$IAAA.txt", index_v2(1, kDeleted, u"C:\\a.txt"));
  fs.add_file("bin/$RAAA.txt", "a");
  fs.add_file("bin/$IBBB.txt", index_v2(1, kDeleted, u"C:\\b.txt"));  // no companion
  fs.add_file("bin/$ICCC", index_v2(1, kDeleted, u"C:\\c"));
  fs.add_directory("bin/$RCCC");
  NoteExaminer examiner;
  DecoderSettings settings;
  settings.run_start = kRunStart;
  const FileHandle progress = open_output_device(tree.path("err").c_str(), true);
  IndexDecoder decoder(&fs, &collector, progress, settings);
  decoder.set_examiner(&examiner);
  std::string error;
  const DirRef d = fs.open_directory("bin", &error);
  ASSERT_NE(d, kNoDir) << error;
  for (const char* name : {"$IAAA.txt", "$IBBB.txt", "$ICCC"})
    decoder.decode(d, "bin/", name, EntryKind::kUnknown);
  fs.close_directory(d);
  close_file(progress);
  EXPECT_EQ(examiner.names, (std::vector<std::string>{"$RAAA.txt", "$RCCC"}));
  EXPECT_EQ(examiner.found, (std::vector<bool>{true, true}));
  ASSERT_EQ(collector.records.size(), 3u);
  EXPECT_EQ(collector.records[0].companion.md5, "feed");
  EXPECT_EQ(collector.records[1].companion.md5, "");
  EXPECT_EQ(collector.records[2].companion.md5, "feed");
}

}  // namespace
