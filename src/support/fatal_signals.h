// What the tool undoes when a signal ends it: a progress line to erase, a
// temporary file to remove. The handlers do only what is safe there, then
// the tool dies of the same signal, so that the shell sees the usual status.
#pragma once

// Catches SIGINT, SIGTERM and SIGHUP, and with `broken_pipe` SIGPIPE too,
// unless they are ignored (nohup): a signal that is ignored stays ignored.
void catch_fatal_signals(bool broken_pipe);

// Whether a progress line is on standard error, for a handler to erase.
void set_progress_line_shown(bool shown);

// A file for a handler to remove, or nullptr for none; `path` must stay
// valid until it is replaced.
void set_file_to_remove(const char* path);
