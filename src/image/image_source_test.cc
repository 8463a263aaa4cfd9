// Which folders an image run walks, in what order, what it carves and what
// it says, on images built from the real samples.
#include "image/image_source.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/exclusions.h"
#include "image/test_images.h"

namespace {

const char kSid1002[] = "S-1-5-21-3623811015-3361044348-30300820-1002";
const char kSid1005[] = "S-1-5-21-3623811015-3361044348-30300820-1005";

const char kSid1001[] = "S-1-5-21-3623811015-3361044348-30300820-1001";

struct Recorder : VolumeVisitor {
  std::vector<std::string> walks;     // "p2:/dir/"
  std::vector<std::string> carved;    // "p0:/dir/name"
  std::vector<std::string> messages;
  std::vector<std::string> order;     // "walk" and "carve", as they came
  Status walk(const Volume& volume, const std::string& directory) override {
    walks.push_back(std::string(volume.name) + ":" + directory);
    order.push_back("walk");
    // The walk opens the folder it is given.
    std::string error;
    const DirRef dir = volume.fs->open_directory(directory.c_str(), &error);
    EXPECT_NE(dir, kNoDir) << error;
    if (dir != kNoDir) volume.fs->close_directory(dir);
    return Status();
  }
  Status decode_recovered(const Volume& volume, const RecoveredFile& file) override {
    carved.push_back(std::string(volume.name) + ":" + std::string(file.directory) +
                     std::string(file.name));
    order.push_back("carve");
    return Status();
  }
  void message(const std::string& text) override { messages.push_back(text); }
  // A scan reads every byte it is given, in pieces whose offsets only grow.
  Status scan(const Volume& volume, ScanBytes* bytes, std::span<const uint64_t> given) override {
    order.push_back("scan");
    std::vector<unsigned char> buffer(1 << 20);
    uint64_t offset = 0, read = 0, last_end = 0;
    for (size_t got; (got = bytes->read(buffer.data(), buffer.size(), &offset)) != 0;) {
      EXPECT_GE(offset, last_end);
      last_end = offset + got;
      read += got;
    }
    EXPECT_EQ(read, bytes->total());
    scans.push_back(std::string(volume.name) + ":" + std::to_string(read));
    scan_given.assign(given.begin(), given.end());
    return Status();
  }
  std::vector<std::string> scans;   // "p0:BYTES"
  std::vector<uint64_t> scan_given;
  void carving(const Volume& volume, uint64_t done, uint64_t total) override {
    // How far the search is: never back, never past its total.
    EXPECT_LE(done, total);
    if (!progress.empty() && progress.back().first == std::string(volume.name)) {
      EXPECT_GE(done, progress.back().second.first);
    }
    progress.push_back({std::string(volume.name), {done, total}});
  }
  std::vector<std::pair<std::string, std::pair<uint64_t, uint64_t>>> progress;
};

ImageRunSettings settings(std::vector<std::string> paths, bool carve = false) {
  ImageRunSettings s;
  s.paths = std::move(paths);
  s.patterns = {"*.*"};
  s.carve = carve;
  return s;
}

TEST(ImageRun, VolumeDirectoriesStartAndEndWithASlash) {
  EXPECT_EQ(volume_directory("$Recycle.Bin"), "/$Recycle.Bin/");
  EXPECT_EQ(volume_directory("/RECYCLER/"), "/RECYCLER/");
  EXPECT_EQ(volume_directory("/"), "/");
  EXPECT_EQ(volume_directory(""), "/");
}

TEST(ImageRun, EveryBinFolderOfTheVolumeIsWalked) {
  NEED_IMAGE(path, "ntfs");
  Recorder r;
  const ImageRunResult result = run_image(path, settings({}, false), &r);
  EXPECT_FALSE(result.incomplete);
  EXPECT_TRUE(result.any_volume);
  EXPECT_EQ(result.first_kind, FileSystemKind::kNtfs);
  EXPECT_EQ(r.walks, (std::vector<std::string>{"p0:/$Recycle.Bin/", "p0:/RECYCLER/"}));
  EXPECT_TRUE(r.messages.empty());
  EXPECT_TRUE(r.carved.empty());
}

TEST(ImageRun, ListedPathsAreWalkedWhereTheyAreAndNamedWhereNoVolumeHasThem) {
  NEED_IMAGE(path, "ntfs");
  Recorder r;
  const std::string user = std::string("$RECYCLE.BIN/") + kSid1002;
  const ImageRunResult result = run_image(path, settings({user, "/nowhere", "/RECYCLER"}), &r);
  EXPECT_TRUE(result.incomplete);
  EXPECT_EQ(r.walks, (std::vector<std::string>{"p0:/" + user + "/", "p0:/RECYCLER/"}));
  EXPECT_EQ(r.messages, (std::vector<std::string>{
                            "Can't read directory /nowhere: not in any volume of image " + path}));
}

TEST(ImageRun, ListedPathsAreWalkedInEveryVolumeThatHasThem) {
  NEED_IMAGE(path, "partitioned");
  setenv("TZ", "UTC", 1);
  tzset();
  Recorder r;
  // Both volumes have both folders: each is walked in each volume, volume
  // by volume.
  const ImageRunResult result =
      run_image(path, settings({std::string("/$Recycle.Bin/") + kSid1002, "/Users"}), &r);
  EXPECT_FALSE(result.incomplete);
  EXPECT_EQ(result.first_kind, FileSystemKind::kNtfs);
  const std::string user = std::string("/$Recycle.Bin/") + kSid1002 + "/";
  EXPECT_EQ(r.walks, (std::vector<std::string>{"p2:" + user, "p2:/Users/", "p3:" + user,
                                               "p3:/Users/"}));
  EXPECT_TRUE(r.messages.empty());
  unsetenv("TZ");
  tzset();
}

TEST(ImageRun, AnImageWithoutABinIsToldAndIncomplete) {
  NEED_IMAGE(path, "ntfs-nobin");
  Recorder r;
  const ImageRunResult result = run_image(path, settings({}, true), &r);
  EXPECT_TRUE(result.incomplete);
  EXPECT_TRUE(r.walks.empty());
  EXPECT_EQ(r.messages,
            (std::vector<std::string>{
                "No recycle-bin folder ($Recycle.Bin, RECYCLER or RECYCLED) in image " + path}));
}

TEST(ImageRun, WhatIsNoImageIsToldOnce) {
  if (!kImageSupport) GTEST_SKIP() << "this build reads no images";
  TempDir tree;
  write_file(tree / "notes.txt", std::string(100000, 'x'));
  Recorder r;
  const ImageRunResult result = run_image((tree / "notes.txt"), settings({"/x"}, true), &r);
  EXPECT_TRUE(result.incomplete);
  EXPECT_FALSE(result.any_volume);
  ASSERT_EQ(r.messages.size(), 1u);
  EXPECT_EQ(r.messages[0].rfind("Can't read image " + (tree / "notes.txt") + ": ", 0), 0u);
  EXPECT_TRUE(r.walks.empty());
}

TEST(ImageRun, AnUnreadableVolumeIsNamedAndTheOtherIsRead) {
  NEED_IMAGE(path, "partitioned");
  TempDir tree;
  const std::string copy = (tree / "wiped.img");
  std::filesystem::copy_file(path, copy);
  {
    std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
    const std::string zeros(1 << 20, '\0');
    f.seekp((2048 + 32768) * 512LL);
    f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }
  Recorder r;
  const ImageRunResult result = run_image(copy, settings({}, false), &r);
  EXPECT_TRUE(result.incomplete);
  EXPECT_EQ(r.walks, (std::vector<std::string>{"p2:/$Recycle.Bin/", "p2:/RECYCLER/"}));
  ASSERT_EQ(r.messages.size(), 1u);
  EXPECT_EQ(r.messages[0].rfind("Can't read image " + copy + ", partition p3 ", 0), 0u)
      << r.messages[0];
}

TEST(ImageRun, AFolderThatIsThereButCannotBeReadIsNamedWithTheReason) {
  NEED_IMAGE(path, "ntfs");
  TempDir tree;
  const std::string cut = (tree / "cut.img");
  {
    std::ifstream in(path, std::ios::binary);
    std::ofstream out(cut, std::ios::binary);
    std::string head(6 << 20, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
  }
  Recorder r;
  const ImageRunResult result = run_image(cut, settings({"/$Recycle.Bin", "/RECYCLER"}), &r);
  EXPECT_TRUE(result.incomplete);
  EXPECT_EQ(r.walks, (std::vector<std::string>{"p0:/RECYCLER/"}));
  ASSERT_EQ(r.messages.size(), 2u);
  // Before anything is walked: where the image ends, and where it should.
  EXPECT_EQ(r.messages[0], "Can't read image " + cut + ": it ends at byte 6291456, before the end "
                           "of partition p0 at byte 16773120");
  EXPECT_EQ(r.messages[1].rfind("Can't read directory /$Recycle.Bin/: image " + cut +
                                    ", partition p0: Error reading image file (",
                                0),
            0u)
      << r.messages[1];
}

TEST(ImageRun, CarvedFilesComeAfterEveryWalk) {
  NEED_IMAGE(path, "ntfs-carve");
  Recorder r;
  const ImageRunResult result = run_image(path, settings({}, true), &r);
  EXPECT_FALSE(result.incomplete);
  ASSERT_EQ(r.walks.size(), 2u);
  // 15 index files of the emptied bin, 2 of the fifth user's, 2 orphans.
  EXPECT_EQ(r.carved.size(), 19u);
  ASSERT_EQ(r.order.size(), 21u);
  EXPECT_EQ(r.order[0], "walk");
  EXPECT_EQ(r.order[1], "walk");
  EXPECT_EQ(r.order[2], "carve");
  EXPECT_EQ(r.carved.back(), "p0:/$OrphanFiles/$I103S5F.jpg");
  // The search told how far it was, from nothing to every entry.
  ASSERT_GE(r.progress.size(), 2u);
  EXPECT_EQ(r.progress.front().second.first, 0u);
  EXPECT_EQ(r.progress.back().second.first, r.progress.back().second.second);
  EXPECT_GT(r.progress.back().second.second, 100u);

  Recorder without;
  run_image(path, settings({}, false), &without);
  EXPECT_TRUE(without.carved.empty());
  EXPECT_EQ(without.walks, r.walks);
}

// The unallocated clusters are scanned after the volume's walk and
// carving, and the scan is told where the carved files' data lies.
TEST(ImageRun, TheScanFollowsTheCarvingAndKnowsWhatItGave) {
  NEED_IMAGE(path, "ntfs-carve");
  const FileState before(path);
  ImageRunSettings s = settings({}, true);
  s.scan = true;
  Recorder r;
  const ImageRunResult result = run_image(path, s, &r);
  EXPECT_FALSE(result.incomplete);
  ASSERT_EQ(r.order.size(), 22u);
  EXPECT_EQ(r.order.back(), "scan");
  ASSERT_EQ(r.scans.size(), 1u);
  EXPECT_EQ(r.scans[0].rfind("p0:", 0), 0u);
  // Some of the 16 MiB volume is free, and it is not all free.
  const uint64_t bytes = std::stoull(r.scans[0].substr(3));
  EXPECT_GT(bytes, 1u << 20);
  EXPECT_LT(bytes, 16u << 20);
  // As many as The Sleuth Kit's blkls writes (its block walk's unallocated
  // blocks).
  if (FILE* blkls = popen(("blkls '" + path + "' 2>/dev/null").c_str(), "r")) {
    uint64_t listed = 0;
    char chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, blkls)) > 0;) listed += n;
    if (pclose(blkls) == 0) {
      EXPECT_EQ(bytes, listed);
    }
  }
  // The one carved file whose data lies in free clusters.
  ASSERT_EQ(r.scan_given.size(), 1u);
  EXPECT_EQ(r.scan_given[0] % 4096, 0u);
  EXPECT_GT(r.scan_given[0], 0u);

  Recorder without;
  run_image(path, settings({}, true), &without);
  EXPECT_TRUE(without.scans.empty());
  EXPECT_TRUE(FileState(path) == before) << "the run changed the image";
}

