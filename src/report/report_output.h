// The report's target: the output file the options name, or the console
// device.  Nothing of the report is written through it (the sink writes to
// standard output and its copy); it is opened once and kept for the run.
#pragma once

#include <string>

#include "common/status.h"
#include "platform/platform.h"

// Opens the output file `*name` (when `to_file`; with its file prompt and
// overwrite question), or the console device, whose name "CON" then goes
// into `*name`.  kInvalidHandle with `status` saying how the run ends when
// neither could be opened.
FileHandle open_report_output(bool to_file, std::string* name, int append, Status* status);
FileHandle open_console_output();
