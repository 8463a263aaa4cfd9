#include "walk/walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "common/exclusions.h"
#include "platform/memory_file_system.h"

namespace {

// Records every file the walk hands over, as its path.
class Recorder final : public FileVisitor {
 public:
  bool visit_file(DirRef dir, std::string_view directory, const char* name,
                  EntryKind kind) override {
    if (opener != nullptr) {
      const FileRef file = opener->open_file(dir, name, kind);
      if (file != kNoFile) opener->close_file(file);
    }
    if (names_only) {
      seen.push_back(name);
      return true;
    }
    seen.push_back(std::string(directory) + name);
    if (on_file) on_file(seen.back());
    return !fail_writes;
  }
  std::vector<std::string> seen;
  std::function<void(const std::string&)> on_file;
  bool fail_writes = false;
  bool names_only = false;
  FileSystem* opener = nullptr;  // opens each file as the decoder does
};

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override { exclusions.clear(); }
  void TearDown() override { exclusions.clear(); }
  void add_exclusion(const char* pattern) { exclusions.add(pattern); }
  ExclusionList exclusions;

  WalkStatus walk(const std::string& dir, std::vector<std::string> patterns = {"*.*"}) {
    Walker walker(&fs, &visitor, settings);
    const WalkStatus status = walker.walk(dir, patterns);
    unreadable = walker.unreadable_directories();
    return status;
  }

  MemoryFileSystem fs;
  Recorder visitor;
  WalkSettings settings;
  int unreadable = 0;
};

TEST_F(WalkTest, DepthFirstWithEachDirectorysFilesAfterItsSubdirectories) {
  fs.add_file("A/f5", "");
  fs.add_file("A/B/f2", "");
  fs.add_file("A/B/D/f3", "");
  fs.add_file("A/C/f4", "");
  fs.add_file("A/f6", "");
  EXPECT_EQ(walk("A/"), WalkStatus::kDone);
  EXPECT_EQ(visitor.seen,
            (std::vector<std::string>{"A/B/D/f3", "A/B/f2", "A/C/f4", "A/f5", "A/f6"}));
  EXPECT_EQ(fs.open_directories(), 0u);
  EXPECT_EQ(fs.open_files(), 0u);
}

TEST_F(WalkTest, RecursionOffTakesOnlyTheListedDirectory) {
  fs.add_file("A/f1", "");
  fs.add_file("A/B/f2", "");
  settings.recurse = false;
  walk("A/");
  EXPECT_EQ(visitor.seen, std::vector<std::string>{"A/f1"});
}

TEST_F(WalkTest, LinksAreHandedOverAsFilesAndNeverEntered) {
  fs.add_file("A/B/f2", "");
  fs.add_link("A/L");
  fs.add_other("A/fifo");
  walk("A/");
  EXPECT_EQ(visitor.seen, (std::vector<std::string>{"A/B/f2", "A/L", "A/fifo"}));
}

TEST_F(WalkTest, PatternsApplyInOrderAndADashEndsTheList) {
  fs.add_file("$IAAA.txt", "");
  fs.add_file("$IBBB", "");
  fs.add_file("$RAAA.txt", "");
  fs.add_directory("$I123.TXT");
  settings.recurse = false;
  walk("", {"$I*.*", "*.txt", "-stop", "*.*"});
  EXPECT_EQ(visitor.seen,
            (std::vector<std::string>{"$IAAA.txt", "$IBBB", "$IAAA.txt", "$RAAA.txt"}));
}

TEST_F(WalkTest, ExcludedNamesAreSkipped) {
  fs.add_file("$IAAA.tmp", "");
  fs.add_file("$IBBB.doc", "");
  add_exclusion("*.TMP");
  settings.exclude = &exclusions;
  walk("");
  EXPECT_EQ(visitor.seen, std::vector<std::string>{"$IBBB.doc"});
}