TEST(ImageRun, FoldersContainWhatLiesInThem) {
  EXPECT_TRUE(folder_contains("/$Recycle.Bin/", "/$Recycle.Bin/", false, false));
  EXPECT_TRUE(folder_contains("/$Recycle.Bin/", "/$Recycle.Bin/S-1/", true, false));
  EXPECT_FALSE(folder_contains("/$Recycle.Bin/", "/$Recycle.Bin/S-1/", false, false));
  EXPECT_FALSE(folder_contains("/$RECYCLE.BIN/", "/$Recycle.Bin/S-1/", true, false));
  EXPECT_TRUE(folder_contains("/$RECYCLE.BIN/", "/$Recycle.Bin/S-1/", true, true));
  EXPECT_FALSE(folder_contains("/$Recycle.Bin/S-1/", "/$Recycle.Bin/", true, true));
  // A folder whose name merely starts the same is another folder.
  EXPECT_FALSE(folder_contains("/$Recycle.Bin/S-1/", "/$Recycle.Bin/S-12/", true, true));
  EXPECT_TRUE(folder_contains("/", "/Users/x/", true, false));
  EXPECT_EQ(folded_volume_path("$RECYCLE.BIN/s-1"), "/$RECYCLE.BIN/s-1/");
  EXPECT_EQ(folded_volume_path("/Users/../$Recycle.Bin/./S-1/"), "/$Recycle.Bin/S-1/");
  EXPECT_EQ(folded_volume_path("/../.."), "/");
  EXPECT_EQ(folded_volume_path(""), "/");
}

