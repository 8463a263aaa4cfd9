// The evidence-image file system, on images built from the real sample
// index files when the test starts (tests/e2e/images.py: NTFS through an
// ntfs-3g mount, FAT32 through mtools, a partitioned disk, an E01 copy).
// A test skips when this machine cannot build its image.
#include "image/evidence_image.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "image/test_images.h"

namespace {

const char kSid1001[] = "S-1-5-21-3623811015-3361044348-30300820-1001";
const char kSid1002[] = "S-1-5-21-3623811015-3361044348-30300820-1002";
const char kSid1004[] = "S-1-5-21-3623811015-3361044348-30300820-1004";

// FILETIME of a UTC calendar time plus `ticks` of 100 ns, as the image
// builder writes the companions' times.
FileTime filetime(int year, int month, int day, int hour, int minute, int second,
                  uint64_t ticks = 0) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  const int64_t seconds = static_cast<int64_t>(timegm(&tm));
  return static_cast<FileTime>(seconds + 11644473600LL) * 10000000ULL + ticks;
}

struct Listing : DirEntryVisitor {
  std::vector<std::string> names;
  std::map<std::string, EntryKind> kinds;
  std::set<std::string> directories;
  bool visit(const DirEntry& e) override {
    std::string name(e.name, e.name_length);
    names.push_back(name);
    kinds[name] = e.kind;
    if (e.directory) directories.insert(name);
    return true;
  }
  std::set<std::string> set() const { return {names.begin(), names.end()}; }
};

std::set<std::string> list(ImageVolume* v, DirRef dir, const char* pattern = "*") {
  Listing l;
  std::string error;
  EXPECT_TRUE(v->list_directory(dir, pattern, &l, &error)) << error;
  std::set<std::string> names = l.set();
  names.erase(".");
  names.erase("..");
  return names;
}

std::set<std::string> sample_names(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(samples_dir() + "/" + folder)) {
    names.insert(e.path().filename().string());
  }
  return names;
}

std::string read_all(ImageVolume* v, FileRef f) {
  std::string out;
  char buffer[1000];
  size_t got;
  while ((got = v->read_file(f, buffer, sizeof buffer)) > 0) out.append(buffer, got);
  return out;
}

std::unique_ptr<OpenedImage> open_image(const std::string& path) {
  std::string error;
  auto image = open_image_at(path, &error);
  EXPECT_NE(image, nullptr) << error;
  return image;
}

// Every index file and companion of one sample folder, read from the
// image's copy of it, has the sample's bytes.
void expect_folder_bytes(ImageVolume* v, const std::string& image_folder,
                         const std::string& sample_folder) {
  std::string error;
  const DirRef dir = v->open_directory(image_folder.c_str(), &error);
  ASSERT_NE(dir, kNoDir) << error;
  for (const std::string& name : sample_names(sample_folder)) {
    const std::string sample = read_whole(samples_dir() + "/" + sample_folder + "/" + name);
    const FileRef f = v->open_file(dir, name.c_str(), EntryKind::kRegular);
    if (name == "$RKEGS1G") {  // a folder in the images
      EXPECT_EQ(f, kNoFile);
      continue;
    }
    ASSERT_NE(f, kNoFile) << name;
    EXPECT_EQ(read_all(v, f), sample) << name;
    v->close_file(f);
  }
  v->close_directory(dir);
}

TEST(ImageFileSystem, BuildsWithoutImagesRefuseThem) {
  if (kImageSupport) GTEST_SKIP() << "this build reads images";
  std::string error;
  RecordedMessages messages;
  EXPECT_EQ(EvidenceImage::open("/nonexistent.img", &messages, &error), nullptr);
  EXPECT_EQ(error, "Evidence images are not supported by this build");
}

TEST(ImageFileSystem, NtfsVolumeAndItsBins) {
  NEED_IMAGE(path, "ntfs");
  auto image = open_image(path);
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(image->image->volume_count(), 1u);
  ImageVolume* v = image->first();
  ASSERT_NE(v, nullptr);
  EXPECT_TRUE(image->messages.problems.empty());
  EXPECT_TRUE(image->messages.notes.empty());
  EXPECT_EQ(v->name(), "p0");
  EXPECT_EQ(v->source_prefix(), "IMAGE:p0:");
  EXPECT_EQ(v->kind(), FileSystemKind::kNtfs);
  EXPECT_EQ(v->volume_kind("/"), FileSystemKind::kNtfs);
  EXPECT_STREQ(v->type_name(), "ntfs");
  EXPECT_TRUE(v->can_carve());
  EXPECT_FALSE(v->search_per_pattern());
  EXPECT_GE(v->open_directory_budget(), 1000u);
  std::vector<std::string> bins;
  std::string error;
  ASSERT_TRUE(v->find_bin_folders(&bins, &error)) << error;
  EXPECT_EQ(bins, (std::vector<std::string>{"$Recycle.Bin", "RECYCLER"}));
}

