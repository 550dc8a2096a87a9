// The report on standard output: its header, its run lines, the tool's own
// error lines, and the one check that all of it arrived.
#pragma once

#include <cstdio>

#include "scan/run_tracker.h"
#include "support/failure.h"

// Writes the report line of `run`, followed by `tail` (a reason, or
// nothing).
Failure write_run_line(std::FILE* out, const ClosedRun& run, const char* tail = "");

// "File: PATH" and "Empty sectors:".
void print_header(const char* path);

// A failure with the image: standard output says so in the tool's own
// `line` (a format for the path), so that a saved report shows it, and
// standard error says why, after it. Returns the failure of standard
// output, if it failed.
Failure print_image_error(const char* line, const char* path, const char* cause);

// The one check of standard output, before every exit that wrote to it: a
// report that did not reach its reader is not a success. The write errors of
// a buffered stream only show when it is flushed. `failed` is a write that
// already failed, if one did; a failure is said on standard error. True when
// all of standard output arrived.
bool finish_standard_output(Failure failed);
