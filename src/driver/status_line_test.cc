#include "driver/status_line.h"

#include <gtest/gtest.h>

#include <string>

#include "common/test_tree.h"

namespace {

std::string text_of(const StatusState& state, size_t columns = 80) {
  std::string out;
  append_status_text(state, columns, &out);
  return out;
}

TEST(StatusText, FilesRateAndFolder) {
  StatusState s;
  s.files = 3000;
  s.elapsed_ms = 1500;
  s.directory = "/mnt/x/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/";
  EXPECT_EQ(text_of(s), "3000 files, 2000 files/s, reading /mnt/x/$RECYCLE.BIN/S-1-5-21-1-2-3-1001/");
  s.volume = "p2";
  s.directory = "/$Recycle.Bin/";
  EXPECT_EQ(text_of(s), "3000 files, 2000 files/s, reading p2:/$Recycle.Bin/");
  // Before anything is read: no folder, no rate yet.
  StatusState start;
  EXPECT_EQ(text_of(start), "0 files, 0 files/s");
  start.files = 1;
  EXPECT_EQ(text_of(start), "1 file, 0 files/s");
}

TEST(StatusText, ALongFolderKeepsItsEndAndTheLineNeverWraps) {
  StatusState s;
  s.files = 12;
  s.elapsed_ms = 1000;
  const std::string folder = "/case/" + std::string(200, 'x') + "/S-1-5-21-1-2-3-1001/";
  s.directory = folder;
  for (size_t columns : {80u, 40u, 30u, 10u, 1u}) {
    const std::string text = text_of(s, columns);
    EXPECT_LE(text.size(), columns > 0 ? columns - 1 : 0) << columns;
    if (columns >= 40) {
      EXPECT_EQ(text.substr(0, 33), "12 files, 12 files/s, reading ...") << text;
      EXPECT_EQ(text.substr(text.size() - 6), "-1001/") << text;
    }
    if (columns == 80) {
      EXPECT_NE(text.find("...x"), std::string::npos) << text;
      EXPECT_EQ(text.substr(text.size() - 20), folder.substr(folder.size() - 20)) << text;
    }
  }
}

TEST(StatusText, NamesCannotDriveTheTerminal) {
  StatusState s;
  s.directory = "/bin/\x1b[2J\x07/";
  const std::string text = text_of(s);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.find('\x07'), std::string::npos);
  EXPECT_NE(text.find("/bin/?[2J?/"), std::string::npos) << text;
}

TEST(StatusText, CarvingShowsTheShareDoneAndTheTimeLeft) {
  StatusState s;
  s.files = 40;
  s.carving = true;
  s.volume = "p2";
  s.carve_total = 100;
  EXPECT_EQ(text_of(s), "40 files, carving p2: 0% of its metadata, estimating the time left");
  s.carve_done = 25;
  s.carve_elapsed_ms = 1000;
  EXPECT_EQ(text_of(s), "40 files, carving p2: 25% of its metadata, about 3 s left");
  s.carve_elapsed_ms = 33333;
  EXPECT_EQ(text_of(s), "40 files, carving p2: 25% of its metadata, about 1 min 40 s left");
  s.carve_total = 1000000;
  s.carve_done = 1;
  s.carve_elapsed_ms = 1000;
  EXPECT_EQ(text_of(s), "40 files, carving p2: 0% of its metadata, about 277 h 46 min left");
  s.carve_done = s.carve_total;
  EXPECT_EQ(text_of(s), "40 files, carving p2: 100% of its metadata, about 0 s left");
}

int64_t g_now = 0;
int64_t fake_clock() { return g_now; }

class StatusLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = 1000;
    handle_ = open_output_device(tree_.path("err").c_str(), false);
    ASSERT_NE(handle_, kInvalidHandle);
  }
  void TearDown() override { close_file(handle_); }
  std::string written() { return tree_.read("err"); }
  TestTree tree_;
  FileHandle handle_ = kInvalidHandle;
};