TEST(ImageFileSystem, NtfsRootShowsWhatTheSystemShows) {
  NEED_IMAGE(path, "ntfs");
  auto image = open_image(path);
  ImageVolume* v = image->first();
  ASSERT_NE(v, nullptr);
  std::string error;
  const DirRef root = v->open_directory("/", &error);
  ASSERT_NE(root, kNoDir) << error;
  // No metadata files ($MFT, $Bitmap, ...) and no $OrphanFiles.
  EXPECT_EQ(list(v, root), (std::set<std::string>{"$Recycle.Bin", "RECYCLER", "Users"}));
  Listing all;
  ASSERT_TRUE(v->list_directory(root, "*", &all, &error));
  EXPECT_EQ(all.kinds["$Recycle.Bin"], EntryKind::kDirectory);
  v->close_directory(root);
}

TEST(ImageFileSystem, AJunctionIsALinkAndIsNeverEntered) {
  NEED_IMAGE(path, "ntfs");
  auto image = open_image(path);
  ImageVolume* v = image->first();
  ASSERT_NE(v, nullptr);
  std::string error;
  const DirRef users = v->open_directory("/Users", &error);
  ASSERT_NE(users, kNoDir) << error;
  Listing l;
  ASSERT_TRUE(v->list_directory(users, "*", &l, &error)) << error;
  EXPECT_EQ(l.kinds["All Users"], EntryKind::kLink);
  EXPECT_EQ(l.kinds["readme.txt"], EntryKind::kRegular);
  // Shown as a directory, as Windows shows it, so that it is not taken for
  // a file either.
  EXPECT_EQ(l.directories.count("All Users"), 1u);
  EXPECT_EQ(l.directories.count("readme.txt"), 0u);
  EXPECT_EQ(v->open_subdirectory(users, "All Users", &error), kNoDir);
  EXPECT_EQ(error, "Not a directory");
  EXPECT_EQ(v->open_directory("/Users/All Users", &error), kNoDir);
  EntryInfo info;
  ASSERT_TRUE(v->lookup(users, "All Users", &info));
  EXPECT_EQ(info.kind, EntryKind::kLink);
  v->close_directory(users);
}

TEST(ImageFileSystem, NtfsFoldersHoldTheSampleFilesByteForByte) {
  NEED_IMAGE(path, "ntfs");
  auto image = open_image(path);
  ImageVolume* v = image->first();
  ASSERT_NE(v, nullptr);
  std::string error;
  const std::string folder = std::string("/$Recycle.Bin/") + kSid1001;
  const DirRef dir = v->open_directory(folder.c_str(), &error);
  ASSERT_NE(dir, kNoDir) << error;
  EXPECT_EQ(list(v, dir), sample_names("rifiuti2/dir-sample1"));
  Listing l;
  ASSERT_TRUE(v->list_directory(dir, "*", &l, &error));
  EXPECT_EQ(l.kinds["$I1IS2OK.txt"], EntryKind::kRegular);
  EXPECT_EQ(l.directories, (std::set<std::string>{".", ".."}));
  v->close_directory(dir);
  expect_folder_bytes(v, folder, "rifiuti2/dir-sample1");
  expect_folder_bytes(v, std::string("/$Recycle.Bin/") + kSid1002, "rifiuti2/dir-win10-01");
}

TEST(ImageFileSystem, PatternsMatchAsTheWindowsSearchDoes) {
  NEED_IMAGE(path, "ntfs");
  auto image = open_image(path);
  ImageVolume* v = image->first();
  ASSERT_NE(v, nullptr);
  std::string error;
  const DirRef dir =
      v->open_directory((std::string("$Recycle.Bin/") + kSid1002).c_str(), &error);
  ASSERT_NE(dir, kNoDir) << error;
  const std::set<std::string> index_files = {"$I7R52EG.txt", "$IBBFODN",     "$IDNLPD4.exe",
                                             "$IHO61YT",     "$IKEGS1G",     "$IQ7LAXT.png",
                                             "$IROMPZ0.exe"};
  EXPECT_EQ(list(v, dir, "$I*.*"), index_files);
  EXPECT_EQ(list(v, dir, "$i*.*"), index_files);  // case ignored
  EXPECT_EQ(list(v, dir, "*.exe"), (std::set<std::string>{"$IDNLPD4.exe", "$IROMPZ0.exe"}));
  // "*." selects names without a dot.
  EXPECT_EQ(list(v, dir, "*."),
            (std::set<std::string>{"$IBBFODN", "$IHO61YT", "$IKEGS1G", "$RKEGS1G"}));
  EXPECT_EQ(list(v, dir, "$R???????.txt"), (std::set<std::string>{"$R7R52EG.txt"}));
  EXPECT_EQ(list(v, dir, "desktop.ini"), (std::set<std::string>{"desktop.ini"}));
  EXPECT_EQ(list(v, dir, "nothing*"), std::set<std::string>{});
  v->close_directory(dir);
}

