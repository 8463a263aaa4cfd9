#include "report/report_output.h"

#include <cstdio>

#include "report/output_file.h"

FileHandle open_console_output() { return open_console_device(); }

FileHandle open_report_output(bool to_file, std::string* name, int append, Status* status) {
  if (to_file) return open_output_file(name->c_str(), append, status);
  *name = "CON";
  const FileHandle handle = open_console_output();
  if (handle == kInvalidHandle) {
    fputs("Couldn't open console for output \n", stderr);
    *status = Status::end(OUTPUT_FILE);
  }
  return handle;
}
