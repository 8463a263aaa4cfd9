// The evidence of a run: every file the run reads for its image, and the
// registry hive files it is given.
// Nothing the run opens for writing or appending may be one of them, under
// any of its names.
#pragma once

#include <string>
#include <vector>

// Makes the files of the image `image`, `files` (the image file and every
// segment, extent or parent file its container reads), the evidence of
// this run, known by what they are, not by their names.  An empty name: a
// run without an image, which has none.
void protect_evidence(const char* image, const std::vector<std::string>& files = {});

// Makes the file `path` that the run scans (--scan=FILE) evidence too.
void protect_scanned_file(const char* path);

// Adds a registry hive file the run reads (--registry=FILE) to the
// evidence, after protect_evidence().
void protect_registry_hive(const char* hive);

// True when `path` exists and is one of the evidence's files (links
// followed); `reason` then says so for a message, "it is part of the
// evidence image IMAGE" (or "it is the registry hive HIVE"), safe to show
// on a terminal.
bool is_evidence(const char* path, std::string* reason);
