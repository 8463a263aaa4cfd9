#include "recycle/decoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "common/test_tree.h"
#include "options/options.h"
#include "recycle/report_output.h"

// Counts heap allocations, so that the cost per file can be checked.
namespace {
std::atomic<long> g_allocations{0};
}  // namespace

void* operator new(size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

std::string index_v2(const std::string& ascii_name) {
  std::string out;
  auto put = [&out](uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  put(2, 8);
  put(1234, 8);
  put(132593079670000000ULL, 8);  // 2021-03-04 05:06:07 UTC
  put(ascii_name.size() + 1, 4);
  for (char c : ascii_name) put(static_cast<unsigned char>(c), 2);
  put(0, 2);
  return out;
}

TEST(ProgressLine, ThePathIsShownBelow80Characters) {
  const std::string dir(60, 'd');
  std::string out;
  EXPECT_EQ(append_progress_line(&out, dir.c_str(), 60, "$I34567890123456789", 19), 12 + 79 + 1);
  EXPECT_EQ(out, "Processing: " + dir + "$I34567890123456789\n");
  out.clear();
  EXPECT_EQ(append_progress_line(&out, dir.c_str(), 60, "$I345678901234567890", 20), 12 + 20 + 1);
  EXPECT_EQ(out, "Processing: $I345678901234567890\n");
}

TEST(ProgressLine, EraseSequence) {
  std::string out;
  erase_progress(&out, 0);
  EXPECT_EQ(out, "");
  erase_progress(&out, 3);
  EXPECT_EQ(out, "\b\b\b   \b\b\b");
}

class DecoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!g_input_buffer) allocate_decoder_buffers();
    g_options = Options();
    g_progress_len = 0;
    g_file_count = 0;
    g_report_handle = open_output_device(tree.path("out").c_str(), false);
    g_progress_handle = open_output_device(tree.path("err").c_str(), false);
  }
  void TearDown() override {
    close_file(g_report_handle);
    close_file(g_progress_handle);
    g_report_handle = stdout_handle();
    g_progress_handle = stderr_handle();
  }
  TestTree tree;
};

TEST_F(DecoderTest, RowsProgressAndMessages) {
  tree.file("bin/$IAAA.txt", index_v2("C:\\a.txt"));
  tree.file("bin/$RAAA.txt", "x");
  tree.file("bin/$IBBB", index_v2("C:\\b"));
  tree.directory("bin/$ICCC");
  const std::string dir = tree.dir() + "bin/";
  decode_index_file(dir.c_str(), "$IAAA.txt");
  decode_index_file(dir.c_str(), "$IBBB");
  decode_index_file(dir.c_str(), "$ICCC");
  EXPECT_EQ(g_file_count, 3);

  const std::string out = tree.read("out");
  const std::string row_a = "           $IAAA.txt|        1234|  2021-03-04|    05:06:07|       txt|C:\\a.txt|  ";
  EXPECT_EQ(out.substr(0, row_a.size()), row_a);
  const std::string rest =
      "               $IBBB|        1234|  2021-03-04|    05:06:07|      NONE|C:\\b|"
      " N/A | N/A | N/A | N/A | N/A | N/A | \n"
      "\nCan't open " + dir + "$ICCC for searching";
  ASSERT_GE(out.size(), rest.size());
  EXPECT_EQ(out.substr(out.size() - rest.size()), rest);

  const std::string first = "Processing: " + dir + "$IAAA.txt\n";
  const std::string erase(first.size(), '\b');
  EXPECT_EQ(tree.read("err"), first + erase + std::string(first.size(), ' ') + erase +
                                  "Processing: " + dir + "$IBBB\n");
}

TEST_F(DecoderTest, NoAllocationPerFile) {
  const std::string dir = tree.dir() + "bin/";
  for (int i = 0; i < 20; ++i) {
    const std::string n = "$I" + std::to_string(100000 + i) + ".docx";
    tree.file("bin/" + n, index_v2("C:\\Users\\someone\\Documents\\report number " +
                                   std::to_string(i) + ".docx"));
    if (i % 2) tree.file("bin/$R" + n.substr(2), "data");
  }
  g_options.reset_times = 1;
  decode_index_file(dir.c_str(), "$I100000.docx");
  decode_index_file(dir.c_str(), "$I100001.docx");
  std::vector<std::string> names;
  for (int i = 0; i < 20; ++i) names.push_back("$I" + std::to_string(100000 + i) + ".docx");
  const long before = g_allocations.load();
  for (const std::string& n : names) decode_index_file(dir.c_str(), n.c_str());
  EXPECT_EQ(g_allocations.load() - before, 0);
  EXPECT_EQ(g_file_count, 22);
}

}  // namespace
