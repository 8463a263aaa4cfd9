// Hives read through hivex, loaded by its SONAME when the first hive is
// read.  hivex maps the file it opens; it is only ever given a sealed copy
// in memory, opened by its /proc/self/fd name, so nothing can change or
// cut the bytes it maps, and the evidence is never opened by the library.
//
// hivex reports a failure by a null or zero result and errno.  A key or
// value that cannot be read is a problem of the hive: the first one is
// kept for the status, and reading goes on with the rest, so that what can
// be read is still read.
#include <hivex.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "platform/ascii.h"
#include "platform/dynamic_library.h"
#include "platform/image_files.h"
#include "platform/memory_file.h"
#include "platform/utf8.h"
#include "users/hive_reader.h"
#include "users/registry_values.h"
#include "users/sid.h"

#ifndef BINSIFT_HIVEX_LIBRARY
#define BINSIFT_HIVEX_LIBRARY "libhivex.so.0"
#endif

const bool kHiveSupport = true;
const char kHiveUnsupportedMessage[] = "Registry hives are not supported by this build";
const char kHiveLibrary[] = BINSIFT_HIVEX_LIBRARY;

namespace {

// The value types a ProfileImagePath may have.
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;

// The library's functions this file calls, found when it is loaded.  A
// value's type is any 32-bit number (a SAM keeps RIDs there), more than
// the enumeration hive_type names, so the two functions that give it are
// called with a plain 32-bit number in its place.
static_assert(sizeof(hive_type) == sizeof(uint32_t));
using ValueTypeFunction = int (*)(hive_h*, hive_value_h, uint32_t*, size_t*);
using ValueValueFunction = char* (*)(hive_h*, hive_value_h, uint32_t*, size_t*);

#define BINSIFT_HIVEX_FUNCTIONS(X)                                                                 \
  X(hivex_open, decltype(&::hivex_open)) X(hivex_close, decltype(&::hivex_close))                  \
  X(hivex_root, decltype(&::hivex_root)) X(hivex_node_children, decltype(&::hivex_node_children))  \
  X(hivex_node_name, decltype(&::hivex_node_name))                                                  \
  X(hivex_node_values, decltype(&::hivex_node_values))                                              \
  X(hivex_value_key, decltype(&::hivex_value_key)) X(hivex_value_type, ValueTypeFunction)          \
  X(hivex_value_value, ValueValueFunction)

struct HivexLibrary {
#define BINSIFT_HIVEX_MEMBER(name, type) type name = nullptr;
  BINSIFT_HIVEX_FUNCTIONS(BINSIFT_HIVEX_MEMBER)
#undef BINSIFT_HIVEX_MEMBER
  LibraryHandle handle = nullptr;
};

HivexLibrary lib;

// Loads the library once; false with the reason when it cannot be.
bool load_hivex(std::string* reason) {
  if (lib.handle != nullptr) return true;
  std::string why;
  const LibraryHandle handle = load_library(BINSIFT_HIVEX_LIBRARY, &why);
  if (handle == nullptr) {
    *reason = "the hivex library cannot be loaded (" + (!why.empty() ? why : std::string(BINSIFT_HIVEX_LIBRARY)) + ")";
    return false;
  }
  HivexLibrary loaded;
#define BINSIFT_HIVEX_LOAD(name, type)                                       \
  loaded.name = reinterpret_cast<type>(library_symbol(handle, #name));       \
  if (loaded.name == nullptr) {                                              \
    *reason = "the hivex library " BINSIFT_HIVEX_LIBRARY " lacks " #name;    \
    unload_library(handle);                                                  \
    return false;                                                            \
  }
  BINSIFT_HIVEX_FUNCTIONS(BINSIFT_HIVEX_LOAD)
#undef BINSIFT_HIVEX_LOAD
  loaded.handle = handle;
  lib = loaded;
  return true;
}

// What the library allocates, freed as it says.
struct FreeWithLibc {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, FreeWithLibc>;

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
  }
  return true;
}

// The keys and values of one open hive, each failure of the library kept
// (the first one) with what was being read.
class HiveWalk {
 public:
  explicit HiveWalk(hive_h* hive) : hive_(hive) {}

  const std::string& problem() const { return problem_; }

  // The root key; 0 when it cannot be read.
  hive_node_h root() {
    errno = 0;
    const hive_node_h node = lib.hivex_root(hive_);
    if (node == 0) {
      const int error = errno;
      fail(error, "the root key cannot be read");
    }
    return node;
  }

  // The subkeys of `key` (named `where`); null when they cannot be read.
  Owned<hive_node_h> children(hive_node_h key, std::string_view where) {
    errno = 0;
    Owned<hive_node_h> list(lib.hivex_node_children(hive_, key));
    if (!list) {
      const int error = errno;
      fail(error, "the subkeys of " + std::string(where) + " cannot be read");
    }
    return list;
  }

  // The name of the key `key`, a subkey of `where`; false when it cannot
  // be read.
  bool name(hive_node_h key, std::string_view where, std::string* out) {
    errno = 0;
    Owned<char> text(lib.hivex_node_name(hive_, key));
    if (!text) {
      const int error = errno;
      fail(error, "a subkey of " + std::string(where) + " cannot be read");
      return false;
    }
    out->assign(text.get());
    return true;
  }

  // The subkey `name` of `key` (named `where`, names in any case); 0 when
  // there is none or it cannot be read.
  hive_node_h child(hive_node_h key, std::string_view where, std::string_view wanted) {
    const Owned<hive_node_h> list = children(key, where);
    if (!list) return 0;
    std::string name;
    for (const hive_node_h* p = list.get(); *p != 0; ++p) {
      if (this->name(*p, where, &name) && same_name(name, wanted)) return *p;
    }
    return 0;
  }

  // The key at `path` ("A\B\C") below the root; 0 when there is none or
  // it cannot be read.
  hive_node_h key(hive_node_h root, std::string_view path) {
    hive_node_h node = root;
    size_t start = 0;
    while (node != 0 && start <= path.size()) {
      const size_t end = std::min(path.find('\\', start), path.size());
      node = child(node, start == 0 ? "the root key" : path.substr(0, start - 1), path.substr(start, end - start));
      start = end + 1;
    }
    return node;
  }

  // The value named `wanted` of the key `key` (named `where`; "" is the
  // key's default value); 0 when there is none or it cannot be read.
  hive_value_h value(hive_node_h key, std::string_view where, std::string_view wanted) {
    errno = 0;
    const Owned<hive_value_h> list(lib.hivex_node_values(hive_, key));
    if (!list) {
      const int error = errno;
      fail(error, "the values of " + std::string(where) + " cannot be read");
      return 0;
    }
    for (const hive_value_h* p = list.get(); *p != 0; ++p) {
      errno = 0;
      const Owned<char> name(lib.hivex_value_key(hive_, *p));
      if (!name) {
        const int error = errno;
        fail(error, "a value of " + std::string(where) + " cannot be read");
        continue;
      }
      if (same_name(name.get(), wanted)) return *p;
    }
    return 0;
  }

  // The type of a value (any 32-bit number); false when it cannot be read.
  bool type(hive_value_h value, std::string_view what, uint32_t* out) {
    errno = 0;
    size_t size = 0;
    if (lib.hivex_value_type(hive_, value, out, &size) != 0) {
      const int error = errno;
      fail(error, std::string(what) + " cannot be read");
      return false;
    }
    return true;
  }

  // The bytes and type of a value; false when they cannot be read.
  bool data(hive_value_h value, std::string_view what, std::vector<unsigned char>* out, uint32_t* type) {
    errno = 0;
    size_t size = 0;
    const Owned<char> bytes(lib.hivex_value_value(hive_, value, type, &size));
    if (!bytes) {
      const int error = errno;
      fail(error, std::string(what) + " cannot be read");
      return false;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.get());
    out->assign(p, p + size);
    return true;
  }

  // Keeps the first problem, with the library's reason: the errno it set
  // where it failed (taken before the message is put together).
  void fail(int error, const std::string& what) {
    if (!problem_.empty()) return;
    problem_ = what;
    if (error != 0) problem_ += std::string(" (") + std::strerror(error) + ")";
  }
  // Keeps the first problem, which the library did not meet: what the hive
  // holds is not what Windows writes there.
  void wrong(const std::string& what) {
    if (problem_.empty()) problem_ = what;
  }

 private:
  hive_h* hive_;
  std::string problem_;
};

constexpr std::string_view kCurrentVersion = "Microsoft\\Windows NT\\CurrentVersion";
constexpr std::string_view kProfileList = "Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr std::string_view kAccount = "SAM\\Domains\\Account";
constexpr std::string_view kNames = "SAM\\Domains\\Account\\Users\\Names";

// Each SID of the ProfileList with the last component of its profile's
// path (a REG_EXPAND_SZ or REG_SZ string).  Keys that are not SIDs (a
// profile Windows set aside as "SID.bak") and profiles without a path
// name nobody.
void read_profiles(HiveWalk* walk, hive_node_h root, HiveNames* out) {
  const hive_node_h list = walk->key(root, kProfileList);
  if (list == 0) return;
  const Owned<hive_node_h> keys = walk->children(list, kProfileList);
  if (!keys) return;
  std::string sid;
  std::vector<unsigned char> path;
  for (const hive_node_h* p = keys.get(); *p != 0; ++p) {
    if (!walk->name(*p, kProfileList, &sid) || !is_sid(sid)) continue;
    const std::string where = std::string(kProfileList) + "\\" + sid;
    const hive_value_h value = walk->value(*p, where, "ProfileImagePath");
    uint32_t type = 0;
    if (value == 0 || !walk->data(value, "the value ProfileImagePath of " + where, &path, &type)) continue;
    if (type != kRegSz && type != kRegExpandSz) continue;
    std::string name = profile_name_of_path(path.data(), path.size());
    if (!name.empty()) out->names.push_back({sid, std::move(name)});
  }
}

// Each local account: the machine's SID (from the end of the value V of
// SAM\Domains\Account) and the account's RID (the type of the default
// value of its key under Users\Names).
void read_accounts(HiveWalk* walk, hive_node_h account, hive_node_h root, HiveNames* out) {
  const hive_value_h v = walk->value(account, kAccount, "V");
  if (v == 0) {
    walk->wrong("the key " + std::string(kAccount) + " has no value V");
    return;
  }
  std::vector<unsigned char> data;
  uint32_t type = 0;
  if (!walk->data(v, "the value V of " + std::string(kAccount), &data, &type)) return;
  std::string machine;
  if (!machine_sid_of_account_v(data.data(), data.size(), &machine)) {
    walk->wrong("the value V of " + std::string(kAccount) + " does not end with the machine's SID");
    return;
  }
  const hive_node_h names = walk->key(root, kNames);
  if (names == 0) return;
  const Owned<hive_node_h> keys = walk->children(names, kNames);
  if (!keys) return;
  std::string name;
  for (const hive_node_h* p = keys.get(); *p != 0; ++p) {
    if (!walk->name(*p, kNames, &name)) continue;
    const std::string where = std::string(kNames) + "\\" + name;
    const hive_value_h value = walk->value(*p, where, "");
    uint32_t rid = 0;
    if (value == 0 || !walk->type(value, "the default value of " + where, &rid)) continue;
    out->names.push_back({machine + "-" + std::to_string(rid), name});
  }
}

}  // namespace

bool hive_library_loaded() { return lib.handle != nullptr; }

bool HiveCopy::begin(std::string* reason) {
  if (file_ != kInvalidHandle) close_file(file_);
  std::string why;
  file_ = create_memory_file("binsift-hive", &why);
  if (file_ == kInvalidHandle) {
    *reason = "it cannot be copied into memory (" + why + ")";
    return false;
  }
  return true;
}

bool HiveCopy::append(const void* data, size_t size, std::string* reason) {
  std::string why;
  if (file_ == kInvalidHandle) {
    *reason = "it cannot be copied into memory (no copy was begun)";
    return false;
  }
  if (!append_to_memory_file(file_, data, size, &why)) {
    *reason = "it cannot be copied into memory (" + why + ")";
    return false;
  }
  return true;
}

HiveStatus read_hive_copy(std::string_view label, HiveCopy copy, HiveNames* out) {
  *out = HiveNames();
  std::string reason;
  if (copy.file() == kInvalidHandle) return HiveStatus::failed(label, "it was not copied into memory");
  if (!seal_memory_file(copy.file(), &reason))
    return HiveStatus::failed(label, "its copy in memory cannot be sealed (" + reason + ")");
  if (!load_hivex(&reason)) return HiveStatus::failed(label, reason);
  errno = 0;
  hive_h* hive = lib.hivex_open(reopen_name(copy.file()).c_str(), 0);
  if (hive == nullptr) {
    const int error = errno;
    return HiveStatus::failed(label, std::string("hivex cannot open it as a registry hive (") +
                                         (error != 0 ? std::strerror(error) : "no reason given") + ")");
  }
  HiveWalk walk(hive);
  if (const hive_node_h root = walk.root(); root != 0) {
    if (walk.key(root, kCurrentVersion) != 0) {
      out->kind = HiveKind::kSoftware;
      read_profiles(&walk, root, out);
    } else if (walk.problem().empty()) {
      if (const hive_node_h account = walk.key(root, kAccount); account != 0) {
        out->kind = HiveKind::kSam;
        read_accounts(&walk, account, root, out);
      }
    }
  }
  lib.hivex_close(hive);
  if (!walk.problem().empty()) return HiveStatus::failed(label, walk.problem());
  return HiveStatus::read(label);
}

HiveStatus read_hive_file(const std::string& path, HiveNames* out) {
  *out = HiveNames();
  std::string reason;
  uint64_t size = 0;
  const FileHandle file = open_image_file(path, &size, &reason);
  if (file == kInvalidHandle) return HiveStatus::failed(path, reason);
  FileType type = FileType::kOther;
  if (!file_type_of(file, &type, &size, &reason) || type != FileType::kRegular) {
    close_file(file);
    return HiveStatus::failed(path, type != FileType::kRegular && reason.empty() ? kNotRegular : reason);
  }
  // The header tells a hive at once (its first bytes are "regf") and how
  // far its data runs: hivex reads nothing past that, and neither is more
  // of the file copied.
  std::vector<unsigned char> buffer(1 << 20);
  constexpr size_t kHeader = 4096;
  size_t have = 0;
  while (have < kHeader) {
    const int64_t got = read_once_at(file, buffer.data() + have, kHeader - have, have, &reason);
    if (got < 0) {
      close_file(file);
      return HiveStatus::failed(path, reason);
    }
    if (got == 0) break;
    have += static_cast<size_t>(got);
  }
  if (have < 4 || std::memcmp(buffer.data(), "regf", 4) != 0) {
    close_file(file);
    return HiveStatus::failed(path, "it is not a registry hive (it does not begin with \"regf\")");
  }
  uint64_t end = size;
  if (have >= 0x2C) end = std::min<uint64_t>(size, kHeader + uint64_t{read_le32(buffer.data() + 0x28)});
  HiveCopy copy;
  bool copied = copy.begin(&reason) && copy.append(buffer.data(), std::min<uint64_t>(have, end), &reason);
  for (uint64_t offset = have; copied && offset < end;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - offset));
    const int64_t got = read_once_at(file, buffer.data(), want, offset, &reason);
    if (got <= 0) {
      // A file that ends before its size did shrink while it was read.
      if (got == 0) break;
      copied = false;
      break;
    }
    copied = copy.append(buffer.data(), static_cast<size_t>(got), &reason);
    offset += static_cast<uint64_t>(got);
  }
  close_file(file);
  if (!copied) return HiveStatus::failed(path, reason);
  return read_hive_copy(path, std::move(copy), out);
}