TEST(ImageFileSystem, PathsAreFoundWhateverTheirCaseAndMissingOnesAreTold) {
  NEED_IMAGE(path, "ntfs");
  auto image = open_image(path);
  ImageVolume* v = image->first();
  ASSERT_NE(v, nullptr);
  std::string error;
  const std::string upper = std::string("/$RECYCLE.BIN/s-1-5-21-3623811015-3361044348-30300820-1001/");
  const DirRef dir = v->open_directory(upper.c_str(), &error);
  ASSERT_NE(dir, kNoDir) << error;
  EXPECT_EQ(list(v, dir).size(), sample_names("rifiuti2/dir-sample1").size());
  v->close_directory(dir);

  EXPECT_EQ(v->open_directory("/$Recycle.Bin/S-1-nobody", &error), kNoDir);
  EXPECT_TRUE(v->last_open_missing());
  EXPECT_EQ(error, "No such file or directory");
  // A file is not a folder to walk.
  EXPECT_EQ(v->open_directory("/Users/readme.txt", &error), kNoDir);
  EXPECT_TRUE(v->last_open_missing());
  EXPECT_EQ(error, "Not a directory");
  // "." and ".." are folded.
  const DirRef again = v->open_directory("/Users/../$Recycle.Bin/./", &error);
  ASSERT_NE(again, kNoDir) << error;
  EXPECT_FALSE(v->last_open_missing());
  EXPECT_EQ(list(v, again), (std::set<std::string>{kSid1001, kSid1002,
                                                    "S-1-5-21-3623811015-3361044348-30300820-1003"}));
  v->close_directory(again);
}

TEST(ImageFileSystem, SubdirectoriesParentsAndIdentities) {
  NEED_IMAGE(path, "ntfs");
  auto image = open_image(path);
  ImageVolume* v = image->first();
  ASSERT_NE(v, nullptr);
  std::string error;
  const DirRef bin = v->open_directory("/$Recycle.Bin", &error);
  ASSERT_NE(bin, kNoDir) << error;
  const DirRef user = v->open_subdirectory(bin, kSid1002, &error);
  ASSERT_NE(user, kNoDir) << error;
  const DirRef folder = v->open_subdirectory(user, "$RKEGS1G", &error);
  ASSERT_NE(folder, kNoDir) << error;
  EXPECT_EQ(list(v, folder), (std::set<std::string>{"notes.txt"}));
  // Only real folders are entered.
  EXPECT_EQ(v->open_subdirectory(user, "$I7R52EG.txt", &error), kNoDir);
  EXPECT_EQ(error, "Not a directory");
  EXPECT_EQ(v->open_subdirectory(user, "$Rnothing", &error), kNoDir);

  DirIdentity id_user, id_folder, id_parent;
  ASSERT_TRUE(v->identify_directory(user, &id_user));
  ASSERT_TRUE(v->identify_directory(folder, &id_folder));
  EXPECT_NE(id_user, id_folder);
  const DirRef parent = v->open_parent(folder, &error);
  ASSERT_NE(parent, kNoDir) << error;
  ASSERT_TRUE(v->identify_directory(parent, &id_parent));
  EXPECT_EQ(id_parent, id_user);
  // The folder opened again from below lists what it listed before.
  const std::set<std::string> first = list(v, user);
  EXPECT_EQ(first, sample_names("rifiuti2/dir-win10-01"));
  EXPECT_EQ(list(v, parent), first);
  v->close_directory(parent);
  v->close_directory(folder);
  v->close_directory(user);
  v->close_directory(bin);
  EXPECT_FALSE(v->identify_directory(folder, &id_folder));  // closed
}

