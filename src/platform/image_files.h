// The files of an evidence image as the image readers open them:
// read-only, close-on-exec, never in a way that can block (a FIFO or a
// socket would hold the run up), and read by offset.  Images are read where
// The Sleuth Kit is (the POSIX build).
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

// What a name or an open file is, links followed.
enum class FileType : uint8_t { kRegular, kDisk, kDirectory, kOther };

// The reason open_image_file() gives for a file that is neither a regular
// file nor a disk.
extern const char kNotRegular[];

// What `path` names; false with the system's reason when nothing there can
// be looked at.
bool file_type_of(const char* path, FileType* type, std::string* reason);
// Opens `path` for reading without blocking, whatever it is;
// kInvalidHandle when it cannot be opened.
FileHandle open_without_blocking(const char* path);
// What the open file is, and its size as the file system gives it (0 for a
// disk); false with the system's reason when it cannot be told.
bool file_type_of(FileHandle handle, FileType* type, uint64_t* size, std::string* reason);
// Where the open file ends (a disk's size too); -1 when it cannot be told.
int64_t file_end(FileHandle handle);
// Opens `path` for reading, without blocking, when it is a regular file or
// a disk; the handle then reads as any other (reads may wait on a disk, as
// on any file; only the open must not).  kInvalidHandle, with the reason
// (kNotRegular, or the system's), otherwise.
FileHandle open_image_file(const std::string& path, uint64_t* size, std::string* reason);
// One read of up to `size` bytes at `offset` (an interrupted read is made
// again): the number read, 0 at the end of the file, -1 with the system's
// reason on failure.
int64_t read_once_at(FileHandle handle, void* buffer, size_t size, uint64_t offset,
                     std::string* reason);
// A name by which another library can open the file the handle holds (and
// no other file in its place).
std::string reopen_name(FileHandle handle);
