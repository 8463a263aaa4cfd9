// Where the run writes text that is not the report: standard output, as the
// classic report has always had it, or the error stream when standard
// output holds a report another program reads (the UTF-8 formats), so that
// nothing but the report reaches it.  Chosen once, from the format the
// command line names, before anything is written.
#pragma once

#include <cstdio>

FILE* notes_stream();
void set_notes_on_error_stream(bool on_error_stream);