// The size field of an index file the names image holds: the number it
// was made with (images.py NAMES_FILES).
int64_t index_number(ImageVolume* v, DirRef dir, const char* name) {
  const FileRef f = v->open_file(dir, name, EntryKind::kRegular);
  if (f == kNoFile) return -1;
  const std::string data = read_all(v, f);
  v->close_file(f);
  if (data.size() < 16) return -2;
  int64_t n = 0;
  for (int i = 15; i >= 8; --i) n = n << 8 | static_cast<unsigned char>(data[i]);
  return n;
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

TEST(ImageFileSystem, EachEntryIsListedOnceWhereItsOwnMetadataPlacesIt) {
  NEED_IMAGE(path, "ntfs-names");
  const std::string bytes_before = read_whole(path);
  struct stat st_before;
  ASSERT_EQ(stat(path.c_str(), &st_before), 0);
  auto image = open_image(path);
  ImageVolume* v = image->first();
  ASSERT_NE(v, nullptr);
  const std::vector<std::string>& told = image->messages.problems;
  const std::string context = ": image " + path + ", partition p0: ";
  const std::string bin = "/$Recycle.Bin/";
  const std::string sid1003 = "S-1-5-21-3623811015-3361044348-30300820-1003";

  // The root's index names SID 1004's folder $Recycle.Bin too; the name
  // is the bin's, whose own metadata gives it, once.
  std::vector<std::string> bins;
  std::string error;
  ASSERT_TRUE(v->find_bin_folders(&bins, &error)) << error;
  EXPECT_EQ(bins, std::vector<std::string>{"$Recycle.Bin"});
  ASSERT_EQ(told.size(), 1u);
  EXPECT_TRUE(starts_with(told[0], "Can't read entry /$Recycle.Bin" + context +
                                       "the folder lists this name for MFT entry "))
      << told[0];
  EXPECT_NE(told[0].find(std::string(", whose own name is ") + kSid1004 + " in the folder of MFT entry "),
            std::string::npos) << told[0];
  EXPECT_NE(told[0].find(", whose own name this is, is read under it; MFT entry "), std::string::npos);
  const DirRef root = v->open_directory(bin.c_str(), &error);
  ASSERT_NE(root, kNoDir) << error;
  EXPECT_EQ(list(v, root), (std::set<std::string>{kSid1001, kSid1002, sid1003, kSid1004}));

  // SID 1001's index names the folder $RFOLDER $IBBBBBB.txt as well: the
  // name is the file's, the folder is listed under its own name, and both
  // are found; nothing is lost, nothing told.
  const DirRef u1 = v->open_subdirectory(root, kSid1001, &error);
  ASSERT_NE(u1, kNoDir) << error;
  Listing l1;
  ASSERT_TRUE(v->list_directory(u1, "*", &l1, &error));
  std::vector<std::string> names1 = l1.names;
  names1.erase(std::remove_if(names1.begin(), names1.end(),
                              [](const std::string& n) { return n == "." || n == ".."; }),
               names1.end());
  std::sort(names1.begin(), names1.end());
  const bool link_in_1001 = std::count(names1.begin(), names1.end(), "$ILINKED.txt") == 1;
  std::vector<std::string> expected1 = {"$IAAAAAA.txt", "$IBBBBBB.txt", "$RAAAAAA.txt", "$RFOLDER"};
  if (link_in_1001) expected1.insert(expected1.begin() + 2, "$ILINKED.txt");
  EXPECT_EQ(names1, expected1);
  EXPECT_EQ(l1.kinds["$IBBBBBB.txt"], EntryKind::kRegular);
  EXPECT_EQ(l1.directories.count("$IBBBBBB.txt"), 0u);
  EXPECT_EQ(l1.kinds["$RFOLDER"], EntryKind::kDirectory);
  EXPECT_EQ(index_number(v, u1, "$IBBBBBB.txt"), 1002);
  EntryInfo info;
  ASSERT_TRUE(v->lookup(u1, "$IBBBBBB.txt", &info));
  EXPECT_EQ(info.kind, EntryKind::kRegular);
  EXPECT_EQ(v->open_subdirectory(u1, "$IBBBBBB.txt", &error), kNoDir);
  EXPECT_EQ(error, "Not a directory");
  EXPECT_EQ(told.size(), link_in_1001 ? 1u : 2u);

  // SID 1002: $ICCCCCC.txt's own name is %ICCCCCC.txt, listed under that
  // name only, and the index's name told; a path that gives the index's
  // name still finds it.  The index entry that lost its name is the entry
  // listed under its own.
  const size_t before = told.size();
  const DirRef u2 = v->open_subdirectory(root, kSid1002, &error);
  ASSERT_NE(u2, kNoDir) << error;
  EXPECT_EQ(list(v, u2), (std::set<std::string>{"%ICCCCCC.txt", "$IEEEEEE.txt"}));
  ASSERT_EQ(told.size(), before + 1);
  EXPECT_TRUE(starts_with(told.back(), "Can't read entry " + bin + kSid1002 + "/$ICCCCCC.txt" +
                                           context + "the folder lists this name for MFT entry "))
      << told.back();
  EXPECT_NE(told.back().find(", whose own name is %ICCCCCC.txt; MFT entry "), std::string::npos);
  EXPECT_NE(told.back().find(" is read under its own name"), std::string::npos);
  EXPECT_EQ(index_number(v, u2, "%ICCCCCC.txt"), 1003);
  EXPECT_EQ(index_number(v, u2, "$ICCCCCC.txt"), 1003);
  EXPECT_EQ(index_number(v, u2, "$IEEEEEE.txt"), 1005);

  // SID 1003's index names SID 1001's $IAAAAAA.txt $IDDDDDD.txt: the name
  // is the file whose own it is; the other entry belongs to SID 1001.
  const DirRef u3 = v->open_subdirectory(root, sid1003.c_str(), &error);
  ASSERT_NE(u3, kNoDir) << error;
  EXPECT_EQ(list(v, u3), (std::set<std::string>{"$IDDDDDD.txt"}));
  EXPECT_EQ(index_number(v, u3, "$IDDDDDD.txt"), 1004);
  ASSERT_EQ(told.size(), before + 2);
  EXPECT_TRUE(starts_with(told.back(), "Can't read entry " + bin + sid1003 + "/$IDDDDDD.txt" +
                                           context + "the folder lists this name for MFT entry "))
      << told.back();
  EXPECT_NE(told.back().find(", whose own name is $IAAAAAA.txt in the folder of MFT entry "),
            std::string::npos);
  EXPECT_NE(told.back().find(" is read only where its own name places it"), std::string::npos);

  // The hard link: one entry, two names of its own in two folders, listed
  // under the first of them.
  const DirRef u4 = v->open_subdirectory(root, kSid1004, &error);
  ASSERT_NE(u4, kNoDir) << error;
  const std::set<std::string> names4 = list(v, u4);
  EXPECT_EQ(names4.count("$ILINKED.txt"), link_in_1001 ? 0u : 1u);
  EXPECT_EQ(names4.count("$IFFFFFF.txt"), 1u);
  EXPECT_EQ(names4.size(), link_in_1001 ? 1u : 2u);
  ASSERT_EQ(told.size(), 4u);
  const std::string second = bin + (link_in_1001 ? kSid1004 : kSid1001) + "/$ILINKED.txt";
  size_t link_message = 0;
  while (link_message < told.size() && !starts_with(told[link_message], "Can't read entry " + second))
    ++link_message;
  ASSERT_LT(link_message, told.size());
  EXPECT_NE(told[link_message].find(", whose first name is $ILINKED.txt in the folder of MFT entry "),
            std::string::npos) << told[link_message];
  EXPECT_EQ(index_number(v, u4, "$ILINKED.txt"), 1009);

  // Each folder is listed once per volume: another handle on SID 1001
  // lists nothing more, but the walk may list a folder it opened again
  // from below.
  const DirRef again = v->open_subdirectory(root, kSid1001, &error);
  ASSERT_NE(again, kNoDir) << error;
  EXPECT_EQ(list(v, again), std::set<std::string>());
  EXPECT_EQ(index_number(v, again, "$IAAAAAA.txt"), 1001);  // and finds them all the same
  const DirRef inner = v->open_subdirectory(u1, "$RFOLDER", &error);
  ASSERT_NE(inner, kNoDir) << error;
  EXPECT_EQ(list(v, inner), (std::set<std::string>{"inner.txt"}));
  const DirRef parent = v->open_parent(inner, &error);
  ASSERT_NE(parent, kNoDir) << error;
  EXPECT_EQ(list(v, parent), std::set<std::string>(expected1.begin(), expected1.end()));
  EXPECT_EQ(told.size(), 4u);
  for (DirRef d : {parent, inner, again, u4, u3, u2, u1, root}) v->close_directory(d);
  image.reset();
  // The image keeps every byte and its modification time.
  struct stat st_after;
  ASSERT_EQ(stat(path.c_str(), &st_after), 0);
  EXPECT_EQ(st_after.st_mtim.tv_sec, st_before.st_mtim.tv_sec);
  EXPECT_EQ(st_after.st_mtim.tv_nsec, st_before.st_mtim.tv_nsec);
  EXPECT_TRUE(read_whole(path) == bytes_before);
}

TEST(ImageFileSystem, CompanionsCarryTheirStandardInformationTimes) {
  NEED_IMAGE(path, "ntfs");
  auto image = open_image(path);
  ImageVolume* v = image->first();
  ASSERT_NE(v, nullptr);
  std::string error;
  const DirRef dir =
      v->open_directory((std::string("/$Recycle.Bin/") + kSid1001).c_str(), &error);
  ASSERT_NE(dir, kNoDir) << error;
  // The builder gives the n-th companion (in sample order) created
  // 2019-03-(1+n) 08:30:00, modified 2019-04-(1+n) 09:45:30 and accessed
  // 2019-05-(1+n) 10:15:45, each with ticks of its own; $R1IS2OK.txt is
  // the first companion, $RUVFB0M.rtf the second.
  EntryInfo info;
  ASSERT_TRUE(v->lookup(dir, "$R1IS2OK.txt", &info));
  EXPECT_EQ(info.kind, EntryKind::kRegular);
  EXPECT_EQ(info.size, read_whole(samples_dir() + "/rifiuti2/dir-sample1/$R1IS2OK.txt").size());
  EXPECT_EQ(info.times.creation, filetime(2019, 3, 2, 8, 30, 0, 1000001));
  EXPECT_EQ(info.times.last_write, filetime(2019, 4, 2, 9, 45, 30, 2000001));
  EXPECT_EQ(info.times.last_access, filetime(2019, 5, 2, 10, 15, 45, 3000001));
  ASSERT_TRUE(v->lookup(dir, "$RUVFB0M.rtf", &info));
  EXPECT_EQ(info.times.last_write, filetime(2019, 4, 3, 9, 45, 30, 2000002));
  // The lookup of Windows file systems ignores case.
  ASSERT_TRUE(v->lookup(dir, "$r1is2ok.TXT", &info));
  EXPECT_EQ(info.times.creation, filetime(2019, 3, 2, 8, 30, 0, 1000001));
  EXPECT_FALSE(v->lookup(dir, "$R0JGHX7", &info));
  v->close_directory(dir);

  const DirRef user =
      v->open_directory((std::string("/$Recycle.Bin/") + kSid1002).c_str(), &error);
  ASSERT_NE(user, kNoDir) << error;
  ASSERT_TRUE(v->lookup(user, "$RKEGS1G", &info));
  EXPECT_EQ(info.kind, EntryKind::kDirectory);
  EXPECT_NE(info.times.last_write, 0u);
  v->close_directory(user);
}

TEST(ImageFileSystem, NothingIsWrittenAndFoldersAreNotFiles) {
  NEED_IMAGE(path, "ntfs");
  auto image = open_image(path);
  ImageVolume* v = image->first();
  ASSERT_NE(v, nullptr);
  std::string error;
  const DirRef dir =
      v->open_directory((std::string("/$Recycle.Bin/") + kSid1002).c_str(), &error);
  ASSERT_NE(dir, kNoDir) << error;
  EXPECT_EQ(v->open_file(dir, "$RKEGS1G", EntryKind::kUnknown), kNoFile);
  EXPECT_EQ(v->open_file(dir, "$Inothing", EntryKind::kUnknown), kNoFile);
  const FileRef f = v->open_file(dir, "$IBBFODN", EntryKind::kRegular);
  ASSERT_NE(f, kNoFile);
  SavedTimes saved;
  EXPECT_TRUE(v->capture_times(f, &saved));
  EXPECT_TRUE(saved.is_regular);
  EXPECT_TRUE(v->restore_times(f, saved));
  int failure = -1, line = -1;
  EXPECT_EQ(v->count_streams(dir, &failure, &line), 0);
  EXPECT_EQ(failure, 0);
  // Two files open at once keep their own positions.
  const FileRef g = v->open_file(dir, "$IHO61YT", EntryKind::kRegular);
  ASSERT_NE(g, kNoFile);
  char a[8], b[8];
  ASSERT_EQ(v->read_file(f, a, 8), 8u);
  ASSERT_EQ(v->read_file(g, b, 8), 8u);
  const std::string rest = read_all(v, f);
  EXPECT_EQ(std::string(a, 8) + rest,
            read_whole(samples_dir() + "/rifiuti2/dir-win10-01/$IBBFODN"));
  v->close_file(f);
  v->close_file(g);
  v->close_directory(dir);
}

TEST(ImageFileSystem, Fat32Volume) {
  NEED_IMAGE(path, "fat32");
  // FAT keeps local times; the library converts them with the process's
  // zone, which the builder used as UTC.
  setenv("TZ", "UTC", 1);
  tzset();
  auto image = open_image(path);
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(image->image->volume_count(), 1u);
  ImageVolume* v = image->first();
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->kind(), FileSystemKind::kFat32);
  EXPECT_FALSE(v->can_carve());
  std::vector<std::string> bins;
  std::string error;
  ASSERT_TRUE(v->find_bin_folders(&bins, &error)) << error;
  EXPECT_EQ(bins, (std::vector<std::string>{"$Recycle.Bin", "RECYCLER"}));
  const DirRef root = v->open_directory("/", &error);
  ASSERT_NE(root, kNoDir) << error;
  // No $MBR, $FAT1, $FAT2 or $OrphanFiles.
  EXPECT_EQ(list(v, root), (std::set<std::string>{"$Recycle.Bin", "RECYCLER", "Users"}));
  v->close_directory(root);
  expect_folder_bytes(v, std::string("/$Recycle.Bin/") + kSid1001, "rifiuti2/dir-sample1");
  expect_folder_bytes(v, std::string("/$Recycle.Bin/") + kSid1002, "rifiuti2/dir-win10-01");

  const DirRef dir =
      v->open_directory((std::string("/$Recycle.Bin/") + kSid1001).c_str(), &error);
  ASSERT_NE(dir, kNoDir) << error;
  EntryInfo info;
  ASSERT_TRUE(v->lookup(dir, "$R1IS2OK.txt", &info));
  EXPECT_EQ(info.kind, EntryKind::kRegular);
  // Modified at FAT's 2 seconds; accessed is a date (mtools writes the
  // modified time's date there).
  EXPECT_EQ(info.times.last_write, filetime(2019, 4, 2, 9, 45, 30));
  EXPECT_EQ(info.times.last_access, filetime(2019, 4, 2, 0, 0, 0));
  v->close_directory(dir);
  unsetenv("TZ");
  tzset();
}

