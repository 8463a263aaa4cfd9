#include "report/output_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/evidence.h"
#include "common/paths.h"
#include "common/terminal_text.h"

namespace {

std::string g_last_choice;  // the dialog shows the last choice again

// The overwrite question for an existing file picked at the prompt: sets
// `append`, or false for the quit answer (or when nothing more can be
// answered).
bool ask_overwrite(const std::string& name, int* append) {
  for (;;) {
    fprintf(stderr, "\n\n%s aleady exists\n", name.c_str());
    fputs("Do you wish to overwrite Y\n", stderr);
    fputs("Do you wish to abort     Q\n", stderr);
    fputs("Do you wish to append    A\n", stderr);
    fputs("Enter a Y, Q, or A", stderr);
    const int key = read_key_no_echo();
    fputs("\n\n", stderr);
    switch (key) {
      case 'Y': case 'y': case 'O': case 'o':
        *append = 0;
        return true;
      case 'A': case 'a':
        *append = 1;
        return true;
      case 'Q': case 'q': case 'N': case 'n':
      case -1:  // nothing more can be answered
        return false;
      default:
        break;  // any other key asks again
    }
  }
}

// After a failed attempt: wait for Enter, then pick another name.
std::string choose_after_failure() {
  fputs("hit return to choose new output file", stderr);
  read_input_byte();
  std::string name;
  bool at_end = false;
  if (!choose_output_file(&name, &at_end)) name.clear();
  return name;
}

// The name as a failure message shows it (no byte that could drive the
// terminal), with the reason when the file was refused as evidence.
std::string failure_text(const std::string& name, const std::string& reason) {
  std::string text;
  append_terminal_text(&text, name.data(), name.size());
  if (!reason.empty()) text.append(": ").append(reason);
  return text;
}

// One attempt at opening the output file: never a file of the evidence
// (`reason` then says so; it is cleared otherwise).  `existing` opens only a
// file that is there, positioned at its end; otherwise the file is created
// (`exclusive`: only when it is not there).
FileHandle attempt_open(const std::string& name, bool existing, bool exclusive,
                        std::string* reason) {
  reason->clear();
  if (name.empty() || is_evidence(name.c_str(), reason)) return kInvalidHandle;
  return existing ? open_existing_output_file(name.c_str())
                  : create_output_file(name.c_str(), exclusive);
}

}  // namespace

bool choose_output_file(std::string* out, bool* at_end) {
  return choose_file("Output File Selection", &g_last_choice, out, at_end);
}

FileHandle open_output_file(const char* given, int append, Status* status) {
  std::string name = given;
  if (name[0] == '-' || (name[0] == '/' && strchr(kOptionPrefixes, '/'))) {
    bool at_end = false;
    while (!choose_output_file(&name, &at_end)) {
      if (at_end) {
        *status = Status::end(OUTPUT_FILE);
        return kInvalidHandle;
      }
    }
    if (path_exists(name) && !append && !ask_overwrite(name, &append)) {
      *status = Status::end(OUTPUT_FILE);
      return kInvalidHandle;
    }
  }

  FileHandle handle = kInvalidHandle;
  int failures = 0;
  std::string reason;
  if (append) {
    handle = attempt_open(name, true, false, &reason);
    while (handle == kInvalidHandle && failures < 2) {
      handle = attempt_open(name, false, true, &reason);
      if (handle != kInvalidHandle) break;
      if (++failures == 2) break;
      fprintf(stderr, "\n%s\n%d\nerror opening/creating output file %s\n", __FILE__, __LINE__,
              failure_text(name, reason).c_str());
      name = choose_after_failure();
    }
  } else {
    while (handle == kInvalidHandle && failures < 2) {
      handle = attempt_open(name, false, false, &reason);
      if (handle != kInvalidHandle) break;
      if (++failures == 2) break;
      fprintf(stderr, "\n%s\n%d\nerror opening output file %s\n", __FILE__, __LINE__,
              failure_text(name, reason).c_str());
      name = choose_after_failure();
    }
  }
  if (handle == kInvalidHandle) {
    fprintf(stderr, "\n%s\n%d\nerror opening output file %s\n", __FILE__, __LINE__,
            failure_text(name, reason).c_str());
    *status = Status::end(USER_ABORTED);
  }
  return handle;
}
