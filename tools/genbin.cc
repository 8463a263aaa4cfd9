// Writes synthetic recycle bins: $I index files of both versions with their
// $R companions, laid out as Windows lays out a $RECYCLE.BIN folder.
//
//   genbin --demo DIR            a small bin for a first look
//   genbin --bench DIR N         N index files for the benchmark
//
// Everything is deterministic: the same arguments give the same bytes.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kTicksPerSecond = 10000000ULL;
constexpr uint64_t kSecondsFrom1601To1970 = 11644473600ULL;

uint64_t filetime_from_unix(int64_t seconds) {
  return (static_cast<uint64_t>(seconds) + kSecondsFrom1601To1970) * kTicksPerSecond;
}

// A small, fixed pseudo-random sequence (xorshift64*).
struct Random {
  uint64_t state;
  uint64_t next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
  }
  uint64_t below(uint64_t n) { return next() % n; }
};

void put_le(std::string* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// The UTF-16LE form of a name given as code units.
std::string utf16(const std::u16string& name) {
  std::string out;
  for (char16_t u : name) put_le(&out, u, 2);
  return out;
}

std::string index_file(int version, int64_t size, uint64_t deleted, const std::u16string& name) {
  std::string out;
  put_le(&out, static_cast<uint64_t>(version), 8);
  put_le(&out, static_cast<uint64_t>(size), 8);
  put_le(&out, deleted, 8);
  if (version == 1) {
    std::string path = utf16(name);
    path.resize(520, '\0');  // 260 code units, zero-padded
    out += path;
  } else {
    put_le(&out, name.size() + 1, 4);
    out += utf16(name);
    put_le(&out, 0, 2);
  }
  return out;
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) {
    fprintf(stderr, "genbin: cannot write %s\n", path.string().c_str());
    exit(1);
  }
}

void set_mtime(const fs::path& path, int64_t unix_seconds) {
  const auto sys = std::chrono::system_clock::time_point(std::chrono::seconds(unix_seconds));
  std::error_code ec;
  fs::last_write_time(path, std::chrono::file_clock::from_sys(sys), ec);
}

// Latin-1 text given as UTF-8 in the source, as UTF-16 code units.
std::u16string from_utf8(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      out.push_back(c);
      i += 1;
    } else {
      out.push_back(static_cast<char16_t>(((c & 0x1F) << 6) | (s[i + 1] & 0x3F)));
      i += 2;
    }
  }
  return out;
}

const char kDesktopIni[] =
    "\r\n[.ShellClassInfo]\r\nCLSID={645FF040-5081-101B-9F08-00AA002F954E}\r\n"
    "LocalizedResourceName=@%SystemRoot%\\system32\\shell32.dll,-8964\r\n";

enum class Companion { kFile, kDirectory, kMissing };

struct DemoItem {
  const char* id;
  const char* extension;  // with its dot, or ""
  int version;
  int64_t size;
  int64_t deleted;  // unix seconds
  const char* original;
  Companion companion;
};

int make_demo(const fs::path& root) {
  const fs::path bin = root / "$RECYCLE.BIN";
  const fs::path user1 = bin / "S-1-5-21-3623811015-3361044348-30300820-1001";
  const fs::path user2 = bin / "S-1-5-21-3623811015-3361044348-30300820-1002";
  fs::create_directories(user1);
  fs::create_directories(user2);
  write_file(user1 / "desktop.ini", kDesktopIni);
  write_file(user2 / "desktop.ini", kDesktopIni);

  const DemoItem items[] = {
      {"8Q2XK1", ".txt", 2, 1234, 1614834367, "C:\\Users\\x\\Documents\\notes.txt", Companion::kFile},
      {"R3SUM3", ".docx", 2, 48213, 1700000000, "C:\\Users\\x\\Documents\\Résumé Müller.docx", Companion::kFile},
      {"F0LD3R", "", 2, 7340032, 1700003600, "C:\\Users\\x\\Pictures\\Ferien am Wörthersee", Companion::kDirectory},
      {"G0NE01", ".pdf", 2, 90112, 1700007200, "C:\\Users\\x\\Downloads\\Jahresübersicht.pdf", Companion::kMissing},
      {"V1OLD1", ".exe", 1, 704512, 1190357910, "C:\\Users\\student\\Downloads\\nc.exe", Companion::kFile},
      {"V1OLD2", "", 1, 0, 1190357269, "C:\\Users\\student\\Desktop\\New Folder 1", Companion::kMissing},
      {"B1G000", ".vmdk", 2, 10737418240LL, 1190366545, "D:\\Virtual Machines\\XP\\XP-flat.vmdk", Companion::kFile},
      {"CAF3E0", ".xlsx", 2, 16384, 1382385172, "C:\\Users\\Zoë\\Café Crème.xlsx", Companion::kFile},
  };
  int n = 0;
  for (const DemoItem& item : items) {
    const fs::path& dir = (n++ % 3 == 2) ? user2 : user1;
    const std::string tail = std::string(item.id) + item.extension;
    write_file(dir / ("$I" + tail),
               index_file(item.version, item.size, filetime_from_unix(item.deleted),
                          from_utf8(item.original)));
    const fs::path r = dir / ("$R" + tail);
    switch (item.companion) {
      case Companion::kFile:
        write_file(r, std::string(static_cast<size_t>(item.size < 64 ? item.size : 64), 'x'));
        set_mtime(r, item.deleted - 86400);
        break;
      case Companion::kDirectory:
        // A folder with a folder inside: its contents are reported below it.
        fs::create_directories(r / "Tag 2");
        write_file(r / "IMG_0001.JPG", "jpeg");
        write_file(r / "Tag 2" / "IMG_0002.JPG", "jpeg 2");
        set_mtime(r / "Tag 2", item.deleted - 7200);
        set_mtime(r, item.deleted - 3600);
        break;
      case Companion::kMissing:
        break;
    }
  }
  return 0;
}