TEST(ImageFileSystem, PartitionedDiskGivesEachPartitionAsAVolume) {
  NEED_IMAGE(path, "partitioned");
  setenv("TZ", "UTC", 1);
  tzset();
  auto image = open_image(path);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->volume_names(), (std::vector<std::string>{"p2", "p3"}));
  EXPECT_TRUE(image->messages.problems.empty());
  DirIdentity roots[2];
  size_t seen = 0;
  for (size_t i = 0; i < image->image->volume_count(); ++i) {
    ImageVolume* v = image->open(i);
    if (v == nullptr) continue;
    ASSERT_LT(seen, 2u);
    EXPECT_EQ(v->name(), seen == 0 ? "p2" : "p3");
    EXPECT_EQ(v->source_prefix(), seen == 0 ? "IMAGE:p2:" : "IMAGE:p3:");
    EXPECT_EQ(v->kind(), seen == 0 ? FileSystemKind::kNtfs : FileSystemKind::kFat32);
    std::vector<std::string> bins;
    std::string error;
    ASSERT_TRUE(v->find_bin_folders(&bins, &error)) << error;
    EXPECT_EQ(bins.size(), 2u);
    expect_folder_bytes(v, std::string("/$Recycle.Bin/") + kSid1001, "rifiuti2/dir-sample1");
    const DirRef root = v->open_directory("/", &error);
    ASSERT_TRUE(v->identify_directory(root, &roots[seen]));
    v->close_directory(root);
    ++seen;
  }
  EXPECT_EQ(seen, 2u);
  // The two roots are told apart by their volumes.
  EXPECT_NE(roots[0].volume, roots[1].volume);
  unsetenv("TZ");
  tzset();
}

