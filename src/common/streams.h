// Alternate data streams of a directory, and the backup privileges.
#pragma once

// The number of named streams that `path` (a directory without a trailing
// separator) carries; 0 when it cannot be opened.  A failed read of the
// streams ends the run with exit code 10; a failed name read gives 1.
int probe_streams(const char* path);
// Enables the backup and restore privileges; a failure ends the run with
// exit code 12.
void enable_backup_privileges();

// How the probe counts streams; tests put a fake in its place.
extern int (*g_stream_counter)(const char* path);
