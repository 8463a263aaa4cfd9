// The files of an evidence image: segment names, the checks made before any
// library opens a file, EWF section chains, VMDK descriptors and VHD
// parents, on files made here and on an EWF set built by ewfacquire.
#ifdef BINSIFT_HAVE_TSK
#include "image/image_set.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "image/test_images.h"

namespace {

std::vector<std::string> paths_of(const ImageSet& set) {
  std::vector<std::string> out;
  for (const ImageSetFile& f : set.files) out.push_back(f.path);
  return out;
}

TEST(ImageSet, SplitRawNamesFollowEachScheme) {
  EXPECT_EQ(split_raw_segment_name("/e/disk.001", 1), "/e/disk.001");
  EXPECT_EQ(split_raw_segment_name("/e/disk.001", 2), "/e/disk.002");
  EXPECT_EQ(split_raw_segment_name("/e/disk.001", 1000), "/e/disk.1000");
  EXPECT_EQ(split_raw_segment_name("/e/disk_001", 12), "/e/disk_012");
  EXPECT_EQ(split_raw_segment_name("/e/disk.000", 2), "/e/disk.001");
  EXPECT_EQ(split_raw_segment_name("/e/disk.01", 3), "/e/disk.03");
  EXPECT_EQ(split_raw_segment_name("/e/disk.00", 3), "/e/disk.02");
  EXPECT_EQ(split_raw_segment_name("/e/xaa", 28), "/e/xbb");
  EXPECT_EQ(split_raw_segment_name("/e/diskaa", 2), "");
  EXPECT_EQ(split_raw_segment_name("/e/disk.AA", 2), "/e/disk.AB");
  EXPECT_EQ(split_raw_segment_name("/e/disk.aa", 26 * 26 + 1), "");
  EXPECT_EQ(split_raw_segment_name("/e/disk.aaa", 26 * 26 + 1), "/e/disk.baa");
  EXPECT_EQ(split_raw_segment_name("/e/disk.dmg", 2), "/e/disk.002.dmgpart");
  EXPECT_EQ(split_raw_segment_name("/e/disk.bin", 2), "/e/disk(2).bin");
  // A name of no scheme is a set of one.
  EXPECT_EQ(split_raw_segment_name("/e/disk.dd", 1), "/e/disk.dd");
  EXPECT_EQ(split_raw_segment_name("/e/disk.dd", 2), "");
  EXPECT_EQ(split_raw_segment_name("/e/disk.002", 2), "");
}

TEST(ImageSet, EwfNamesCountInDigitsThenLetters) {
  EXPECT_EQ(ewf_segment_name("/e/c.E01", 2), "/e/c.E02");
  EXPECT_EQ(ewf_segment_name("/e/c.E01", 99), "/e/c.E99");
  EXPECT_EQ(ewf_segment_name("/e/c.E01", 100), "/e/c.EAA");
  EXPECT_EQ(ewf_segment_name("/e/c.E01", 101), "/e/c.EAB");
  EXPECT_EQ(ewf_segment_name("/e/c.E01", 100 + 26 * 26), "/e/c.FAA");
  EXPECT_EQ(ewf_segment_name("/e/c.e01", 100), "/e/c.eaa");
  EXPECT_EQ(ewf_segment_name("/e/c.s01", 7), "/e/c.s07");
  EXPECT_EQ(ewf_segment_name("/e/c.L01", 2), "/e/c.L02");
  EXPECT_EQ(ewf_segment_name("/e/c.Ex01", 2), "/e/c.Ex02");
  EXPECT_EQ(ewf_segment_name("/e/c.E01", 100 + 26 * 26 * 22), "");  // past .ZZZ
  EXPECT_EQ(ewf_segment_name("/e/c.E02", 2), "");  // not the first segment's name
  EXPECT_EQ(ewf_segment_name("/e/c", 2), "");
}

TEST(ImageSet, ASplitSetWithAGapAShortSegmentAndAFifo) {
  TempDir tree;
  const std::string base = tree / "disk";
  write_file(base + ".001", std::string(4096, '1'));
  write_file(base + ".002", std::string(1024, '2'));  // short
  // .003 missing, .004 there
  write_file(base + ".004", std::string(4096, '4'));
  ASSERT_EQ(mkfifo((base + ".005").c_str(), 0600), 0);
  write_file(base + ".006", std::string(100, '6'));
  const ImageSet set = examine_image_set(base + ".001");
  EXPECT_EQ(set.container, ImageContainer::kRaw);
  EXPECT_EQ(paths_of(set), (std::vector<std::string>{base + ".001", base + ".002", base + ".003",
                                                     base + ".004", base + ".005", base + ".006"}));
  EXPECT_FALSE(set.files[2].present);
  EXPECT_TRUE(set.files[4].present);
  EXPECT_FALSE(set.files[4].usable);
  // The library never opens these: raw sets are read by this program.
  EXPECT_FALSE(set.unsafe);
  EXPECT_EQ(set.problems,
            (std::vector<std::string>{
                "segment " + base + ".003 is missing",
                "segment " + base + ".005 is not a regular file",
                "segment " + base + ".002 is 3072 bytes shorter than the other segments (bytes "
                "5120 to 8191 of the image are missing)"}));
  const SplitRawLayout layout = split_raw_layout(set);
  EXPECT_EQ(layout.segment_size, 4096u);
  EXPECT_EQ(layout.starts, (std::vector<uint64_t>{0, 4096, 8192, 12288, 16384, 20480}));
  EXPECT_EQ(layout.size, 20580u);
}

TEST(ImageSet, ASetOfOneAndSegmentsPastTheLastAreLeftOut) {
  TempDir tree;
  write_file(tree / "disk.dd", std::string(2048, 'x'));
  write_file(tree / "disk.002", "not a segment of disk.dd");
  ImageSet set = examine_image_set(tree / "disk.dd");
  EXPECT_EQ(paths_of(set), std::vector<std::string>{tree / "disk.dd"});
  EXPECT_TRUE(set.problems.empty());
  // Sixteen missing names in a row end a set.
  write_file(tree / "s.001", std::string(512, 'a'));
  write_file(tree / "s.018", std::string(512, 'b'));
  set = examine_image_set(tree / "s.001");
  EXPECT_EQ(paths_of(set), std::vector<std::string>{tree / "s.001"});
  EXPECT_TRUE(set.problems.empty());
  EXPECT_EQ(split_raw_layout(set).size, 512u);
}

TEST(ImageSet, OpeningNeverBlocksAndRefusesWhatIsNoFile) {
  TempDir tree;
  uint64_t size = 0;
  std::string reason;
  ASSERT_EQ(mkfifo((tree / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(open_image_file(tree / "fifo", &size, &reason), -1);
  EXPECT_EQ(reason, "not a regular file");
  EXPECT_EQ(open_image_file("/dev/null", &size, &reason), -1);
  EXPECT_EQ(reason, "not a regular file");
  EXPECT_EQ(open_image_file(tree.path(), &size, &reason), -1);
  EXPECT_EQ(reason, "not a regular file");
  EXPECT_EQ(open_image_file(tree / "absent", &size, &reason), -1);
  EXPECT_EQ(reason, "No such file or directory");
  write_file(tree / "file", std::string(777, 'f'));
  const int fd = static_cast<int>(open_image_file(tree / "file", &size, &reason));
  ASSERT_GE(fd, 0);
  EXPECT_EQ(size, 777u);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);  // reads wait as usual
  close(fd);
}

TEST(ImageSet, VmdkDescriptorsNameExtentsAndParents) {
  const VmdkDescriptor d = parse_vmdk_descriptor(
      "# Disk DescriptorFile\nversion=1\nparentCID=ffffffff\n"
      "parentFileNameHint=\"base.vmdk\"\n"
      "createType=\"twoGbMaxExtentSparse\"\n\n# Extent description\n"
      "RW 4192256 SPARSE \"disk-s001.vmdk\"\r\n"
      "  RDONLY 100 FLAT \"C:\\VMs\\flat.bin\" 0\n"
      "NOACCESS 100 ZERO \n"
      "RW 100 FLAT \"/abs/extent.bin\" 0\n"
      "#RW 100 FLAT \"commented.bin\"\n",
      "/e/");
  EXPECT_EQ(d.extents, (std::vector<std::string>{"/e/disk-s001.vmdk", "/e/flat.bin",
                                                 "/abs/extent.bin"}));
  EXPECT_EQ(d.parent, "/e/base.vmdk");
}

TEST(ImageSet, AVmdkExtentThatIsAFifoMakesTheImageUnsafe) {
  TempDir tree;
  write_file(tree / "d.vmdk",
             "# Disk DescriptorFile\nversion=1\ncreateType=\"monolithicFlat\"\n"
             "RW 8 FLAT \"d-flat.vmdk\" 0\nRW 8 FLAT \"d-2.vmdk\" 0\nRW 8 FLAT \"d-3.vmdk\" 0\n");
  write_file(tree / "d-flat.vmdk", std::string(4096, 0));
  ASSERT_EQ(mkfifo((tree / "d-2.vmdk").c_str(), 0600), 0);
  const ImageSet set = examine_image_set(tree / "d.vmdk");
  EXPECT_EQ(set.container, ImageContainer::kVmdk);
  EXPECT_EQ(paths_of(set), (std::vector<std::string>{tree / "d.vmdk", tree / "d-flat.vmdk",
                                                     tree / "d-2.vmdk", tree / "d-3.vmdk"}));
  EXPECT_TRUE(set.unsafe);
  EXPECT_EQ(set.problems,
            (std::vector<std::string>{"extent " + (tree / "d-2.vmdk") + " is not a regular file",
                                      "extent " + (tree / "d-3.vmdk") + " is missing"}));
}

// A differencing VHD naming its parent by a relative locator.
std::string differencing_vhd(const std::string& parent_name) {
  auto be32 = [](std::string* s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*s)[at + i] = static_cast<char>(v >> (24 - 8 * i));
  };
  auto be64 = [&](std::string* s, size_t at, uint64_t v) {
    be32(s, at, static_cast<uint32_t>(v >> 32));
    be32(s, at + 4, static_cast<uint32_t>(v));
  };
  std::string footer(512, '\0');
  footer.replace(0, 8, "conectix");
  be64(&footer, 16, 512);
  be32(&footer, 60, 4);  // differencing
  std::string header(1024, '\0');
  header.replace(0, 8, "cxsparse");
  for (size_t i = 0; i < parent_name.size(); ++i) header[64 + 2 * i + 1] = parent_name[i];
  std::string locator;
  for (char c : ".\\" + parent_name) {
    locator.push_back(c);
    locator.push_back('\0');
  }
  header.replace(576, 4, "W2ru");
  be32(&header, 576 + 8, static_cast<uint32_t>(locator.size()));
  be64(&header, 576 + 16, 2048);
  std::string file = footer + header + std::string(512, '\0') + locator;
  file.resize(2048 + 512, '\0');
  return file + footer;
}

TEST(ImageSet, VhdParentsAreFoundByTheirLocators) {
  TempDir tree;
  write_file(tree / "child.vhd", differencing_vhd("middle.vhd"));
  write_file(tree / "middle.vhd", differencing_vhd("base.vhd"));
  write_file(tree / "base.vhd", std::string(4096, 0) + std::string(512, 0));
  ImageSet set = examine_image_set(tree / "child.vhd");
  EXPECT_EQ(set.container, ImageContainer::kVhd);
  EXPECT_EQ(paths_of(set), (std::vector<std::string>{tree / "child.vhd", tree / "middle.vhd",
                                                     tree / "base.vhd"}));
  EXPECT_TRUE(set.problems.empty());
  // A parent that is a FIFO is named, never opened in a way that blocks.
  std::filesystem::remove(tree / "base.vhd");
  ASSERT_EQ(mkfifo((tree / "base.vhd").c_str(), 0600), 0);
  set = examine_image_set(tree / "child.vhd");
  EXPECT_EQ(set.problems,
            std::vector<std::string>{"parent " + (tree / "base.vhd") + " is not a regular file"});
  std::filesystem::remove(tree / "base.vhd");
  set = examine_image_set(tree / "child.vhd");
  EXPECT_EQ(set.problems, std::vector<std::string>{"parent " + (tree / "base.vhd") + " is missing"});
}

TEST(ImageSet, EvidenceFilesAreThoseThereInSetOrder) {
  TempDir tree;
  write_file(tree / "disk.001", std::string(4096, 0));
  write_file(tree / "disk.003", std::string(4096, 0));
  EXPECT_EQ(evidence_files((tree / "disk.001").c_str()),
            (std::vector<std::string>{tree / "disk.001", tree / "disk.003"}));
  EXPECT_TRUE(evidence_files((tree / "absent.001").c_str()).empty());
  write_file(tree / "child.vhd", differencing_vhd("base.vhd"));
  write_file(tree / "base.vhd", std::string(4608, 0));
  EXPECT_EQ(evidence_files((tree / "child.vhd").c_str()),
            (std::vector<std::string>{tree / "child.vhd", tree / "base.vhd"}));
}

TEST(ImageSet, EwfSectionChainsOfASegmentedSet) {
  NEED_IMAGE(first, "e01-segments");
  const std::string base = first.substr(0, first.size() - 4);
  ImageSet set = examine_image_set(first);
  EXPECT_EQ(set.container, ImageContainer::kEwf);
  EXPECT_TRUE(set.problems.empty()) << set.problems.front();
  ASSERT_TRUE(set.ewf_checked);
  ASSERT_GE(set.ewf.size(), 10u);
  ASSERT_EQ(set.files.size(), set.ewf.size());
  uint64_t chunks = 0;
  for (size_t i = 0; i < set.ewf.size(); ++i) {
    EXPECT_EQ(set.ewf[i].number, static_cast<int>(i + 1));
    EXPECT_TRUE(set.ewf[i].damage.empty()) << set.ewf[i].damage;
    EXPECT_EQ(set.ewf[i].last, i + 1 == set.ewf.size());
    EXPECT_EQ(set.ewf[i].more, i + 1 != set.ewf.size());
    chunks += set.ewf[i].chunks;
  }
  // The volume section: 64 sectors of 512 bytes a chunk, 16 MiB.
  EXPECT_EQ(set.ewf[0].sectors_per_chunk, 64u);
  EXPECT_EQ(set.ewf[0].bytes_per_sector, 512u);
  EXPECT_EQ(set.ewf[0].sectors, 32768u);
  EXPECT_EQ(chunks, 512u);

  // Without its third segment, and then without its last one.
  TempDir tree;
  std::vector<std::string> copies;
  for (const ImageSetFile& f : set.files) {
    const std::string copy = tree / ("c" + f.path.substr(f.path.size() - 4));
    std::filesystem::copy_file(f.path, copy);
    copies.push_back(copy);
  }
  std::filesystem::remove(copies[2]);
  ImageSet gap = examine_image_set(copies[0]);
  EXPECT_EQ(gap.problems, std::vector<std::string>{"segment " + copies[2] + " is missing"});
  EXPECT_EQ(gap.ewf.size(), 2u);
  std::filesystem::copy_file(set.files[2].path, copies[2]);
  std::filesystem::remove(copies.back());
  ImageSet end = examine_image_set(copies[0]);
  EXPECT_EQ(end.problems, std::vector<std::string>{"segment " + copies.back() + " is missing"});
  EXPECT_EQ(end.ewf.size(), copies.size() - 1);
  EXPECT_TRUE(end.ewf.back().more);

  // A segment cut short: its chain breaks, and it is named.
  std::filesystem::copy_file(set.files.back().path, copies.back());
  std::filesystem::resize_file(copies[1], 5000);
  ImageSet cut = examine_image_set(copies[0]);
  ASSERT_EQ(cut.problems.size(), 1u);
  EXPECT_EQ(cut.problems[0].rfind("segment " + copies[1] + " is damaged (its section at byte ", 0),
            0u)
      << cut.problems[0];
  EXPECT_NE(cut.problems[0].find(", past its end at byte 5000)"), std::string::npos)
      << cut.problems[0];
  EXPECT_EQ(cut.ewf.size(), 1u);
}

}  // namespace
#endif
