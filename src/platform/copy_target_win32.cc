// The target folder on Windows.  Win32 has no calls relative to an open
// folder, so every folder is held as its full path below the target's own
// final path (with the "\\?\" prefix, so that depth is not limited by
// MAX_PATH) and as an open handle.  The handles are opened without delete
// sharing, so a folder being written into can be neither renamed nor
// removed, and never through a reparse point (a junction or a link met on
// the way is refused), so that no copy lands outside the target.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/copy_target.h"
#include "platform/windows_names.h"
#include "platform/windows_error.h"

namespace {

constexpr DWORD kFolderAccess = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
constexpr DWORD kFolderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kNoLinkFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

std::string system_reason(DWORD error) { return windows_error_text(error); }

// Appends `text` in code page `cp` as UTF-16; false when it is not valid
// there.
bool append_wide(UINT cp, const char* text, std::wstring* out) {
  const int n = static_cast<int>(strlen(text));
  if (n == 0) return true;
  const DWORD flags = cp == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
  const int units = MultiByteToWideChar(cp, flags, text, n, nullptr, 0);
  if (units <= 0) return false;
  const size_t at = out->size();
  out->resize(at + static_cast<size_t>(units));
  return MultiByteToWideChar(cp, flags, text, n, &(*out)[at], units) == units;
}

// Appends a name of a copy: UTF-8 (the names of the index records), or, when
// it is not UTF-8, the ANSI code page the walk's file system lists names in.
void append_name(const char* name, std::wstring* out) {
  const size_t at = out->size();
  if (append_wide(CP_UTF8, name, out)) return;
  out->resize(at);
  append_wide(CP_ACP, name, out);
}

// `path` (ANSI, as the command line gives it) as a full path with the
// "\\?\" prefix; false with the reason.
bool long_full_path(const char* path, std::wstring* out, std::string* reason) {
  std::wstring given;
  if (!append_wide(CP_ACP, path, &given) || given.empty()) {
    *reason = system_reason(ERROR_INVALID_NAME);
    return false;
  }
  const DWORD need = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
  std::wstring full(need + 1, L'\0');
  const DWORD got = need == 0 ? 0 : GetFullPathNameW(given.c_str(), need + 1, &full[0], nullptr);
  if (got == 0 || got > need) {
    *reason = system_reason(GetLastError());
    return false;
  }
  full.resize(got);
  if (full.compare(0, 4, L"\\\\?\\") == 0) {
    out->assign(full);
  } else if (full.compare(0, 2, L"\\\\") == 0) {
    out->assign(L"\\\\?\\UNC\\").append(full, 2, std::wstring::npos);
  } else {
    out->assign(L"\\\\?\\").append(full);
  }
  while (out->size() > 7 && out->back() == L'\\') out->pop_back();
  return true;
}

// The length of the part of a long path that names its volume
// ("\\?\C:\" or "\\?\UNC\server\share\"): no folder is made there.
size_t volume_length(const std::wstring& path) {
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    size_t at = path.find(L'\\', 8);
    if (at != std::wstring::npos) at = path.find(L'\\', at + 1);
    return at == std::wstring::npos ? path.size() : at + 1;
  }
  const size_t at = path.find(L'\\', 4);
  return at == std::wstring::npos ? path.size() : at + 1;
}

// The path of the open `handle` as the system resolves it, long form.
bool final_path(HANDLE handle, std::wstring* out) {
  const DWORD need = GetFinalPathNameByHandleW(handle, nullptr, 0, VOLUME_NAME_DOS);
  if (need == 0) return false;
  out->assign(need + 1, L'\0');
  const DWORD got = GetFinalPathNameByHandleW(handle, &(*out)[0], need + 1, VOLUME_NAME_DOS);
  if (got == 0 || got > need) return false;
  out->resize(got);
  if (out->compare(0, 4, L"\\\\?\\") != 0) out->insert(0, L"\\\\?\\");
  while (out->size() > 7 && out->back() == L'\\') out->pop_back();
  return true;
}

