#include "common/notes_stream.h"

namespace {

bool g_on_error_stream = false;

}  // namespace

FILE* notes_stream() { return g_on_error_stream ? stderr : stdout; }

void set_notes_on_error_stream(bool on_error_stream) { g_on_error_stream = on_error_stream; }
