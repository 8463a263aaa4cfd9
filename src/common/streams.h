// Alternate data streams of a directory, and the backup privileges.
#pragma once

// The number of named streams that `path` (a directory without a trailing
// separator) carries; 0 when it cannot be opened.
int probe_streams(const char* path);
void enable_backup_privileges();
