#include "options/help.h"

#include <cstdio>
#include <string>
#include <vector>

#include "common/notes_stream.h"
#include "platform/platform.h"

void show_help(const HelpStamps& stamps) {
  discard_pending_input();
  fputs("\n\nThis program: binsift is intended to take the $RECYCLE.BIN files\n", stderr);
  fputs("named: $Ixxxx.ext from Windows 7 and above and decode the content of same.\n\n", stderr);
  fputs("The content of the $Ixxxxx.ext files contains the\n", stderr);
  fputs("Original filename, original file size, and DATE of deletion of the file.\n\n", stderr);
  fputs("The output is a pipe (|) delimeted file which can easily be imported \n", stderr);
  fputs("into a spreadsheet. \n\n", stderr);
  fputs("command line syntax:\n", stderr);
  fputs("binsift   -p  path_to_the_files  -f  $I*.*  \n\n", stderr);
  fputs("Hopefully, the $Ixxxx.ext files are the only thing you point it to.\n\n", stderr);
  fputs("Since output is to the screen, it is suggested you redirect >> output\n", stderr);
  fprintf(stderr, "%12s last updated:      %s %s\n", module_file_name(*stamps.run_log),
          stamps.run_log->build_date, stamps.run_log->build_time);
  fprintf(stderr, "%12s file last updated: %s %s\n", module_file_name(*stamps.program),
          stamps.program->build_date, stamps.program->build_time);
  fprintf(stderr, "%12s file last updated: %s %s\n\n", module_file_name(*stamps.options),
          stamps.options->build_date, stamps.options->build_time);
}

bool open_help_file(std::string* program_path) {
  // The name ends before the first "." of its last component.
  const size_t slash = program_path->rfind(kPathSeparator);
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = program_path->find('.', start);
  if (dot != std::string::npos) program_path->resize(dot);
  const std::string dir = slash == std::string::npos ? std::string() : program_path->substr(0, start);
  std::string found;
  if (!find_help_file(program_path->substr(start) + ".hlp", dir, &found)) return false;
  return show_help_file(found);
}

void help_for_unknown_letter(const std::string& program_path, const HelpStamps& stamps) {
  fputs("Wait for help to appear\n", notes_stream());
  std::string path = program_path;
  if (open_help_file(&path)) {
    fputs("\nDO YOU WISH TO SEE A DOS HELP SCREEN ALSO  (Y/N)? ", stderr);
    const int key = read_key_no_echo();
    if (key == 'y' || key == 'Y') {
      show_help(stamps);
      return;
    }
    fputs("\n", stderr);
    return;
  }
  show_help(stamps);
}