TEST(ImageFileSystem, AnUnreadablePartitionIsNamedAndTheOthersAreRead) {
  NEED_IMAGE(path, "partitioned");
  // The same disk with its second partition's file system wiped.
  TempDir tree;
  const std::string copy = (tree / "wiped.img");
  std::filesystem::copy_file(path, copy);
  {
    std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
    const std::string zeros(1 << 20, '\0');
    f.seekp((2048 + 32768) * 512LL);
    f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }
  std::string error;
  auto image = open_image_at(copy, &error);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_EQ(image->volume_names(), std::vector<std::string>{"p2"});
  ASSERT_EQ(image->messages.problems.size(), 1u);
  const std::string& message = image->messages.problems[0];
  EXPECT_EQ(message.rfind("Can't read image " + copy + ", partition p3 (Win95 FAT32 (0x0c), "
                          "sectors 34816 to 116735): no file system that can be read (",
                          0),
            0u)
      << message;
}

TEST(ImageFileSystem, E01CopyReadsAsTheRawImage) {
  NEED_IMAGE(path, "e01");
  auto image = open_image(path);
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(image->image->volume_count(), 1u);
  ImageVolume* v = image->first();
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->kind(), FileSystemKind::kNtfs);
  expect_folder_bytes(v, std::string("/$Recycle.Bin/") + kSid1001, "rifiuti2/dir-sample1");
  expect_folder_bytes(v, std::string("/$Recycle.Bin/") + kSid1002, "rifiuti2/dir-win10-01");
}