// A large bin for the benchmark: about 20 user folders, 75% version 2,
// paths of 40 to 120 characters, a third with Latin-1 letters; companions
// 85% files, 10% directories holding a few files, 5% missing.
int make_bench(const fs::path& root, long count) {
  const fs::path bin = root / "$RECYCLE.BIN";
  Random rnd{0x9E3779B97F4A7C15ULL};
  const int users = 20;
  std::vector<fs::path> folders;
  for (int u = 0; u < users; ++u) {
    folders.push_back(bin / ("S-1-5-21-1004336348-1177238915-682003330-" + std::to_string(1000 + u)));
    fs::create_directories(folders.back());
    write_file(folders.back() / "desktop.ini", kDesktopIni);
  }
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static const char* const kExtensions[] = {".docx", ".txt", ".jpg", ".pdf", ".xlsx", ".zip", ""};
  static const char16_t kLatin1[] = u"éüöäßñçøåÉÜÖ";
  for (long i = 0; i < count; ++i) {
    const fs::path& dir = folders[static_cast<size_t>(i % users)];
    std::string id;
    long v = i;
    for (int k = 0; k < 6; ++k) {
      id.push_back(kAlphabet[v % 36]);
      v /= 36;
    }
    const char* ext = kExtensions[rnd.below(7)];
    const std::string tail = id + ext;
    std::u16string name = u"C:\\Users\\examiner\\Documents\\";
    const size_t length = 40 + static_cast<size_t>(rnd.below(81));
    const bool latin1 = rnd.below(3) == 0;
    while (name.size() + std::strlen(ext) < length) {
      if (latin1 && rnd.below(8) == 0) {
        name.push_back(kLatin1[rnd.below(12)]);
      } else if (rnd.below(10) == 0) {
        name.push_back(u'\\');
      } else {
        name.push_back(static_cast<char16_t>('a' + rnd.below(26)));
      }
    }
    for (const char* e = ext; *e; ++e) name.push_back(static_cast<char16_t>(*e));
    const int version = rnd.below(4) == 0 ? 1 : 2;
    const int64_t deleted = 1500000000 + static_cast<int64_t>(rnd.below(200000000));
    write_file(dir / ("$I" + tail),
               index_file(version, static_cast<int64_t>(rnd.below(1u << 30)),
                          filetime_from_unix(deleted), name));
    const uint64_t roll = rnd.below(100);
    const fs::path r = dir / ("$R" + tail);
    if (roll < 85) {
      write_file(r, std::string(static_cast<size_t>(rnd.below(512)), 'r'));
    } else if (roll < 95) {
      fs::create_directories(r);
      for (int f = 0; f < 3; ++f) write_file(r / ("file" + std::to_string(f) + ".txt"), "x");
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--demo") == 0) return make_demo(argv[2]);
  if (argc == 4 && strcmp(argv[1], "--bench") == 0) return make_bench(argv[2], atol(argv[3]));
  fprintf(stderr, "usage: genbin --demo DIR | --bench DIR COUNT\n");
  return 2;
}
