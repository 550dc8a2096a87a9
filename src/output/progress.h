// A one-line progress display on standard error for long scans at a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

class ProgressLine {
public:
    // Enabled only when `err_fd` is a terminal, the size is known, and
    // `out_fd` is not a pipe, FIFO or socket: a reader such as tee prints
    // standard output in blocks of its own, which the display would break up
    // on the screen. While enabled, SIGINT, SIGTERM and SIGHUP erase a shown
    // line before the tool dies of them (see fatal_signals.h).
    ProgressLine(int err_fd, int out_fd, std::optional<std::uint64_t> total);
    // Erases the line if it is shown.
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool enabled() const { return enabled_; }
    // A report line is due: the display gets out of its way if the report
    // goes to the same terminal, and stays if it goes elsewhere.
    void before_report_line();
    // Redraws at most four times a second once the scan has run for a second.
    void update(std::uint64_t bytes);

private:
    void clear();

    bool enabled_ = false;
    bool shown_ = false; // a line is on the screen now
    // Standard output is the terminal the line is on: a report line would
    // land in the middle of it, so it is erased first.
    bool shares_screen_ = false;
    std::uint64_t total_ = 0;
    std::uint64_t start_ns_ = 0;
    std::uint64_t last_draw_ns_ = 0;
};

// Whether a line is due `elapsed_ns` into the scan and `since_draw_ns` after
// the last one: not in the first second, not within a quarter second of the
// last, not once all is read.
bool progress_due(std::uint64_t elapsed_ns, std::uint64_t since_draw_ns, bool finished);

// The display for `bytes_read` of `total` bytes after `elapsed_ns`:
// "\rsectorscan:  25.0%     12.5 MiB/s  0:30 left" and an erase to the end
// of the line.
void format_progress(char* line, std::size_t size, std::uint64_t bytes_read, std::uint64_t total,
                     std::uint64_t elapsed_ns);