// The carving image (images.py): 15 deleted index files in the first
// user's bin, 2 in the fifth's, 2 orphans.
TEST(ImageRun, CarvingKeepsToThePatternsExclusionsAndFolders) {
  NEED_IMAGE(path, "ntfs-carve");
  const std::string fifth = std::string("/$Recycle.Bin/") + kSid1005 + "/";
  auto carved_with = [&](ImageRunSettings s) {
    Recorder r;
    const ImageRunResult result = run_image(path, s, &r);
    EXPECT_FALSE(result.incomplete);
    EXPECT_TRUE(r.messages.empty());
    return r.carved;
  };
  ImageRunSettings s = settings({}, true);
  s.patterns = {"$IBIG*.*"};
  EXPECT_EQ(carved_with(s), (std::vector<std::string>{"p0:" + fifth + "$IBIGAAA.txt",
                                                      "p0:" + fifth + "$IBIGBBB.txt"}));
  // Patterns after one that starts with "-" are not patterns.
  s.patterns = {"$I1*.*", "-x", "*.*"};
  EXPECT_EQ(carved_with(s),
            (std::vector<std::string>{"p0:/$Recycle.Bin/" + std::string(kSid1001) + "/$I1IS2OK.txt",
                                      "p0:/$Recycle.Bin/" + std::string(kSid1001) + "/$I1TDH1G.exe",
                                      "p0:/$OrphanFiles/$I103S5F.jpg"}));
  s.patterns = {"*.*"};
  ExclusionList exclusions;
  s.exclude = &exclusions;
  exclusions.clear();
  exclusions.add("*.TXT");
  exclusions.add("*.EXE");
  const std::vector<std::string> kept = carved_with(s);
  exclusions.clear();
  for (const std::string& c : kept) {
    EXPECT_EQ(c.find(".txt"), std::string::npos) << c;
    EXPECT_EQ(c.find(".exe"), std::string::npos) << c;
  }
  EXPECT_EQ(kept.size(), 19u - 4 - 7);  // the four .txt and seven .exe ones left out
  // Only the folders walked: orphans, whose folder is unknown, stay.
  s = settings({fifth}, true);
  EXPECT_EQ(carved_with(s), (std::vector<std::string>{"p0:" + fifth + "$IBIGAAA.txt",
                                                      "p0:" + fifth + "$IBIGBBB.txt",
                                                      "p0:/$OrphanFiles/$II3DF3L.zip",
                                                      "p0:/$OrphanFiles/$I103S5F.jpg"}));
  s.recurse = false;
  s.paths = {"/$RECYCLE.BIN"};
  EXPECT_EQ(carved_with(s), (std::vector<std::string>{"p0:/$OrphanFiles/$II3DF3L.zip",
                                                      "p0:/$OrphanFiles/$I103S5F.jpg"}));
}