// Opens the folder `path` itself (never what a reparse point leads to);
// INVALID_HANDLE_VALUE with `taken` true when something else has the name.
HANDLE open_folder(const std::wstring& path, bool* taken, std::string* reason) {
  *taken = false;
  HANDLE h = CreateFileW(path.c_str(), kFolderAccess, kFolderSharing, nullptr, OPEN_EXISTING,
                         kNoLinkFlags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *reason = system_reason(GetLastError());
    return h;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) {
    *reason = system_reason(GetLastError());
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    *taken = true;
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

FILETIME to_filetime(FileTime t) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(t & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
  return ft;
}

// Sets the times that are not 0.
bool set_times(HANDLE h, FileTime last_write, FileTime last_access) {
  if (last_write == 0 && last_access == 0) return true;
  const FILETIME written = to_filetime(last_write), accessed = to_filetime(last_access);
  return SetFileTime(h, nullptr, last_access ? &accessed : nullptr,
                     last_write ? &written : nullptr) != 0;
}

// kOpened when the folder `path` holds no entry; else kNotEmpty, or kFailed
// when it cannot be listed, with the reason.
TargetOpen empty_folder(const std::wstring& path, std::string* reason) {
  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW((path + L"\\*").c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return TargetOpen::kOpened;
    *reason = system_reason(error);
    return TargetOpen::kFailed;
  }
  TargetOpen found = TargetOpen::kOpened;
  do {
    if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0) {
      found = TargetOpen::kNotEmpty;
      *reason = "it is not empty";
      break;
    }
  } while (FindNextFileW(h, &data));
  FindClose(h);
  return found;
}

// What a file or folder is, following links: its volume and file index.
struct Identity {
  DWORD volume = 0, high = 0, low = 0;
  bool operator==(const Identity& o) const {
    return volume == o.volume && high == o.high && low == o.low;
  }
};

bool identify(const std::wstring& path, Identity* out, std::wstring* resolved) {
  HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  if (ok) {
    out->volume = info.dwVolumeSerialNumber;
    out->high = info.nFileIndexHigh;
    out->low = info.nFileIndexLow;
    if (resolved != nullptr && !final_path(h, resolved)) resolved->assign(path);
  }
  CloseHandle(h);
  return ok;
}

bool same_path(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// A folder or file of the target: its handle and its full path.
struct Slot {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::wstring path;
};

class Win32CopyTarget final : public CopyTarget {
 public:
  Win32CopyTarget(HANDLE root, const std::wstring& path) {
    Slot& slot = slots_.emplace_back();
    slot.handle = root;
    slot.path = path;
  }
  ~Win32CopyTarget() override {
    for (Slot& slot : slots_) {
      if (slot.handle != INVALID_HANDLE_VALUE) CloseHandle(slot.handle);
    }
  }

  TargetRef root() override { return 0; }
  // NTFS holds 255 UTF-16 units; 255 bytes of UTF-8 never need more.
  size_t name_limit() const override { return 255; }
  bool mend_name(std::string* name) const override { return mend_windows_name(name); }

  TargetRef make_folder(TargetRef parent, const char* name, bool reuse, bool* taken,
                        std::string* reason) override {
    *taken = false;
    child_path(parent, name);
    if (!CreateDirectoryW(path_.c_str(), nullptr)) {
      const DWORD error = GetLastError();
      if (error != ERROR_ALREADY_EXISTS) {
        *reason = system_reason(error);
        return kNoTarget;
      }
      if (!reuse) {
        *taken = true;
        return kNoTarget;
      }
    }
    // Opened as what it is: a name swapped for a link is refused.
    const HANDLE h = open_folder(path_, taken, reason);
    if (h == INVALID_HANDLE_VALUE) return kNoTarget;
    return take_slot(h);
  }

  TargetRef open_parent(TargetRef folder, std::string* reason) override {
    const std::wstring& path = slot(folder).path;
    const size_t cut = path.rfind(L'\\');
    if (folder == root() || cut == std::wstring::npos || cut < slots_[0].path.size()) {
      *reason = system_reason(ERROR_PATH_NOT_FOUND);
      return kNoTarget;
    }
    path_.assign(path, 0, cut);
    bool taken = false;
    const HANDLE h = open_folder(path_, &taken, reason);
    if (h == INVALID_HANDLE_VALUE) {
      if (taken) *reason = "it is no longer a folder";
      return kNoTarget;
    }
    return take_slot(h);
  }

  bool close_folder(TargetRef folder, FileTime last_write, FileTime last_access) override {
    Slot& s = slot(folder);
    const bool set = set_times(s.handle, last_write, last_access);
    release(folder);
    return set;
  }

  TargetRef create_file(TargetRef parent, const char* name, bool* taken,
                        std::string* reason) override {
    *taken = false;
    child_path(parent, name);
    // CREATE_NEW: never over anything, a link included.
    const HANDLE h = CreateFileW(path_.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                 CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT |
                                     FILE_FLAG_SEQUENTIAL_SCAN,
                                 nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      *taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
               (error == ERROR_ACCESS_DENIED &&
                GetFileAttributesW(path_.c_str()) != INVALID_FILE_ATTRIBUTES);
      if (!*taken) *reason = system_reason(error);
      return kNoTarget;
    }
    return take_slot(h);
  }

  bool write(TargetRef file, const void* data, size_t size, std::string* reason) override {
    const char* at = static_cast<const char*>(data);
    const HANDLE h = slot(file).handle;
    while (size > 0) {
      const DWORD want = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
      DWORD done = 0;
      if (!WriteFile(h, at, want, &done, nullptr)) {
        *reason = system_reason(GetLastError());
        return false;
      }
      if (done == 0) {
        *reason = system_reason(ERROR_DISK_FULL);
        return false;
      }
      at += done;
      size -= done;
    }
    return true;
  }

  bool finish_file(TargetRef file, FileTime last_write, FileTime last_access,
                   std::string* reason) override {
    Slot& s = slot(file);
    bool ok = true;
    if (!set_times(s.handle, last_write, last_access)) {
      *reason = system_reason(GetLastError());
      ok = false;
    }
    if (!CloseHandle(s.handle) && ok) {
      *reason = system_reason(GetLastError());
      ok = false;
    }
    s.handle = INVALID_HANDLE_VALUE;
    release(file);
    return ok;
  }

  void discard_file(TargetRef parent, const char* name, TargetRef file) override {
    if (file != kNoTarget) {
      // Removed through its own handle: the file made, whatever its name
      // leads to now.
      Slot& s = slot(file);
      FILE_DISPOSITION_INFO gone = {TRUE};
      const bool removed =
          SetFileInformationByHandle(s.handle, FileDispositionInfo, &gone, sizeof gone) != 0;
      CloseHandle(s.handle);
      s.handle = INVALID_HANDLE_VALUE;
      if (!removed) DeleteFileW(s.path.c_str());
      release(file);
      return;
    }
    child_path(parent, name);
    DeleteFileW(path_.c_str());
  }

 private:
  Slot& slot(TargetRef ref) { return slots_[static_cast<size_t>(ref)]; }

  // path_ = the folder's path, "\" and the name.
  void child_path(TargetRef parent, const char* name) {
    path_.assign(slot(parent).path);
    if (path_.back() != L'\\') path_.push_back(L'\\');  // a volume's root ends with it
    append_name(name, &path_);
  }

  // A slot for `h` holding path_ (a free one when there is one).
  TargetRef take_slot(HANDLE h) {
    size_t at;
    if (free_.empty()) {
      at = slots_.size();
      slots_.emplace_back();
    } else {
      at = free_.back();
      free_.pop_back();
    }
    slots_[at].handle = h;
    slots_[at].path.assign(path_);
    return static_cast<TargetRef>(at);
  }

  void release(TargetRef ref) {
    Slot& s = slot(ref);
    if (s.handle != INVALID_HANDLE_VALUE) CloseHandle(s.handle);
    s.handle = INVALID_HANDLE_VALUE;
    s.path.clear();
    free_.push_back(static_cast<size_t>(ref));
  }

  std::vector<Slot> slots_;  // [0] the target itself
  std::vector<size_t> free_;
  std::wstring path_;
};

}  // namespace

std::unique_ptr<CopyTarget> open_copy_target(const char* path, TargetOpen* outcome,
                                             std::string* reason) {
  *outcome = TargetOpen::kFailed;
  std::wstring full;
  if (!long_full_path(path, &full, reason)) return nullptr;
  const DWORD attributes = GetFileAttributesW(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    // Made with every missing folder above it.
    for (size_t i = volume_length(full); i <= full.size(); ++i) {
      if (i < full.size() && full[i] != L'\\') continue;
      const std::wstring partial = full.substr(0, i);
      if (!CreateDirectoryW(partial.c_str(), nullptr)) {
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
          *reason = system_reason(error);
          return nullptr;
        }
      }
    }
  } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *outcome = TargetOpen::kNotAFolder;
    *reason = "it is not a folder";
    return nullptr;
  }
  // The folder as it is named (a link to a folder is taken as the folder),
  // then every path below it built from where it really is.
  const HANDLE h = CreateFileW(full.c_str(), kFolderAccess, kFolderSharing, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *reason = system_reason(GetLastError());
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info;
  std::wstring canonical;
  if (!GetFileInformationByHandle(h, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    *outcome = TargetOpen::kNotAFolder;
    *reason = "it is not a folder";
    return nullptr;
  }
  if (!final_path(h, &canonical)) canonical = full;
  *outcome = empty_folder(canonical, reason);
  if (*outcome != TargetOpen::kOpened) {
    CloseHandle(h);
    return nullptr;
  }
  return std::make_unique<Win32CopyTarget>(h, canonical);
}

bool folder_within(const char* inner, const char* outer) {
  std::wstring outer_path, at, resolved_outer, resolved;
  std::string ignored;
  Identity top, now;
  if (!long_full_path(outer, &outer_path, &ignored) || !identify(outer_path, &top, &resolved_outer))
    return false;
  if (!long_full_path(inner, &at, &ignored)) return false;
  // The nearest folder of `inner` that exists, then each folder above its
  // resolved path, compared by what it is and by its name in any case.
  const size_t volume = volume_length(at);
  while (!identify(at, &now, &resolved)) {
    const size_t cut = at.rfind(L'\\');
    if (cut == std::wstring::npos || cut < volume) return false;
    at.resize(cut);
  }
  at = resolved;
  for (;;) {
    if (same_path(at, resolved_outer)) return true;
    if (identify(at, &now, nullptr) && now == top) return true;
    // Up one folder; the volume's root ("\\?\C:\") is the last looked at.
    const size_t root = volume_length(at);
    if (at.size() <= root) return false;
    const size_t cut = at.rfind(L'\\');
    if (cut == std::wstring::npos) return false;
    at.resize(cut + 1 == root ? root : cut);
  }
}
