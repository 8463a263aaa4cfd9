// The name and build stamp that a source module carries for the help screen.
#pragma once

struct ModuleStamp {
  const char* source_path;  // as the compiler recorded it
  const char* build_date;   // "Mmm dd yyyy"
  const char* build_time;   // "hh:mm:ss"
};

// The file name of a module's source, without its directory.
const char* module_file_name(const ModuleStamp& stamp);
