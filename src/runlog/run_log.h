// The accounting file: a run log shared with sibling tools.
#pragma once

#include <cstdio>

#include "common/module_stamp.h"

extern FILE* g_acct_file;
extern const ModuleStamp kRunLogModule;

// Opens `path` for appending and writes the separator line that opens a
// record; nullptr when it cannot be opened.
FILE* open_run_log(const char* path);
// Closes the accounting file, if one is open.
void close_run_log();
