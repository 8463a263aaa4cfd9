// The real file system on Windows.  Win32 has no calls relative to an open
// directory, so a directory is held as its path; the directory search, the
// file opening with backup semantics and the time setting are the Win32
// calls themselves.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/windows_error.h"

const char kPlatformSource[] = __FILE__;

namespace {

constexpr DWORD kIndexOpenFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY;

uint64_t from_filetime(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME to_filetime(uint64_t t) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(t & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
  return ft;
}

EntryKind kind_of(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::kLink;  // never entered
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::kDirectory;
  return EntryKind::kRegular;
}

std::string system_reason(DWORD error) { return windows_error_text(error); }

// An open directory: its path, ending with the separator.
struct Directory {
  std::string path;
};

// An open index file, with its path for the time setting.
struct OpenFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string path;
};

class Win32FileSystem final : public FileSystem {
 public:
  DirRef open_directory(const char* path, std::string* error) override {
    scratch_.assign(path);
    if (!scratch_.empty() && scratch_.back() != '\\') scratch_.push_back('\\');
    const DWORD attributes = GetFileAttributesA(scratch_.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      *error = system_reason(GetLastError());
      return kNoDir;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      *error = system_reason(ERROR_DIRECTORY);
      return kNoDir;
    }
    return make(scratch_);
  }

  DirRef open_subdirectory(DirRef parent, const char* name, std::string* error) override {
    scratch_.assign(dir(parent)->path);
    scratch_.append(name);
    scratch_.push_back('\\');
    const DWORD attributes = GetFileAttributesA(scratch_.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      *error = system_reason(GetLastError());
      return kNoDir;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      *error = system_reason(ERROR_DIRECTORY);
      return kNoDir;
    }
    return make(scratch_);
  }

  DirRef open_parent(DirRef child, std::string* error) override {
    const std::string& path = dir(child)->path;
    size_t end = path.size() > 1 ? path.size() - 1 : 0;
    const size_t cut = path.rfind('\\', end > 0 ? end - 1 : 0);
    if (cut == std::string::npos || end == 0) {
      *error = system_reason(ERROR_PATH_NOT_FOUND);
      return kNoDir;
    }
    return make(path.substr(0, cut + 1));
  }

  bool identify_directory(DirRef, DirIdentity*) override { return false; }

  void close_directory(DirRef ref) override {
    if (ref == kNoDir) return;
    Directory* d = dir(ref);
    d->path.clear();
    free_.push_back(d);
  }

  size_t open_directory_budget() const override { return SIZE_MAX; }

  bool list_directory(DirRef ref, const char* pattern, DirEntryVisitor* visitor,
                      std::string* error) override {
    SetFileApisToANSI();
    scratch_.assign(dir(ref)->path);
    scratch_.append(strcmp(pattern, "*") == 0 ? "*.*" : pattern);
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(scratch_.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD failure = GetLastError();
      if (failure == ERROR_FILE_NOT_FOUND || failure == ERROR_NO_MORE_FILES) return true;
      *error = system_reason(failure);
      return false;
    }
    do {
      DirEntry entry;
      entry.name = data.cFileName;
      entry.name_length = strlen(data.cFileName);
      entry.kind = kind_of(data.dwFileAttributes);
      entry.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      if (!visitor->visit(entry)) break;
    } while (FindNextFileA(h, &data));
    FindClose(h);
    return true;
  }

  bool search_per_pattern() const override { return true; }