// Shadow copies: each NTFS volume's stores, oldest first, each read as a
// volume of its own right after the volume and its carved files.

ImageRunSettings with_shadows(std::vector<std::string> paths, bool carve = false) {
  ImageRunSettings s = settings(std::move(paths), carve);
  s.shadows = true;
  return s;
}

const std::string kVssFolder = std::string("/$Recycle.Bin/") + kSid1001 + "/";

TEST(ImageRun, EachVolumesShadowCopiesFollowItOldestFirst) {
  NEED_IMAGE(path, "vss-bin");
  const FileState before(path);
  Recorder r;
  ImageRunResult result = run_image(path, with_shadows({}, true), &r);
  EXPECT_FALSE(result.incomplete);
  EXPECT_EQ(result.first_kind, FileSystemKind::kNtfs);
  EXPECT_TRUE(r.messages.empty());
  EXPECT_EQ(r.walks, (std::vector<std::string>{"p0:/$Recycle.Bin/", "p0:vss1:/$Recycle.Bin/",
                                               "p0:vss2:/$Recycle.Bin/"}));
  // The live bin's index files are deleted entries; the stores still hold
  // theirs in their folders.
  EXPECT_EQ(r.carved, (std::vector<std::string>{"p0:" + kVssFolder + "$I7R52EG.txt",
                                                "p0:" + kVssFolder + "$IDNLPD4.exe",
                                                "p0:" + kVssFolder + "$IROMPZ0.exe"}));
  EXPECT_EQ(r.order,
            (std::vector<std::string>{"walk", "carve", "carve", "carve", "walk", "walk"}));
  // Without shadow copies, the live volume alone.
  Recorder live;
  result = run_image(path, settings({}, false), &live);
  EXPECT_FALSE(result.incomplete);
  EXPECT_EQ(live.walks, (std::vector<std::string>{"p0:/$Recycle.Bin/"}));
  EXPECT_TRUE(FileState(path) == before) << "the run changed the image";
}