TEST(ImageFileSystem, WhatIsNoImageIsToldWithTheReason) {
  if (!kImageSupport) GTEST_SKIP() << "this build reads no images";
  TempDir tree;
  write_file(tree / "notes.txt", std::string(100000, 'x'));
  std::string error;
  EXPECT_EQ(open_image_at((tree / "notes.txt").c_str(), &error), nullptr);
  EXPECT_EQ(error.rfind("Can't read image " + (tree / "notes.txt") +
                            ": neither a partition table nor a file system was found (",
                        0),
            0u)
      << error;
  EXPECT_EQ(open_image_at((tree / "absent.img").c_str(), &error), nullptr);
  EXPECT_EQ(error.rfind("Can't read image " + (tree / "absent.img") + ": ", 0), 0u) << error;
  write_file(tree / "short.img", std::string(300, 'x'));
  EXPECT_EQ(open_image_at((tree / "short.img").c_str(), &error), nullptr);
  EXPECT_EQ(error.rfind("Can't read image " + (tree / "short.img") +
                            ": its first sector cannot be read, the image is truncated or "
                            "damaged (",
                        0),
            0u)
      << error;
  // Nothing that could block the run is opened.
  EXPECT_EQ(open_image_at("/dev/zero", &error), nullptr);
  EXPECT_EQ(error, "Can't read image /dev/zero: not a file or a disk");
  ASSERT_EQ(mkfifo((tree / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(open_image_at((tree / "fifo").c_str(), &error), nullptr);
  EXPECT_EQ(error, "Can't read image " + (tree / "fifo") + ": not a file or a disk");
  write_file(tree / "empty.img", "");
  EXPECT_EQ(open_image_at((tree / "empty.img").c_str(), &error), nullptr);
  EXPECT_EQ(error.rfind("Can't read image " + (tree / "empty.img") + ": ", 0), 0u) << error;
}

TEST(ImageFileSystem, ATruncatedImageNamesTheFolderItCannotRead) {
  NEED_IMAGE(path, "ntfs");
  // The first 6 MiB: the MFT is there, the folders' index blocks are not.
  TempDir tree;
  const std::string cut = (tree / "cut.img");
  {
    std::ifstream in(path, std::ios::binary);
    std::ofstream out(cut, std::ios::binary);
    std::string head(6 << 20, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
  }
  auto image = open_image(cut);
  ASSERT_NE(image, nullptr);
  ImageVolume* v = image->first();
  ASSERT_NE(v, nullptr);
  std::vector<std::string> bins;
  std::string error;
  ASSERT_TRUE(v->find_bin_folders(&bins, &error)) << error;
  ASSERT_EQ(bins.size(), 2u);
  EXPECT_EQ(v->open_directory("/$Recycle.Bin", &error), kNoDir);
  EXPECT_FALSE(v->last_open_missing());
  EXPECT_EQ(error.rfind("image " + cut + ", partition p0: Error reading image file (", 0), 0u)
      << error;
  EXPECT_NE(error.find("partial image"), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos);
}

struct Carved {
  std::string directory, name, data;
  bool has_parent = false, companion = false, readable = false;
  uint64_t entry = 0;
};

struct CarveCollector : CarvedFileVisitor {
  ImageVolume* volume = nullptr;
  std::vector<Carved> found;
  bool wanted(std::string_view, std::string_view, bool) override { return true; }
  void searched(uint64_t done, uint64_t total) override { EXPECT_LE(done, total); }
  bool visit(const CarvedIndexFile& c) override {
    Carved out;
    out.directory = std::string(c.directory);
    out.name = std::string(c.name);
    out.entry = c.entry;
    out.readable = c.data_readable;
    out.has_parent = c.parent != kNoDir;
    if (out.has_parent) {
      std::string companion = "$R" + out.name.substr(2);
      EntryInfo info;
      out.companion = volume->lookup(c.parent, companion.c_str(), &info);
    }
    if (c.file != kNoFile) out.data = read_all(volume, c.file);
    found.push_back(out);
    return true;
  }
};

TEST(ImageFileSystem, CarvingFindsDeletedAndOrphanedIndexFiles) {
  NEED_IMAGE(path, "ntfs-carve");
  auto image = open_image(path);
  ASSERT_NE(image, nullptr);
  ImageVolume* v = image->first();
  ASSERT_NE(v, nullptr);
  CarveCollector collector;
  collector.volume = v;
  std::string error;
  ASSERT_TRUE(v->carve_index_files({"/$Recycle.Bin/"}, true, &collector, &error)) << error;

  std::map<std::string, Carved> by_path;
  std::set<uint64_t> entries;
  for (const Carved& c : collector.found) {
    by_path[c.directory + c.name] = c;
    EXPECT_TRUE(entries.insert(c.entry).second) << "entry " << c.entry << " twice";
  }
  // The emptied bin: every index file of the sample folder, in its folder.
  const std::string folder = std::string("/$Recycle.Bin/") + kSid1001 + "/";
  size_t expected = 0;
  for (const std::string& name : sample_names("rifiuti2/dir-sample1")) {
    if (name.rfind("$I", 0) != 0) continue;
    ++expected;
    auto it = by_path.find(folder + name);
    ASSERT_NE(it, by_path.end()) << name;
    EXPECT_TRUE(it->second.has_parent);
    EXPECT_TRUE(it->second.readable);
    EXPECT_EQ(it->second.data, read_whole(samples_dir() + "/rifiuti2/dir-sample1/" + name));
    // Only $R1IS2OK.txt was left beside them.
    EXPECT_EQ(it->second.companion, name == "$I1IS2OK.txt") << name;
  }
  // The folder deleted whole: orphans.
  for (const char* name : {"$II3DF3L.zip", "$I103S5F.jpg"}) {
    ++expected;
    auto it = by_path.find(std::string("/$OrphanFiles/") + name);
    ASSERT_NE(it, by_path.end()) << name;
    EXPECT_FALSE(it->second.has_parent);
    EXPECT_EQ(it->second.data,
              read_whole(samples_dir() + "/plaso/test_data/recycler/" + name));
  }
  // Index files too long for their MFT entries: one whose clusters are
  // another file's now, which reads nothing, and one whose clusters are
  // still free.
  const std::string fifth = "/$Recycle.Bin/S-1-5-21-3623811015-3361044348-30300820-1005/";
  auto lost = by_path.find(fifth + "$IBIGAAA.txt");
  ASSERT_NE(lost, by_path.end());
  EXPECT_FALSE(lost->second.readable);
  EXPECT_EQ(lost->second.data, "");
  auto kept = by_path.find(fifth + "$IBIGBBB.txt");
  ASSERT_NE(kept, by_path.end());
  EXPECT_TRUE(kept->second.readable);
  ASSERT_EQ(kept->second.data.size(), 6092u);
  EXPECT_EQ(kept->second.data.substr(0, 16),
            std::string("\x02\0\0\0\0\0\0\0\xae\x08\0\0\0\0\0\0", 16));  // size 2222
  EXPECT_EQ(kept->second.data.substr(28 + 2 * 27, 6), std::string("b\0b\0b\0", 6));
  expected += 2;
  // Deleted companions ($R...), spare.dat and files still in place are not
  // carved.
  EXPECT_EQ(collector.found.size(), expected);
  (void)kSid1004;
}

TEST(ImageFileSystem, NothingToCarveInAnIntactVolume) {
  NEED_IMAGE(path, "ntfs");
  auto image = open_image(path);
  CarveCollector collector;
  collector.volume = image->first();
  ASSERT_NE(collector.volume, nullptr);
  std::string error;
  ASSERT_TRUE(collector.volume->carve_index_files({"/$Recycle.Bin/"}, true, &collector, &error)) << error;
  EXPECT_TRUE(collector.found.empty());
}

}  // namespace
