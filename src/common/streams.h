// Alternate data streams of a directory, and the backup privileges.
#pragma once

// The number of named streams that `path` (a directory without a trailing
// separator) carries; 0 when it cannot be opened.
int probe_streams(const char* path);
void enable_backup_privileges();

// How the probe counts streams; tests put a fake in its place.
extern int (*g_stream_counter)(const char* path);
