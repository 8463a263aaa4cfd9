// The Windows build reads no evidence image, but scans a file (--scan=FILE)
// through the two functions of image_files.h that this takes: a read-only
// open that never waits on the file's kind, and reads by offset.
#include <windows.h>

#include "platform/image_files.h"
#include "platform/windows_error.h"

namespace {

std::string system_reason(DWORD error) { return windows_error_text(error); }

}  // namespace

const char kNotRegular[] = "not a regular file";

FileHandle open_image_file(const std::string& path, uint64_t* size, std::string* reason) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *reason = system_reason(GetLastError());
    return kInvalidHandle;
  }
  // A pipe, a console or a device other than a disk is never read.
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    *reason = kNotRegular;
    return kInvalidHandle;
  }
  LARGE_INTEGER end;
  *size = GetFileSizeEx(h, &end) && end.QuadPart > 0 ? static_cast<uint64_t>(end.QuadPart) : 0;
  return reinterpret_cast<FileHandle>(h);
}

int64_t read_once_at(FileHandle handle, void* buffer, size_t size, uint64_t offset,
                     std::string* reason) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  if (!ReadFile(reinterpret_cast<HANDLE>(handle), buffer, want, &got, &at)) {
    const DWORD error = GetLastError();
    if (error == ERROR_HANDLE_EOF) return 0;
    *reason = system_reason(error);
    return -1;
  }
  return got;
}
