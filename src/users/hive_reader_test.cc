#include "users/hive_reader.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/temp_dir_test.h"
#include "users/test_hives.h"

namespace {

using test_hives::hivexget;
using test_hives::quoted;
using test_hives::read_file;
using test_hives::run;
using test_hives::write_file;

using NameMap = std::map<std::string, std::string>;

NameMap as_map(const HiveNames& names) {
  NameMap map;
  for (const SidName& n : names.names) map.emplace(n.sid, n.name);
  return map;
}

const NameMap kSamAccounts = {
    {std::string(test_hives::kMachineSid) + "-500", "Administrator"},
    {std::string(test_hives::kMachineSid) + "-501", "Guest"},
    {std::string(test_hives::kMachineSid) + "-1000", "Preston"},
};

// The open descriptors of this process.
size_t open_descriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

class HiveReader : public testing::Test {
 protected:
  void SetUp() override {
    if (!kHiveSupport) GTEST_SKIP() << "this build reads no hives";
  }
  // The samples are only ever read.
  void TearDown() override {
    for (const auto& [path, stamp] : stamps_) EXPECT_EQ(test_hives::stamp_of(path), stamp) << path << " changed";
  }
  void keep(const std::string& path) { stamps_[path] = test_hives::stamp_of(path); }

  TempDir tmp_;
  std::map<std::string, test_hives::FileStamp> stamps_;
};

TEST(HiveSupport, ABuildWithoutHivexRefusesEveryHive) {
  if (kHiveSupport) GTEST_SKIP() << "this build reads hives";
  HiveNames names;
  const HiveStatus status = read_hive_file("/no/such/SAM", &names);
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(status.message(), "Can't read registry hive /no/such/SAM: Registry hives are not supported by this build");
  HiveCopy copy;
  std::string reason;
  EXPECT_FALSE(copy.begin(&reason));
  EXPECT_EQ(reason, kHiveUnsupportedMessage);
  EXPECT_FALSE(hive_library_loaded());
}

TEST_F(HiveReader, TheSamSamplesLocalAccountsAsHivexgetShowsThem) {
  NEED_HIVE_TOOLS("hivexget hivexsh");
  const std::string sam = test_hives::sam_sample();
  keep(sam);
  HiveNames names;
  const HiveStatus status = read_hive_file(sam, &names);
  ASSERT_TRUE(status.ok()) << status.message();
  EXPECT_EQ(names.kind, HiveKind::kSam);
  EXPECT_EQ(as_map(names), kSamAccounts);
  EXPECT_EQ(names.names.size(), 3u);

  // The same, from hivex's own tools: the machine is the binary SID that
  // ends V, each RID the type of the default value of Names\<name>.
  const std::string v = hivexget(sam, "SAM\\Domains\\Account", "V");
  ASSERT_GE(v.size(), 24u);
  const auto* tail = reinterpret_cast<const unsigned char*>(v.data() + v.size() - 12);
  std::string machine = "S-1-5-21";
  for (int i = 0; i < 3; ++i) {
    const uint32_t sub = tail[4 * i] | tail[4 * i + 1] << 8 | tail[4 * i + 2] << 16 | uint32_t{tail[4 * i + 3]} << 24;
    machine += "-" + std::to_string(sub);
  }
  EXPECT_EQ(machine, test_hives::kMachineSid);
  NameMap shown;
  const std::string names_key = "SAM\\Domains\\Account\\Users\\Names";
  for (const std::string& account : test_hives::hivexsh_keys(sam, names_key)) {
    std::string out;
    run("hivexget " + quoted(sam) + " " + quoted(names_key + "\\" + account), &out);
    ASSERT_EQ(out.rfind("\"@\"=hex(", 0), 0u) << out;
    shown[machine + "-" + std::to_string(std::stoul(out.substr(8)))] = account;
  }
  EXPECT_EQ(shown, as_map(names));
}

TEST_F(HiveReader, AHiveCopiedIntoMemoryReadsAsTheFile) {
  NEED_HIVE_TOOLS("");
  const std::string bytes = read_file(test_hives::sam_sample());
  keep(test_hives::sam_sample());
  HiveNames names;
  HiveStatus status = read_hive_bytes("IMAGE:p2:/Windows/System32/config/SAM", bytes, &names);
  ASSERT_TRUE(status.ok()) << status.message();
  EXPECT_EQ(names.kind, HiveKind::kSam);
  EXPECT_EQ(as_map(names), kSamAccounts);
  // Piece by piece, as it is read from an image.
  HiveCopy copy;
  std::string reason;
  ASSERT_TRUE(copy.begin(&reason)) << reason;
  // The copy is in memory, in no file system.
  char target[256] = {};
  ASSERT_GT(readlink(("/proc/self/fd/" + std::to_string(copy.file())).c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target).rfind("/memfd:binsift-hive", 0), 0u) << target;
  for (size_t at = 0; at < bytes.size(); at += 1000) {
    ASSERT_TRUE(copy.append(bytes.data() + at, std::min<size_t>(1000, bytes.size() - at), &reason)) << reason;
  }
  HiveNames again;
  status = read_hive_copy("IMAGE:p2:/Windows/System32/config/SAM", std::move(copy), &again);
  ASSERT_TRUE(status.ok()) << status.message();
  EXPECT_EQ(as_map(again), kSamAccounts);
  // A copy never begun, or appended to before it was begun.
  HiveCopy none;
  EXPECT_FALSE(none.append("regf", 4, &reason));
  status = read_hive_copy("label", std::move(none), &again);
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(status.hive(), "label");
  EXPECT_TRUE(again.names.empty());
}

TEST_F(HiveReader, ReadingLeavesNoDescriptorOpen) {
  NEED_HIVE_TOOLS("");
  const std::string cut = tmp_ / "SAM";
  test_hives::truncated_copy(test_hives::sam_sample(), cut, 8192);
  HiveNames names;
  (void)read_hive_file(test_hives::sam_sample(), &names);  // hivex loaded
  const size_t before = open_descriptors();
  for (const std::string& path : {test_hives::sam_sample(), cut, tmp_.path(), tmp_ / "missing"}) {
    (void)read_hive_file(path, &names);
    EXPECT_EQ(open_descriptors(), before) << path;
  }
  (void)read_hive_bytes("bytes", read_file(cut), &names);
  EXPECT_EQ(open_descriptors(), before);
}

// A SOFTWARE hive with a ProfileList, as tests/e2e/hives.py writes it.
class SoftwareHive : public HiveReader {
 protected:
  std::string build(const std::vector<std::pair<std::string, std::string>>& profiles) {
    const std::string path = tmp_ / "SOFTWARE";
    if (!test_hives::software_with_profiles(path, profiles)) ADD_FAILURE() << "hives.py did not write " << path;
    return path;
  }
};

TEST_F(SoftwareHive, EachProfileIsNamedByItsFolderAsHivexgetShowsIt) {
  NEED_HIVE_TOOLS("hivexget hivexsh python3");
  keep(test_hives::software_sample());
  const std::vector<std::pair<std::string, std::string>> profiles = {
      {"S-1-5-18", "%systemroot%\\system32\\config\\systemprofile"},
      {"S-1-5-21-1760460187-1592185332-161725925-1000", "C:\\Users\\Preston.EXAMINER-PC"},
      {"S-1-5-21-3623811015-3361044348-30300820-1001", "C:\\Users\\J\xc3\xbcrgen"},
      {"S-1-5-21-3623811015-3361044348-30300820-1002", "C:\\Users\\\xe5\xa0\xb1\xe5\x91\x8a\\"},
      {"S-1-5-21-3623811015-3361044348-30300820-1003", "D:\\Profiles\\x,y=z \"q\""},
  };
  const std::string hive = build(profiles);
  HiveNames names;
  const HiveStatus status = read_hive_file(hive, &names);
  ASSERT_TRUE(status.ok()) << status.message();
  EXPECT_EQ(names.kind, HiveKind::kSoftware);
  EXPECT_EQ(as_map(names), (NameMap{{"S-1-5-18", "systemprofile"},
                                    {"S-1-5-21-1760460187-1592185332-161725925-1000", "Preston.EXAMINER-PC"},
                                    {"S-1-5-21-3623811015-3361044348-30300820-1001", "J\xc3\xbcrgen"},
                                    {"S-1-5-21-3623811015-3361044348-30300820-1002", "\xe5\xa0\xb1\xe5\x91\x8a"},
                                    {"S-1-5-21-3623811015-3361044348-30300820-1003", "x,y=z \"q\""}}));
  // hivexget shows each path; its last component is the name.
  const std::string list = "Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
  NameMap shown;
  for (const std::string& sid : test_hives::hivexsh_keys(hive, list)) {
    std::string path = hivexget(hive, list + "\\" + sid, "ProfileImagePath");
    ASSERT_FALSE(path.empty()) << sid;
    path.pop_back();  // its line end
    while (!path.empty() && path.back() == '\\') path.pop_back();
    shown[sid] = path.substr(path.find_last_of('\\') + 1);
  }
  EXPECT_EQ(shown, as_map(names));
}

TEST_F(SoftwareHive, RegSzPathsCountAndOtherEntriesNameNobody) {
  NEED_HIVE_TOOLS("hivexsh");
  const std::string hive = tmp_ / "SOFTWARE";
  write_file(hive, read_file(test_hives::software_sample()));
  // A REG_SZ path; a key Windows set aside as SID.bak; a profile without a
  // path, one whose path is a number, and an empty path; names of the
  // value and the keys in another case.
  ASSERT_TRUE(test_hives::hivexsh_write(hive,
                                        "cd \\Microsoft\\Windows NT\\CurrentVersion\n"
                                        "add ProfileList\n"
                                        "cd ProfileList\n"
                                        "add S-1-5-21-1-2-3-1001\ncd S-1-5-21-1-2-3-1001\n"
                                        "setval 1\nProfileImagePath\nstring:C:\\Users\\carol\ncd ..\n"
                                        "add S-1-5-21-1-2-3-1001.bak\ncd S-1-5-21-1-2-3-1001.bak\n"
                                        "setval 1\nProfileImagePath\nstring:C:\\Users\\old\ncd ..\n"
                                        "add S-1-5-21-1-2-3-1002\ncd S-1-5-21-1-2-3-1002\n"
                                        "setval 1\nFlags\ndword:00000000\ncd ..\n"
                                        "add S-1-5-21-1-2-3-1003\ncd S-1-5-21-1-2-3-1003\n"
                                        "setval 1\nProfileImagePath\ndword:00000005\ncd ..\n"
                                        "add S-1-5-21-1-2-3-1004\ncd S-1-5-21-1-2-3-1004\n"
                                        "setval 1\nProfileImagePath\nstring:\ncd ..\n"
                                        "add s-1-5-21-1-2-3-1005\ncd s-1-5-21-1-2-3-1005\n"
                                        "setval 1\nprofileimagepath\nexpandstring:C:\\Users\\dan\ncd ..\n"
                                        "commit\n"));
  HiveNames names;
  const HiveStatus status = read_hive_file(hive, &names);
  ASSERT_TRUE(status.ok()) << status.message();
  EXPECT_EQ(names.kind, HiveKind::kSoftware);
  EXPECT_EQ(as_map(names), (NameMap{{"S-1-5-21-1-2-3-1001", "carol"}, {"s-1-5-21-1-2-3-1005", "dan"}}));
}

TEST_F(SoftwareHive, TheKindIsToldByTheKeys) {
  NEED_HIVE_TOOLS("hivexsh");
  keep(test_hives::software_sample());
  // The partial sample has no ProfileList: a SOFTWARE hive that names
  // nobody.
  HiveNames names;
  HiveStatus status = read_hive_file(test_hives::software_sample(), &names);
  ASSERT_TRUE(status.ok()) << status.message();
  EXPECT_EQ(names.kind, HiveKind::kSoftware);
  EXPECT_TRUE(names.names.empty());
  // Without Microsoft\Windows NT\CurrentVersion it is neither.
  const std::string other = tmp_ / "other";
  write_file(other, read_file(test_hives::software_sample()));
  ASSERT_TRUE(test_hives::hivexsh_write(other, "cd \\Microsoft\\Windows NT\\CurrentVersion\ndel\ncommit\n"));
  status = read_hive_file(other, &names);
  ASSERT_TRUE(status.ok()) << status.message();
  EXPECT_EQ(names.kind, HiveKind::kOther);
  EXPECT_TRUE(names.names.empty());
  // A SAM hive is a SAM by SAM\Domains\Account, whatever its file's name.
  const std::string sam = tmp_ / "SOFTWARE";
  write_file(sam, read_file(test_hives::sam_sample()));
  status = read_hive_file(sam, &names);
  ASSERT_TRUE(status.ok()) << status.message();
  EXPECT_EQ(names.kind, HiveKind::kSam);
}

TEST_F(HiveReader, ASamWithoutItsMachineSidIsNamed) {
  NEED_HIVE_TOOLS("hivexsh");
  const std::string sam = tmp_ / "SAM";
  write_file(sam, read_file(test_hives::sam_sample()));
  ASSERT_TRUE(test_hives::hivexsh_write(sam, "cd \\SAM\\Domains\\Account\nsetval 1\nV\nhex:3:00,01,02\ncommit\n"));
  HiveNames names;
  const HiveStatus status = read_hive_file(sam, &names);
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(status.message(), "Can't read registry hive " + sam +
                                  ": the value V of SAM\\Domains\\Account does not end with the machine's SID");
  EXPECT_EQ(names.kind, HiveKind::kSam);
  EXPECT_TRUE(names.names.empty());
}

TEST_F(HiveReader, ATruncatedHiveIsNamedWithHivexsReason) {
  NEED_HIVE_TOOLS("hivexget");
  keep(test_hives::sam_sample());
  const std::string cut = tmp_ / "SAM";
  // Too short to open: hivex says so at once, as hivexget does.
  test_hives::truncated_copy(test_hives::sam_sample(), cut, 4096);
  HiveNames names;
  HiveStatus status = read_hive_file(cut, &names);
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(status.hive(), cut);
  EXPECT_EQ(status.reason(), "hivex cannot open it as a registry hive (Invalid argument)");
  int code = 0;
  (void)hivexget(cut, "SAM\\Domains\\Account", "V", &code);
  EXPECT_EQ(code, 1);
  // Long enough to open: the keys past the cut cannot be read.
  test_hives::truncated_copy(test_hives::sam_sample(), cut, 8192);
  status = read_hive_file(cut, &names);
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(status.message(),
            "Can't read registry hive " + cut + ": the subkeys of SAM cannot be read (Bad address)");
  EXPECT_TRUE(names.names.empty());
  (void)hivexget(cut, "SAM\\Domains\\Account", "V", &code);
  EXPECT_EQ(code, 1);
}

TEST_F(HiveReader, EveryCutOfTheSamplesIsReadOrNamed) {
  NEED_HIVE_TOOLS("");
  for (const std::string& sample : {test_hives::sam_sample(), test_hives::software_sample()}) {
    keep(sample);
    const std::string bytes = read_file(sample);
    const bool sam = sample == test_hives::sam_sample();
    HiveNames whole;
    ASSERT_TRUE(read_hive_bytes("whole", bytes, &whole).ok()) << sample;
    size_t failed = 0;
    for (size_t size = 0; size < bytes.size(); size += sam ? 4096 : 65536) {
      HiveNames names;
      const HiveStatus status = read_hive_bytes("cut", std::string_view(bytes).substr(0, size), &names);
      if (status.ok()) {
        // Only what nothing refers to was cut off.
        EXPECT_EQ(names.kind, whole.kind) << size;
        EXPECT_EQ(as_map(names), as_map(whole)) << size;
        continue;
      }
      ++failed;
      EXPECT_EQ(status.hive(), "cut");
      EXPECT_FALSE(status.reason().empty());
      // What was read before the failure is right.
      for (const SidName& n : names.names) {
        const auto it = kSamAccounts.find(n.sid);
        ASSERT_NE(it, kSamAccounts.end()) << n.sid;
        EXPECT_EQ(it->second, n.name);
      }
    }
    EXPECT_GT(failed, 2u) << sample;
  }
}

TEST_F(HiveReader, WhatIsNotAHiveIsNamedWithTheReason) {
  NEED_HIVE_TOOLS("");
  HiveNames names;
  const auto reason_for = [&](const std::string& path) {
    const HiveStatus status = read_hive_file(path, &names);
    EXPECT_FALSE(status.ok()) << path;
    EXPECT_EQ(status.hive(), path);
    EXPECT_EQ(names.kind, HiveKind::kOther);
    return status.reason();
  };
  const std::string text = tmp_ / "notes.txt";
  write_file(text, std::string(20000, 'x'));
  EXPECT_EQ(reason_for(text), "it is not a registry hive (it does not begin with \"regf\")");
  const std::string empty = tmp_ / "empty";
  write_file(empty, "");
  EXPECT_EQ(reason_for(empty), "it is not a registry hive (it does not begin with \"regf\")");
  EXPECT_EQ(reason_for(tmp_ / "missing"), "No such file or directory");
  EXPECT_EQ(reason_for(tmp_.path()), "not a regular file");
  // A FIFO is not waited on.
  const std::string fifo = tmp_ / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(reason_for(fifo), "not a regular file");
  // A header of a hive and nothing of what follows it.
  const std::string header = tmp_ / "header";
  write_file(header, read_file(test_hives::sam_sample()).substr(0, 4096) + std::string(8192, '\0'));
  EXPECT_EQ(reason_for(header), "hivex cannot open it as a registry hive (Operation not supported)");
  // Bytes in memory go to hivex as they are.
  HiveStatus status = read_hive_bytes("text", std::string(20000, 'x'), &names);
  EXPECT_EQ(status.reason(), "hivex cannot open it as a registry hive (Operation not supported)");
  status = read_hive_bytes("short", "regf", &names);
  EXPECT_EQ(status.reason(), "hivex cannot open it as a registry hive (Invalid argument)");
}

// Runs in a process of its own (gtest's threadsafe death tests start the
// test program again), so that nothing another test did has loaded hivex.
TEST(HiveLibrary, IsLoadedOnlyWhenAHiveIsRead) {
  if (!kHiveSupport) GTEST_SKIP() << "this build reads no hives";
  NEED_HIVE_TOOLS("");
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto loaded = [] { return dlopen(kHiveLibrary, RTLD_LAZY | RTLD_NOLOAD) != nullptr; };
  EXPECT_EXIT(
      {
        UserNames users;
        HiveNames names;
        users.add(names);
        bool fine = users.name_of("S-1-5-18") == "SYSTEM" && !hive_library_loaded() && !loaded();
        // Files refused before they reach the library do not load it.
        fine = fine && !read_hive_file(BINSIFT_SOURCE_DIR "/README.md", &names).ok() &&
               !read_hive_file("/no/such/hive", &names).ok();
        fine = fine && !hive_library_loaded() && !loaded();
        // The first hive does.
        fine = fine && read_hive_file(test_hives::sam_sample(), &names).ok() && hive_library_loaded() && loaded();
        std::_Exit(fine ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
