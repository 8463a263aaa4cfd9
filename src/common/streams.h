// Alternate data streams of a directory, and the backup privileges.
#pragma once

#include "platform/file_system.h"

// The number of named streams that the open directory `dir` carries; 0 when
// they cannot be read.  A failed read of the streams ends the run with exit
// code 10; a failed name read gives 1.
int probe_streams(FileSystem* fs, DirRef dir);
// Enables the backup and restore privileges; a failure ends the run with
// exit code 12.
void enable_backup_privileges();
