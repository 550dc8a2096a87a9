// A one-line progress display on standard error for long scans at a terminal.
#pragma once

#include <cstdint>

struct Progress {
    bool enabled = false;    // standard error is a terminal and the size is known
    bool shown = false;      // a line is on the screen now
    std::uint64_t total = 0; // image size in bytes
    std::uint64_t start_ns = 0;
    std::uint64_t last_draw_ns = 0;
};

// Enabled only when `fd` (standard error) is a terminal and the size is known.
Progress progress_start(int fd, bool size_known, std::uint64_t total);

// Observer callback for scan_image: redraws at most four times a second once
// the scan has run for a second, and erases the line before a report line.
void progress_notify(void* context, std::uint64_t bytes_read, bool line_due);

// Erases the line if it is shown.
void progress_clear(Progress& progress);