// A file system may open the walk's next files ahead: what the walk tells
// it comes next must be exactly what it then opens, pattern by pattern,
// excluded names and directories aside, and nothing once it stops.
TEST_F(WalkTest, TheFilesToldToComeNextAreTheOnesOpenedNext) {
  fs.add_file("A/$IAAA.txt", "");
  fs.add_file("A/$IBBB.tmp", "");
  fs.add_file("A/$ICCC", "");
  fs.add_file("A/$RAAA.txt", "");
  fs.add_file("A/B/$IDDD.txt", "");
  fs.add_file("A/B/x.txt", "");
  fs.add_directory("A/$IEEE.txt");
  fs.add_link("A/$IFFF.txt");
  add_exclusion("*.TMP");
  settings.exclude = &exclusions;
  visitor.opener = &fs;
  walk("A/", {"$I*.*", "*.txt"});
  EXPECT_EQ(visitor.seen, (std::vector<std::string>{"A/B/$IDDD.txt", "A/B/$IDDD.txt", "A/B/x.txt",
                                                    "A/$IAAA.txt", "A/$ICCC", "A/$IFFF.txt",
                                                    "A/$IAAA.txt", "A/$RAAA.txt", "A/$IFFF.txt"}));
  ASSERT_EQ(fs.foretold().size(), visitor.seen.size());
  for (size_t i = 0; i < fs.foretold().size(); ++i) {
    EXPECT_EQ(fs.foretold()[i].told, fs.foretold()[i].opened) << "after " << visitor.seen[i];
  }
  EXPECT_EQ(fs.foretold()[3].told, (std::vector<std::string>{"$ICCC", "$IFFF.txt"}));

  // A failed write stops the walk: nothing more was to come.
  visitor.seen.clear();
  visitor.fail_writes = true;
  walk("A/", {"$I*.*"});
  EXPECT_EQ(fs.open_files(), 0u);
  EXPECT_EQ(fs.foretold().back().opened, std::vector<std::string>{});
}

TEST_F(WalkTest, StreamsAreProbedForEveryDirectoryWhenAsked) {
  fs.add_file("A/B/f", "");
  fs.add_file("A/C/D/f", "");
  walk("A/");
  EXPECT_TRUE(fs.stream_probes().empty());
  settings.probe_streams = true;
  walk("A/");
  EXPECT_EQ(fs.stream_probes(), (std::vector<std::string>{"/A", "/A/B", "/A/C", "/A/C/D"}));
}

TEST_F(WalkTest, DirectoriesThatCannotBeReadAreCountedAndTheWalkGoesOn) {
  fs.add_file("A/B/f1", "");
  fs.add_file("A/C/f2", "");
  fs.add_file("A/f3", "");
  fs.make_unreadable("A/B");
  EXPECT_EQ(walk("A/"), WalkStatus::kDone);
  EXPECT_EQ(visitor.seen, (std::vector<std::string>{"A/C/f2", "A/f3"}));
  EXPECT_EQ(unreadable, 1);
  EXPECT_EQ(walk("missing/"), WalkStatus::kDone);
  EXPECT_EQ(unreadable, 1);  // a walker of its own each time
  EXPECT_EQ(fs.open_directories(), 0u);
}

TEST_F(WalkTest, AFailedWriteEndsTheWalkAndClosesEverything) {
  fs.add_file("A/B/C/f1", "");
  fs.add_file("A/f2", "");
  visitor.fail_writes = true;
  EXPECT_EQ(walk("A/"), WalkStatus::kWriteFailed);
  EXPECT_EQ(visitor.seen, std::vector<std::string>{"A/B/C/f1"});
  EXPECT_EQ(fs.open_directories(), 0u);
}

// The walk order of a chain built by MemoryFileSystem::add_chain.
std::vector<std::string> chain_order(int depth, bool names_only) {
  std::vector<std::string> order;
  std::string path = "top/";
  for (int i = 0; i < depth; ++i) {
    if (!names_only) path += "d" + std::to_string(i) + "/";
    order.push_back((names_only ? "" : path) + "$I" + std::to_string(i));
  }
  std::reverse(order.begin(), order.end());
  return order;
}