TEST(ImageRun, EveryStoreIsScannedAfterItsWalk) {
  NEED_IMAGE(path, "vss-bin");
  const FileState before(path);
  ImageRunSettings s = with_shadows({}, false);
  s.scan = true;
  Recorder r;
  const ImageRunResult result = run_image(path, s, &r);
  EXPECT_FALSE(result.incomplete);
  EXPECT_EQ(r.order,
            (std::vector<std::string>{"walk", "scan", "walk", "scan", "walk", "scan"}));
  ASSERT_EQ(r.scans.size(), 3u);
  EXPECT_EQ(r.scans[0].rfind("p0:", 0), 0u);
  EXPECT_EQ(r.scans[1].rfind("p0:vss1:", 0), 0u);
  EXPECT_EQ(r.scans[2].rfind("p0:vss2:", 0), 0u);
  EXPECT_TRUE(FileState(path) == before) << "the run changed the image";
}

TEST(ImageRun, AStoreIsNamedAfterItsPartitionAndAVolumeWithoutStoresIsReadAsBefore) {
  NEED_IMAGE(path, "vss-partitioned");
  const FileState before(path);
  Recorder r;
  const ImageRunResult result = run_image(path, with_shadows({kVssFolder, "/RECYCLER"}), &r);
  // /RECYCLER is in p3 alone, the user's folder in every volume.
  EXPECT_FALSE(result.incomplete);
  EXPECT_TRUE(r.messages.empty());
  EXPECT_EQ(r.walks, (std::vector<std::string>{"p2:" + kVssFolder, "p2:vss1:" + kVssFolder,
                                               "p2:vss2:" + kVssFolder, "p3:" + kVssFolder,
                                               "p3:/RECYCLER/"}));
  EXPECT_TRUE(FileState(path) == before) << "the run changed the image";
}

TEST(ImageRun, ShadowCopiesThatCannotBeReadAreNamedAndTheRestIsRead) {
  NEED_IMAGE(path, "vss-bin");
  TempDir tree;
  const std::string copy = tree / "damaged.img";
  std::filesystem::copy_file(path, copy);
  // Where the catalog is (the volume header at 0x1e00 gives it), and the
  // older store's block list (its catalog entry, the second of the first
  // pair after the catalog's 128-byte header).
  const std::string bytes = read_whole(copy);
  auto le64 = [&](size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(bytes[at + i]);
    return v;
  };
  const uint64_t catalog = le64(0x1e00 + 48);
  const uint64_t block_list = le64(catalog + 256 + 8);
  ASSERT_EQ(le64(catalog + 256), 3u);
  auto flip = [&](uint64_t offset) {
    std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(static_cast<std::streamoff>(offset));
    const char c = static_cast<char>(f.get() ^ 0x55);
    f.seekp(static_cast<std::streamoff>(offset));
    f.put(c);
  };
  flip(block_list);
  FileState before(copy);
  Recorder r;
  ImageRunResult result = run_image(copy, with_shadows({}), &r);
  EXPECT_TRUE(result.incomplete);
  EXPECT_EQ(r.walks, (std::vector<std::string>{"p0:/$Recycle.Bin/", "p0:vss2:/$Recycle.Bin/"}));
  EXPECT_EQ(r.messages, (std::vector<std::string>{
                            "Can't read image " + copy +
                            ", partition p0:vss1: the shadow copy cannot be read "
                            "(libvshadow_store_block_read_header_data: invalid store block list "
                            "header identifier)"}));
  EXPECT_TRUE(FileState(copy) == before) << "the run changed the image";
  // The catalog damaged: no store at all, the live volume still read.
  flip(block_list);
  flip(catalog);
  before = FileState(copy);
  r = Recorder();
  result = run_image(copy, with_shadows({}), &r);
  EXPECT_TRUE(result.incomplete);
  EXPECT_EQ(r.walks, (std::vector<std::string>{"p0:/$Recycle.Bin/"}));
  EXPECT_EQ(r.messages, (std::vector<std::string>{
                            "Can't read image " + copy +
                            ", partition p0: its shadow copies cannot be read "
                            "(libvshadow_io_handle_read_catalog_header_data: invalid catalog "
                            "header identifier)"}));
  EXPECT_TRUE(FileState(copy) == before) << "the run changed the image";
}

}  // namespace
