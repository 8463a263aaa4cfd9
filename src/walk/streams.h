// Alternate data streams of a directory, and the backup privileges, as the
// walk of a mounted NTFS volume counts them.
#pragma once

#include "common/status.h"
#include "platform/file_system.h"

// Counts the named streams that the open directory `dir` carries.  A failed
// read of the streams ends the run with exit code 10, a failed name read is
// noted (each with its message); the run then goes on.
Status probe_streams(FileSystem* fs, DirRef dir);
// Enables the backup and restore privileges; a failure ends the run with
// exit code 12.
Status enable_backup_privileges();