TEST_F(StatusLineTest, DrawnAtStartAtMostTenTimesASecondAndLastWithTheFinalCount) {
  StatusLine line(handle_, 80, fake_clock);
  line.start();
  EXPECT_EQ(written(), "\r0 files, 0 files/s");
  // 250 files within the first 100 ms: none drawn.
  for (int i = 0; i < 250; ++i) line.file("/bin/", "$I", 2);
  EXPECT_EQ(written(), "\r0 files, 0 files/s");
  g_now += 100;
  line.file("/bin/sub/", "$I", 2);
  EXPECT_EQ(written(), "\r0 files, 0 files/s\r251 files, 2510 files/s, reading /bin/sub/");
  g_now += 50;
  line.file("/other/", "$I", 2);
  EXPECT_EQ(written().size(), 62u);  // still the one line
  g_now += 850;
  line.finish();
  // The final count and the last file's folder over the last line (three
  // characters shorter: spaces cover the rest), then the line erased.
  const std::string last = "\r252 files, 252 files/s, reading /other/   ";
  const std::string erased = "\r" + std::string(42, ' ') + "\r";
  EXPECT_EQ(written(), "\r0 files, 0 files/s\r251 files, 2510 files/s, reading /bin/sub/" + last +
                           erased);
}

TEST_F(StatusLineTest, AShorterLineCoversTheLongerOneAndMessagesFindTheLineErased) {
  StatusLine line(handle_, 80, fake_clock);
  line.start();
  line.walking("p2");
  g_now += 100;
  line.file("/$Recycle.Bin/S-1-5-21-1-2-3-1001/", "$I", 2);
  const size_t before = written().size();
  g_now += 100;
  line.carving("p2", 1, 4);
  const std::string carving = written().substr(before);
  const std::string walked = "1 file, 10 files/s, reading p2:/$Recycle.Bin/S-1-5-21-1-2-3-1001/";
  const std::string carved = "1 file, carving p2: 25% of its metadata, estimating the time left";
  ASSERT_GT(walked.size(), carved.size() - 10);
  EXPECT_EQ(carving, "\r" + carved +
                         std::string(walked.size() > carved.size() ? walked.size() - carved.size() : 0,
                                     ' '));
  const size_t drawn = written().size();
  line.erase();
  EXPECT_EQ(written().substr(drawn),
            "\r" + std::string(std::max(walked.size(), carved.size()), ' ') + "\r");
  line.erase();  // nothing more to take off
  EXPECT_EQ(written().size(), drawn + 2 + std::max(walked.size(), carved.size()));
}

TEST_F(StatusLineTest, AScanShowsTheShareOfItsBytesFromItsFirstCall) {
  StatusLine line(handle_, 80, fake_clock);
  line.start();
  line.walking("p2");
  g_now += 100;
  line.carving("p2", 4, 4);
  // A scan of the same volume begins: drawn at once, however soon.
  size_t before = written().size();
  line.scanning("p2", 0, 1 << 30);
  EXPECT_EQ(written().substr(before, 62),
            "\r0 files, scanning p2: 0% of its bytes, estimating the time le");
  g_now += 30;
  before = written().size();
  line.scanning("p2", 1 << 29, 1 << 30);  // not yet due
  EXPECT_EQ(written().size(), before);
  g_now += 970;
  line.scanning("p2", 1 << 29, 1 << 30);
  // Spaces cover the rest of the longer carving line.
  EXPECT_EQ(written().substr(before), "\r0 files, scanning p2: 50% of its bytes, about 1 s left" +
                                          std::string(13, ' '));
  // A file scanned after the volume is named as the volume is.
  g_now += 1;
  before = written().size();
  line.scanning("pagefile.sys", 0, 100);
  EXPECT_EQ(written().substr(before, 50), "\r0 files, scanning pagefile.sys: 0% of its bytes, ");
}

TEST_F(StatusLineTest, NothingIsDrawnWhereTheErrorStreamIsNoTerminal) {
  StatusLine line(handle_, fake_clock);
  EXPECT_FALSE(line.shown());
  line.start();
  for (int i = 0; i < 10; ++i) {
    g_now += 1000;
    line.file("/bin/", "$I", 2);
    line.carving("p0", 5, 10);
    line.scanning("p0", 5, 10);
  }
  line.finish();
  EXPECT_EQ(written(), "");
}

}  // namespace
