// The name and build stamp that a source module carries for the help screen.
#pragma once

struct ModuleStamp {
  const char* source_path;  // as the compiler recorded it
  const char* build_date;   // "Mmm dd yyyy"
  const char* build_time;   // "hh:mm:ss"
};

// The program's own stamp (its run sequence's source).
extern const ModuleStamp kProgramModule;

// The file name of a module's source, without its directory.
const char* module_file_name(const ModuleStamp& stamp);
