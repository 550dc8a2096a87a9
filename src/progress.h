// A one-line progress display on standard error for long scans at a terminal.
#pragma once

#include <cstddef>
#include <cstdint>

struct Progress {
    bool enabled = false; // see progress_start
    bool shown = false;   // a line is on the screen now
    // Standard output is the terminal the line is on: a report line would
    // land in the middle of it, so it is erased first.
    bool shares_screen = false;
    std::uint64_t total = 0; // image size in bytes
    std::uint64_t start_ns = 0;
    std::uint64_t last_draw_ns = 0;
};

// Enabled only when `err_fd` is a terminal, the size is known, and `out_fd`
// is not a pipe, FIFO or socket: a reader such as tee prints standard output
// in blocks of its own, which the display would break up on the screen.
// While enabled, SIGINT, SIGTERM and SIGHUP erase a shown line before the
// tool dies of them.
Progress progress_start(int err_fd, int out_fd, bool size_known, std::uint64_t total);

// Observer callback for scan_image: redraws at most four times a second once
// the scan has run for a second, and erases the line before a report line
// that goes to the same terminal.
void progress_notify(void* context, std::uint64_t bytes_read, bool line_due);

// Erases the line if it is shown.
void progress_clear(Progress& progress);

// Whether a line is due at `now_ns` after `bytes_read` bytes: not in the
// first second, not within a quarter second of the last, not at the end.
bool progress_due(const Progress& progress, std::uint64_t bytes_read, std::uint64_t now_ns);

// The display for `bytes_read` of `total` bytes after `elapsed_ns`:
// "\rsectorscan:  25.0%     12.5 MiB/s  0:30 left" and an erase to the end
// of the line.
void format_progress(char* line, std::size_t size, std::uint64_t bytes_read, std::uint64_t total,
                     std::uint64_t elapsed_ns);