TEST_F(WalkTest, DeepBranchesStayWithinTheBudgetOfOpenDirectories) {
  fs.add_chain("top", 300);
  const std::vector<std::string> order = chain_order(300, false);
  fs.set_budget(5);
  EXPECT_EQ(walk("top/"), WalkStatus::kDone);
  EXPECT_EQ(visitor.seen, order);
  EXPECT_LE(fs.most_open_directories(), 6u);
  EXPECT_EQ(fs.open_directories(), 0u);
  EXPECT_EQ(unreadable, 0);
}

TEST_F(WalkTest, AHundredThousandLevelsAreWalkedWithoutRecursion) {
  fs.add_chain("top", 100000);
  const std::vector<std::string> order = chain_order(100000, true);
  visitor.names_only = true;
  fs.set_budget(64);
  EXPECT_EQ(walk("top/"), WalkStatus::kDone);
  ASSERT_EQ(visitor.seen.size(), order.size());
  EXPECT_EQ(visitor.seen.front(), order.front());
  EXPECT_EQ(visitor.seen.back(), order.back());
}

TEST_F(WalkTest, ADirectoryMovedWhileClosedIsNotTakenForTheOneLeft) {
  fs.add_chain("top", 6);
  fs.add_file("top/d0/late", "");
  fs.set_budget(2);
  // While the deepest file is handled, d1 (and all below it) is moved
  // away: coming back up, its parent is no longer d0.
  visitor.on_file = [this](const std::string& path) {
    if (path == "top/d0/d1/d2/d3/d4/d5/$I5") fs.move_directory("top/d0/d1", "elsewhere/d1");
  };
  walk("top/");
  // The files below the moved directory are handled; d0's own files are
  // not read from a directory that may not be d0.
  EXPECT_EQ(std::count(visitor.seen.begin(), visitor.seen.end(), "top/d0/late"), 0);
  EXPECT_GE(unreadable, 1);
  EXPECT_EQ(fs.open_directories(), 0u);
}

TEST_F(WalkTest, ADirectoryWithMoreFilesThanAreKeptIsListedAgainPerPattern) {
  // More than a directory's files that are kept (16,384).
  for (int i = 0; i < 17000; ++i) fs.add_file("A/$I" + std::to_string(i) + ".txt", "");
  fs.add_file("A/sub/$Ix.doc", "");
  walk("A/", {"*.txt", "*.doc"});
  ASSERT_EQ(visitor.seen.size(), 17001u);
  EXPECT_EQ(visitor.seen.front(), "A/sub/$Ix.doc");
  EXPECT_EQ(visitor.seen[1], "A/$I0.txt");
  EXPECT_EQ(visitor.seen.back(), "A/$I16999.txt");
  std::vector<std::string> sorted = visitor.seen;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());
}

}  // namespace

namespace {

TEST_F(WalkTest, RecycledFoldersAreNotSearchedForIndexFilesWhenAsked) {
  // A deleted folder (its index file beside it) holding a user's own file
  // named like an index file; a "$R" folder without an index file, and a
  // folder whose index file is itself a folder, are ordinary folders.
  fs.add_file("bin/$IK3J9Q2", "");
  fs.add_file("bin/$RK3J9Q2/$IFAKE01.txt", "");
  fs.add_file("bin/$RK3J9Q2/sub/$IDEEPER", "");
  fs.add_file("bin/$ilower", "");
  fs.add_file("bin/$Rlower/$IINSIDE", "");
  fs.add_file("bin/$RLONE/$ILONE", "");
  fs.add_file("bin/$IODD/x", "");
  fs.add_file("bin/$RODD/$IODD2", "");
  settings.skip_recycled_folders = true;
  EXPECT_EQ(walk("bin/", {"$I*"}), WalkStatus::kDone);
  std::sort(visitor.seen.begin(), visitor.seen.end());
  EXPECT_EQ(visitor.seen, (std::vector<std::string>{"bin/$IK3J9Q2", "bin/$RLONE/$ILONE",
                                                    "bin/$RODD/$IODD2", "bin/$ilower"}));
  // The seed report's walk enters them all.
  visitor.seen.clear();
  settings.skip_recycled_folders = false;
  EXPECT_EQ(walk("bin/", {"$I*"}), WalkStatus::kDone);
  EXPECT_EQ(visitor.seen.size(), 7u);
}

}  // namespace
