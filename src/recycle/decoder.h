// The record decoder: one index file in, one report row out.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

extern std::string pg_complete_path;   // directory + name of the file being decoded
extern std::string g_index_path;       // the path that is opened and named in messages
extern std::string g_companion_path;   // the $R entry beside it
extern unsigned char* g_input_buffer;  // receives the first bytes of each index file
extern int32_t g_progress_len;         // characters of the previous progress line
extern int32_t g_file_count;           // files handed to the decoder

constexpr size_t kInputBufferSize = 262224;

// Creates the decoder's buffers; called once at start-up.
void allocate_decoder_buffers();

// Decodes `file_name` in `directory` (which ends with the path separator)
// and writes its progress line and report row.  `kind` is what the
// directory search said the entry is.
void decode_index_file(const char* directory, const char* file_name,
                       EntryKind kind = EntryKind::kUnknown);

// Appends the progress line for a file; a path of 80 characters or more
// shows the file name alone.  Returns the characters appended.
int32_t append_progress_line(std::string* out, const char* directory, size_t dir_len,
                             const char* file_name, size_t name_len);

// Appends to `out` the sequence that erases a progress line of `count`
// characters: backspaces, spaces, backspaces.
void erase_progress(std::string* out, int32_t count);
