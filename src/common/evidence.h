// The evidence of an image run: every file the run reads for its image.
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

// True when `path` exists and is one of the evidence's files (links
// followed); `reason` then says so for a message, "it is part of the
// evidence image IMAGE", safe to show on a terminal.
bool is_evidence(const char* path, std::string* reason);