  bool lookup(DirRef ref, const char* name, EntryInfo* out) override {
    scratch_.assign(dir(ref)->path);
    scratch_.append(name);
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA(scratch_.c_str(), &d);
    if (h == INVALID_HANDLE_VALUE) return false;
    FindClose(h);
    out->kind = kind_of(d.dwFileAttributes);
    out->size = (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
    out->times.creation = from_filetime(d.ftCreationTime);
    out->times.last_access = from_filetime(d.ftLastAccessTime);
    out->times.last_write = from_filetime(d.ftLastWriteTime);
    out->times.change = 0;
    if (change_times_) {
      // The search does not give it: the entry itself is asked, opened for
      // its attributes only (a link, not what it points to).
      HANDLE e = CreateFileA(scratch_.c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr);
      if (e != INVALID_HANDLE_VALUE) {
        FILE_BASIC_INFO basic;
        if (GetFileInformationByHandleEx(e, FileBasicInfo, &basic, sizeof basic))
          out->times.change = static_cast<uint64_t>(basic.ChangeTime.QuadPart);
        CloseHandle(e);
      }
    }
    return true;
  }

  void want_change_times(bool wanted) override { change_times_ = wanted; }

  bool names_deleted_entry(DirRef, const char*) override { return false; }

  bool read_named_stream(DirRef ref, const char* name, const char* stream, char* buffer,
                         size_t capacity, size_t* length) override {
    // NTFS names a stream after the file's name and a colon.
    scratch_.assign(dir(ref)->path);
    scratch_.append(name);
    scratch_.push_back(':');
    scratch_.append(stream);
    HANDLE h = CreateFileA(scratch_.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    size_t done = 0;
    bool ok = true;
    while (done < capacity) {
      DWORD got = 0;
      const DWORD want = capacity - done > 65536 ? 65536 : static_cast<DWORD>(capacity - done);
      if (!ReadFile(h, buffer + done, want, &got, nullptr)) {
        ok = false;
        break;
      }
      if (got == 0) break;
      done += got;
    }
    CloseHandle(h);
    *length = done;
    return ok;
  }

  FileRef open_file(DirRef ref, const char* name, EntryKind) override {
    OpenFile* f = file_slot();
    f->path.assign(dir(ref)->path);
    f->path.append(name);
    const BOOL was_ansi = AreFileApisANSI();
    if (!was_ansi) SetFileApisToANSI();
    HANDLE h = CreateFileA(f->path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           kIndexOpenFlags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      SetFileApisToOEM();
      h = CreateFileA(f->path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      kIndexOpenFlags, nullptr);
      if (was_ansi) SetFileApisToANSI();
    }
    if (h == INVALID_HANDLE_VALUE) {
      files_free_.push_back(f);
      return kNoFile;
    }
    f->handle = h;
    return reinterpret_cast<FileRef>(f);
  }

  size_t read_file(FileRef ref, void* buffer, size_t size) override {
    OpenFile* f = file(ref);
    if (f->handle == INVALID_HANDLE_VALUE) return 0;
    DWORD got = 0;
    if (!ReadFile(f->handle, buffer, static_cast<DWORD>(size), &got, nullptr)) return 0;
    return got;
  }

  void close_file(FileRef ref) override {
    if (ref == kNoFile) return;
    OpenFile* f = file(ref);
    if (f->handle != INVALID_HANDLE_VALUE) CloseHandle(f->handle);
    f->handle = INVALID_HANDLE_VALUE;
    files_free_.push_back(f);
  }

  bool file_info(FileRef ref, EntryInfo* out) override {
    OpenFile* f = file(ref);
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (f->handle == INVALID_HANDLE_VALUE ||
        !GetFileInformationByHandleEx(f->handle, FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(f->handle, FileStandardInfo, &standard, sizeof standard))
      return false;
    *out = EntryInfo();
    out->kind = kind_of(basic.FileAttributes);
    out->size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
    out->times.creation = static_cast<uint64_t>(basic.CreationTime.QuadPart);
    out->times.last_access = static_cast<uint64_t>(basic.LastAccessTime.QuadPart);
    out->times.last_write = static_cast<uint64_t>(basic.LastWriteTime.QuadPart);
    out->times.change = static_cast<uint64_t>(basic.ChangeTime.QuadPart);
    return true;
  }

  bool capture_times(FileRef ref, SavedTimes* out) override {
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExA(file(ref)->path.c_str(), GetFileExInfoStandard, &a)) return false;
    out->filetime[0] = from_filetime(a.ftCreationTime);
    out->filetime[1] = from_filetime(a.ftLastAccessTime);
    out->filetime[2] = from_filetime(a.ftLastWriteTime);
    out->is_regular = !(a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    return true;
  }

  bool restore_times(FileRef ref, const SavedTimes& times) override {
    // The read handle is closed first: the times are set through a handle
    // opened for writing, with the attributes that forbid it cleared.
    OpenFile* f = file(ref);
    if (f->handle != INVALID_HANDLE_VALUE) CloseHandle(f->handle);
    f->handle = INVALID_HANDLE_VALUE;
    const char* path = f->path.c_str();
    const DWORD attributes = GetFileAttributesA(path);
    const DWORD blocking = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM;
    const bool changed = attributes != INVALID_FILE_ATTRIBUTES && (attributes & blocking);
    if (changed) SetFileAttributesA(path, attributes & ~blocking);
    SetFileApisToOEM();
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | kIndexOpenFlags, nullptr);
    const FILETIME created = to_filetime(times.filetime[0]);
    const FILETIME accessed = to_filetime(times.filetime[1]);
    const FILETIME written = to_filetime(times.filetime[2]);
    const bool ok = h != INVALID_HANDLE_VALUE && SetFileTime(h, &created, &accessed, &written);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (changed) SetFileAttributesA(path, attributes);
    return ok;
  }

  int count_streams(DirRef ref, int* failure, int* line) override {
    *failure = 0;
    scratch_.assign(dir(ref)->path);
    if (scratch_.size() > 1 && scratch_.back() == '\\') scratch_.pop_back();
    HANDLE h = CreateFileA(scratch_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) return 0;
    stream_buffer_.resize(16384);
    LPVOID context = nullptr;
    int count = 0;
    const DWORD header_size = 20;
    for (;;) {
      DWORD got = 0;
      if (!BackupRead(h, stream_buffer_.data(), header_size, &got, FALSE, TRUE, &context)) {
        const DWORD error = GetLastError();
        if (error == ERROR_NOT_SUPPORTED || error == ERROR_CALL_NOT_IMPLEMENTED) break;
        *failure = kStreamHeaderReadFailed;
        *line = __LINE__;
        CloseHandle(h);
        return 0;
      }
      if (got == 0) break;
      WIN32_STREAM_ID id;
      memcpy(&id, stream_buffer_.data(), header_size);
      const int64_t size = static_cast<int64_t>(id.Size.QuadPart);
      if (id.dwStreamNameSize > 0) {
        const DWORD room = static_cast<DWORD>(stream_buffer_.size() - header_size);
        const DWORD name_size = id.dwStreamNameSize < room ? id.dwStreamNameSize : room;
        DWORD name_got = 0;
        if (!BackupRead(h, stream_buffer_.data() + header_size, name_size, &name_got, FALSE, TRUE,
                        &context)) {
          *failure = kStreamNameReadFailed;
          *line = __LINE__;
          CloseHandle(h);
          return 1;
        }
        if (name_got < id.dwStreamNameSize) break;
        ++count;
      }
      if (size > 0) {
        DWORD low = 0, high = 0;
        BackupSeek(h, 0xFFFFFFFF, 0x7FFFFFFF, &low, &high, &context);
      }
    }
    DWORD ignored = 0;
    BackupRead(h, nullptr, 0, &ignored, TRUE, FALSE, &context);
    CloseHandle(h);
    return count;
  }

  FileSystemKind volume_kind(const char* path) override { return file_system_kind(path); }

 private:
  static Directory* dir(DirRef ref) { return reinterpret_cast<Directory*>(ref); }
  static OpenFile* file(FileRef ref) { return reinterpret_cast<OpenFile*>(ref); }

  DirRef make(const std::string& path) {
    Directory* d;
    if (free_.empty()) {
      d = new Directory;
    } else {
      d = free_.back();
      free_.pop_back();
    }
    d->path.assign(path);
    return reinterpret_cast<DirRef>(d);
  }

  OpenFile* file_slot() {
    if (files_free_.empty()) return new OpenFile;
    OpenFile* f = files_free_.back();
    files_free_.pop_back();
    return f;
  }

  std::string scratch_;
  bool change_times_ = false;
  std::vector<Directory*> free_;
  std::vector<OpenFile*> files_free_;
  std::vector<unsigned char> stream_buffer_;
};

}  // namespace

FileSystem* real_file_system() {
  static Win32FileSystem* const kFileSystem = new Win32FileSystem;
  return kFileSystem;
}
