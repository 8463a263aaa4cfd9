// The reader of NTFS folder indexes on hand-built index roots and records:
// update sequence fixups, records found by signature wherever they lie,
// entries of sub-nodes, the space past a node's end searched for deleted
// names (and garbage there passed over), 8.3 names, bad offsets and sizes;
// and the folder's table of names and the name conversion against The
// Sleuth Kit's own functions.
#ifdef BINSIFT_HAVE_TSK
#include "image/ntfs_index.h"

#include <gtest/gtest.h>
#include <tsk/libtsk.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/dynamic_library.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kFolder = 70;
constexpr uint64_t kTime2010 = 129067776000000000ull;  // 2010-01-01
constexpr uint64_t kTime2023 = 133170048000000000ull;  // 2023-01-01, past the library's limit

void put(Bytes* b, size_t at, uint64_t v, int n) {
  if (b->size() < at + n) b->resize(at + n);
  for (int i = 0; i < n; ++i) (*b)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

struct EntryPlan {
  uint64_t entry = 100;
  uint16_t sequence = 1;
  std::u16string name = u"a";
  uint8_t name_space = 1;  // Win32
  bool directory = false;
  uint64_t parent = kFolder;
  uint64_t times = kTime2010;
  bool subnode = false;
  bool zero_key_length = false;  // as a deleted entry may be left
};

// An index entry with a $FILE_NAME key.
Bytes entry(const EntryPlan& s) {
  Bytes e;
  const size_t key = 66 + 2 * s.name.size();
  size_t length = (16 + key + 7) / 8 * 8;
  if (s.subnode) length += 8;
  put(&e, 0, s.entry, 6);
  put(&e, 6, s.sequence, 2);
  put(&e, 8, length, 2);
  put(&e, 10, s.zero_key_length ? 0 : key, 2);
  put(&e, 12, s.subnode ? 1 : 0, 4);
  put(&e, 16, s.parent, 6);
  put(&e, 22, 1, 2);
  for (int t = 0; t < 4; ++t) put(&e, 24 + 8 * t, s.times, 8);
  put(&e, 56, 4096, 8);  // allocated size
  put(&e, 64, 100, 8);   // real size
  put(&e, 72, s.directory ? 0x10000000 : 0x20, 8);
  put(&e, 80, s.name.size(), 1);
  put(&e, 81, s.name_space, 1);
  for (size_t i = 0; i < s.name.size(); ++i) put(&e, 82 + 2 * i, s.name[i], 2);
  e.resize(length);
  if (s.subnode) put(&e, length - 8, 3, 8);  // the sub-node's VCN
  return e;
}

// The entry that ends a node.
Bytes last_entry(bool subnode = false) {
  Bytes e(subnode ? 24 : 16, 0);
  put(&e, 8, e.size(), 2);
  put(&e, 12, subnode ? 3 : 2, 4);
  return e;
}

Bytes join(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// An $INDEX_ROOT attribute's value holding `entries`, and `slack` after the
// node's end.
Bytes index_root(const Bytes& entries, const Bytes& slack = {}, uint32_t flags = 0) {
  Bytes r;
  put(&r, 0, 0x30, 4);
  put(&r, 4, 1, 4);
  put(&r, 8, 4096, 4);
  put(&r, 12, 1, 1);
  put(&r, 16, 16, 4);                                  // entries start
  put(&r, 20, 16 + entries.size(), 4);                 // the node's end
  put(&r, 24, 16 + entries.size() + slack.size(), 4);  // its space
  put(&r, 28, flags, 4);
  r.insert(r.end(), entries.begin(), entries.end());
  r.insert(r.end(), slack.begin(), slack.end());
  return r;
}

// A 4096-byte INDX record at `vcn` holding `entries` and `slack`, its
// sectors' last two bytes saved in the update sequence array, as on disk.
Bytes index_record(uint64_t vcn, const Bytes& entries, const Bytes& slack = {}, uint16_t usn = 7) {
  Bytes r(4096, 0);
  std::memcpy(r.data(), "INDX", 4);
  put(&r, 4, 40, 2);  // update sequence array
  put(&r, 6, 9, 2);   // 8 sectors + 1
  put(&r, 16, vcn, 8);
  put(&r, 24, 40, 4);  // entries start (from the node header at 24): 64
  put(&r, 28, 40 + entries.size(), 4);
  put(&r, 32, 4096 - 24, 4);
  std::copy(entries.begin(), entries.end(), r.begin() + 64);
  std::copy(slack.begin(), slack.end(), r.begin() + 64 + entries.size());
  put(&r, 40, usn, 2);
  for (int i = 1; i <= 8; ++i) {
    const size_t end = 512u * i - 2;
    r[40 + 2 * i] = r[end];
    r[41 + 2 * i] = r[end + 1];
    put(&r, end, usn, 2);
  }
  return r;
}

NtfsIndexVolume volume() {
  NtfsIndexVolume v;
  v.first_entry = 0;
  v.last_entry = 100000;
  v.cluster_size = 4096;
  return v;
}

struct Listed {
  std::string name;
  uint64_t entry;
  uint32_t sequence;
  NtfsNameType type;
  bool allocated;
  bool operator==(const Listed&) const = default;
};

std::ostream& operator<<(std::ostream& o, const Listed& l) {
  return o << l.name << "/" << l.entry << "/" << l.sequence << "/" << static_cast<int>(l.type)
           << (l.allocated ? "" : " deleted");
}

std::vector<Listed> listed(const NtfsFolderNames& names) {
  std::vector<Listed> out;
  for (size_t i = 0; i < names.size(); ++i) {
    const NtfsFolderName& n = names.at(i);
    out.push_back({names.text(i), n.entry, n.sequence, n.type, n.allocated});
  }
  return out;
}

std::vector<Listed> read_root(const Bytes& root, bool deleted = false, bool* ok = nullptr) {
  // Copied to a heap buffer, as the library's copy of the attribute is.
  std::vector<uint8_t> copy(root);
  NtfsFolderNames names;
  bool children = false;
  const bool read = read_index_root(copy, kFolder, deleted, volume(), &children, &names);
  if (ok != nullptr) *ok = read;
  return read ? listed(names) : std::vector<Listed>{{"REFUSED", 0, 0, NtfsNameType::kUndefined, false}};
}

constexpr NtfsNameType kReg = NtfsNameType::kRegular;
constexpr NtfsNameType kDir = NtfsNameType::kDirectory;

TEST(NtfsIndex, RootNamesInOrderWithTheirKindsAnd83NamesLeftOut) {
  EntryPlan a{.entry = 101, .sequence = 3, .name = u"$IAB12CD.txt"};
  EntryPlan a_dos{.entry = 101, .name = u"$IAB12~1.TXT", .name_space = 2};
  EntryPlan b{.entry = 102, .name = u"sub", .name_space = 3, .directory = true};
  EntryPlan c{.entry = 103, .name = u"posix name", .name_space = 0};
  const Bytes root = index_root(join({entry(a), entry(a_dos), entry(b), entry(c), last_entry()}));
  EXPECT_EQ(read_root(root), (std::vector<Listed>{{"$IAB12CD.txt", 101, 3, kReg, true},
                                                  {"sub", 102, 1, kDir, true},
                                                  {"posix name", 103, 1, kReg, true}}));
  // The whole folder deleted: its names too.
  EXPECT_FALSE(read_root(root, true)[0].allocated);
}

TEST(NtfsIndex, EntriesOfAnotherFolderOrEntryOutOfRangeArePassedOver) {
  EntryPlan other{.entry = 104, .name = u"elsewhere", .parent = 71};
  EntryPlan far{.entry = 200000, .name = u"far"};
  EntryPlan ok{.entry = 105, .name = u"here"};
  EXPECT_EQ(read_root(index_root(join({entry(other), entry(far), entry(ok), last_entry()}))),
            (std::vector<Listed>{{"here", 105, 1, kReg, true}}));
}

TEST(NtfsIndex, SubNodeEntriesAreReadWhole) {
  EntryPlan a{.entry = 110, .name = u"one", .subnode = true};
  EntryPlan b{.entry = 111, .name = u"two", .subnode = true};
  bool ok = false;
  EXPECT_EQ(read_root(index_root(join({entry(a), entry(b), last_entry(true)}), {}, 1), false, &ok),
            (std::vector<Listed>{{"one", 110, 1, kReg, true}, {"two", 111, 1, kReg, true}}));
  EXPECT_TRUE(ok);
  NtfsFolderNames names;
  bool children = false;
  Bytes root = index_root(join({entry(a), last_entry(true)}), {}, 1);
  ASSERT_TRUE(read_index_root(root, kFolder, false, volume(), &children, &names));
  EXPECT_TRUE(children);
}

TEST(NtfsIndex, DeletedNamesPastTheNodesEndAreFoundWhenPlausible) {
  EntryPlan live{.entry = 120, .name = u"live"};
  EntryPlan gone{.entry = 121, .sequence = 4, .name = u"gone", .zero_key_length = true};
  EntryPlan recent{.entry = 122, .name = u"recent", .times = kTime2023};
  EntryPlan dos{.entry = 123, .name = u"bad", .name_space = 9};
  // Garbage first: the search moves 4 bytes at a time until an entry fits.
  const Bytes slack = join({Bytes(12, 0xEE), entry(recent), entry(dos), entry(gone), Bytes(64, 0)});
  EXPECT_EQ(read_root(index_root(join({entry(live), last_entry()}), slack)),
            (std::vector<Listed>{{"live", 120, 1, kReg, true}, {"gone", 121, 4, kReg, false}}));
}

TEST(NtfsIndex, BadRootOffsetsAndTypesAreTheLibrarysToRefuse) {
  const Bytes good = index_root(join({entry(EntryPlan{}), last_entry()}));
  bool ok = true;
  Bytes b = good;
  put(&b, 0, 0x80, 4);  // an index of another attribute
  read_root(b, false, &ok);
  EXPECT_FALSE(ok);
  b = good;
  put(&b, 20, 8, 4);  // the node ends before it starts
  read_root(b, false, &ok);
  EXPECT_FALSE(ok);
  b = good;
  put(&b, 24, 4000, 4);  // its space past the attribute
  read_root(b, false, &ok);
  EXPECT_FALSE(ok);
  read_root(Bytes(good.begin(), good.begin() + 20), false, &ok);
  EXPECT_FALSE(ok);
  // An entry whose length is no multiple of 4, or longer than the node, is
  // no entry: passed over, not refused.
  EntryPlan odd{.entry = 130, .name = u"odd"};
  Bytes e = entry(odd);
  put(&e, 8, e.size() + 2, 2);
  EXPECT_EQ(read_root(index_root(join({e, entry(EntryPlan{.entry = 131, .name = u"next"}), last_entry()}))),
            (std::vector<Listed>{{"next", 131, 1, kReg, true}}));
}

TEST(NtfsIndex, RecordsAreFixedUpAndReadInTheOrderTheyLie) {
  // A name across the end of a sector: its bytes there come from the
  // update sequence array.
  std::vector<Bytes> first;
  size_t used = 0;
  int n = 0;
  while (used < 600) {
    first.push_back(entry(EntryPlan{.entry = static_cast<uint64_t>(200 + n), .name = u"a file number " +
                                                                               std::u16string(1, static_cast<char16_t>(u'A' + n)) + u"!"}));
    used += first.back().size();
    ++n;
  }
  first.push_back(last_entry());
  const Bytes second = join({entry(EntryPlan{.entry = 300, .name = u"in vcn 0"}), last_entry()});
  // VCN 1 lies first in the allocation: the order is the allocation's.
  Bytes allocation = join({index_record(1, join(first)), index_record(0, second)});
  NtfsFolderNames names;
  ASSERT_TRUE(read_index_allocation(allocation, kFolder, false, volume(), &names));
  std::vector<Listed> got = listed(names);
  ASSERT_EQ(got.size(), static_cast<size_t>(n + 1));
  for (int i = 0; i < n; ++i)
    EXPECT_EQ(got[i], (Listed{"a file number " + std::string(1, static_cast<char>('A' + i)) + "!",
                              static_cast<uint64_t>(200 + i), 1, kReg, true}));
  EXPECT_EQ(got[n].name, "in vcn 0");
}

TEST(NtfsIndex, ARecordWhoseSectorsDoNotCarryItsSequenceNumberIsRefused) {
  Bytes allocation = index_record(0, join({entry(EntryPlan{}), last_entry()}));
  allocation[1022] ^= 1;  // the end of the second sector
  NtfsFolderNames names;
  EXPECT_FALSE(read_index_allocation(allocation, kFolder, false, volume(), &names));
  // A record claiming more sectors than it has.
  allocation = index_record(0, join({entry(EntryPlan{}), last_entry()}));
  put(&allocation, 6, 10, 2);
  EXPECT_FALSE(read_index_allocation(allocation, kFolder, false, volume(), &names));
  // An entry list that starts past the record.
  allocation = index_record(0, join({entry(EntryPlan{}), last_entry()}));
  put(&allocation, 24, 5000, 4);
  EXPECT_FALSE(read_index_allocation(allocation, kFolder, false, volume(), &names));
}

TEST(NtfsIndex, AClusterWithoutASignatureBelongsToTheRecordBefore) {
  // An unused cluster (an old record whose signature was wiped) after the
  // first record: its deleted names are searched as the first record's.
  Bytes stale(4096, 0);
  const Bytes old = entry(EntryPlan{.entry = 400, .sequence = 2, .name = u"old name"});
  std::copy(old.begin(), old.end(), stale.begin() + 100);
  Bytes allocation = join({index_record(0, join({entry(EntryPlan{.entry = 401, .name = u"kept"}), last_entry()})),
                           stale});
  NtfsFolderNames names;
  ASSERT_TRUE(read_index_allocation(allocation, kFolder, false, volume(), &names));
  EXPECT_EQ(listed(names), (std::vector<Listed>{{"kept", 401, 1, kReg, true},
                                                {"old name", 400, 2, kReg, false}}));
  // No record at all: nothing, and nothing refused.
  Bytes empty(8192, 0);
  names.clear();
  EXPECT_TRUE(read_index_allocation(empty, kFolder, false, volume(), &names));
  EXPECT_EQ(names.size(), 0u);
  // Less than a record's header left at a cluster: refused.
  Bytes short_tail(4096 + 20, 0);
  EXPECT_FALSE(read_index_allocation(short_tail, kFolder, false, volume(), &names));
}

TEST(NtfsIndex, ANameReachingPastTheBytesIsLeftToTheLibrary) {
  Bytes e = entry(EntryPlan{.entry = 500, .name = u"truncated"});
  Bytes root = index_root(join({e, last_entry()}));
  put(&root, 32 + 80, 250, 1);  // the name claims 250 characters
  bool ok = true;
  read_root(root, false, &ok);
  EXPECT_FALSE(ok);
}

TEST(NtfsFolderNames, ADeletedNameGivesWayToTheLiveOneOfTheSameEntry) {
  NtfsFolderNames names;
  names.add(10, 1, "x", kReg, false);
  names.add(11, 1, "x", kReg, true);   // another entry: a name of its own
  names.add(10, 2, "x", kDir, true);   // takes the deleted one's place
  names.add(10, 3, "x", kReg, false);  // the live one stays
  names.add(11, 5, "x", kReg, true);
  EXPECT_EQ(listed(names), (std::vector<Listed>{{"x", 10, 2, kDir, true}, {"x", 11, 1, kReg, true}}));
  EXPECT_TRUE(names.has_allocated(10, NtfsFolderNames::library_hash("x")));
  EXPECT_FALSE(names.has_allocated(12, NtfsFolderNames::library_hash("x")));
  names.clear();
  EXPECT_EQ(names.size(), 0u);
  EXPECT_FALSE(names.has_allocated(10, NtfsFolderNames::library_hash("x")));
}

TEST(NtfsIndex, NamesConvertAsTheLibraryConvertsThem) {
  auto utf8 = [](std::u16string s) {
    std::vector<uint8_t> b;
    for (char16_t c : s) {
      b.push_back(static_cast<uint8_t>(c));
      b.push_back(static_cast<uint8_t>(c >> 8));
    }
    std::string out;
    ntfs_name_to_utf8(b.data(), s.size(), &out);
    return out;
  };
  EXPECT_EQ(utf8(u"$Ié€"), "$I\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(utf8(u"a\U0001F600b"), "a\xF0\x9F\x98\x80" "b");
  EXPECT_EQ(utf8(std::u16string(u"a") + char16_t(0xDC00) + u"b"), "a^b");
  // A high surrogate takes the next unit with it when that is no low one.
  EXPECT_EQ(utf8(std::u16string(u"a") + char16_t(0xD800) + u"bc"), "a^c");
  EXPECT_EQ(utf8(std::u16string(u"ab") + char16_t(0xD800)), "ab");
  EXPECT_EQ(utf8(std::u16string(u"ab\0cd", 5)), "ab");
}

// The library's own functions, where its shared object can be loaded;
// some of them it exports without declaring them in its public headers.
struct Library {
  LibraryHandle handle = nullptr;
  int (*utf16_to_utf8)(TSK_ENDIAN_ENUM endian, const uint16_t** from, const uint16_t* from_end,
                       uint8_t** to, uint8_t* to_end, int lenient) = nullptr;
  TSK_FS_DIR* (*dir_alloc)(TSK_FS_INFO* fs, TSK_INUM_T addr, size_t count) = nullptr;
  uint8_t (*dir_add)(TSK_FS_DIR* dir, const TSK_FS_NAME* name) = nullptr;
  decltype(&::tsk_fs_dir_close) dir_close = nullptr;
  uint32_t (*dir_hash)(const char* name) = nullptr;
  Library() {
    std::string why;
    handle = load_library("libtsk.so", &why);
    if (handle == nullptr) handle = load_library("libtsk.so.19", &why);
    if (handle == nullptr) return;
    utf16_to_utf8 = reinterpret_cast<decltype(utf16_to_utf8)>(library_symbol(handle, "tsk_UTF16toUTF8"));
    dir_alloc = reinterpret_cast<decltype(dir_alloc)>(library_symbol(handle, "tsk_fs_dir_alloc"));
    dir_add = reinterpret_cast<decltype(dir_add)>(library_symbol(handle, "tsk_fs_dir_add"));
    dir_close = reinterpret_cast<decltype(dir_close)>(library_symbol(handle, "tsk_fs_dir_close"));
    dir_hash = reinterpret_cast<decltype(dir_hash)>(library_symbol(handle, "tsk_fs_dir_hash"));
  }
  bool complete() const { return utf16_to_utf8 && dir_alloc && dir_add && dir_close && dir_hash; }
};

TEST(NtfsIndex, RandomNamesConvertAsTheLibrarysFunctionConvertsThem) {
  Library tsk;
  if (!tsk.complete()) GTEST_SKIP() << "The Sleuth Kit's library cannot be loaded here";
  std::mt19937 rng(7);
  const uint16_t pool[] = {0x41, 0x7A, 0x24, 0xE9, 0x20AC, 0xD83D, 0xDE00, 0xDBFF, 0xDC00, 0xFFFF, 0x0, 0x7F, 0x80, 0x7FF, 0x800};
  for (int round = 0; round < 20000; ++round) {
    const size_t units = rng() % 12;
    std::vector<uint8_t> b;
    for (size_t i = 0; i < units; ++i) {
      const uint16_t c = rng() % 3 == 0 ? static_cast<uint16_t>(rng()) : pool[rng() % std::size(pool)];
      b.push_back(static_cast<uint8_t>(c));
      b.push_back(static_cast<uint8_t>(c >> 8));
    }
    std::string mine;
    ntfs_name_to_utf8(b.data(), units, &mine);
    // As the library's folder load calls it: into a buffer of 1024 bytes,
    // ended where the conversion stopped, read as a C string.
    uint8_t out[1025] = {};
    std::vector<uint16_t> in(units + 1);
    if (!b.empty()) std::memcpy(in.data(), b.data(), b.size());
    const uint16_t* from = in.data();
    uint8_t* to = out;
    tsk.utf16_to_utf8(TSK_LIT_ENDIAN, &from, in.data() + units, &to, out + 1024, 1 /* lenient */);
    *to = '\0';
    ASSERT_EQ(mine, std::string(reinterpret_cast<char*>(out))) << "round " << round;
  }
}

TEST(NtfsFolderNames, NamesAddAsTheLibraryAddsThem) {
  Library tsk;
  if (!tsk.complete()) GTEST_SKIP() << "The Sleuth Kit's library cannot be loaded here";
  TSK_FS_INFO fs{};
  fs.ftype = TSK_FS_TYPE_NTFS;
  fs.tag = TSK_FS_INFO_TAG;
  std::mt19937 rng(11);
  const char* words[] = {"a", "b", "$IX.txt", "$RX.txt", "\xC3\xA9/", "..", ""};
  for (int round = 0; round < 300; ++round) {
    TSK_FS_DIR* theirs = tsk.dir_alloc(&fs, kFolder, 4);
    ASSERT_NE(theirs, nullptr);
    NtfsFolderNames mine;
    char text[16];
    for (int i = 0; i < 60; ++i) {
      TSK_FS_NAME n{};
      std::snprintf(text, sizeof text, "%s", words[rng() % std::size(words)]);
      n.tag = TSK_FS_NAME_TAG;
      n.name = text;
      n.name_size = sizeof text;
      n.meta_addr = 10 + rng() % 4;
      n.meta_seq = static_cast<uint32_t>(rng() % 3);
      n.type = rng() % 2 ? TSK_FS_NAME_TYPE_REG : TSK_FS_NAME_TYPE_DIR;
      n.flags = rng() % 2 ? TSK_FS_NAME_FLAG_ALLOC : TSK_FS_NAME_FLAG_UNALLOC;
      ASSERT_EQ(tsk.dir_add(theirs, &n), 0);
      mine.add(n.meta_addr, n.meta_seq, text, n.type == TSK_FS_NAME_TYPE_REG ? kReg : kDir,
               n.flags == TSK_FS_NAME_FLAG_ALLOC);
    }
    ASSERT_EQ(mine.size(), theirs->names_used);
    for (size_t i = 0; i < mine.size(); ++i) {
      const TSK_FS_NAME& t = theirs->names[i];
      const NtfsFolderName& m = mine.at(i);
      ASSERT_STREQ(mine.text(i), t.name);
      ASSERT_EQ(m.entry, t.meta_addr);
      ASSERT_EQ(m.sequence, t.meta_seq);
      ASSERT_EQ(m.allocated, t.flags == TSK_FS_NAME_FLAG_ALLOC);
      ASSERT_EQ(m.type == kDir, t.type == TSK_FS_NAME_TYPE_DIR);
      ASSERT_EQ(m.hash, tsk.dir_hash(t.name));
    }
    for (uint64_t e = 10; e < 14; ++e) {
      for (const char* w : words) {
        bool alloc = false;
        for (size_t i = 0; i < theirs->names_used; ++i)
          alloc |= theirs->names[i].meta_addr == e && tsk.dir_hash(theirs->names[i].name) == tsk.dir_hash(w) &&
                   theirs->names[i].flags == TSK_FS_NAME_FLAG_ALLOC;
        ASSERT_EQ(mine.has_allocated(e, NtfsFolderNames::library_hash(w)), alloc);
      }
    }
    tsk.dir_close(theirs);
  }
}

}  // namespace
#endif
