// Progress display: percent done, MiB/s and time left, on one erasable line.
#include "output/progress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>

#include "support/fatal_signals.h"

namespace {

constexpr std::uint64_t NS = 1000000000ULL;
constexpr std::uint64_t FIRST_DRAW_NS = NS; // quiet for short scans
constexpr std::uint64_t REDRAW_NS = NS / 4;
constexpr char ERASE[] = "\r\033[K";

std::uint64_t now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * NS + static_cast<std::uint64_t>(t.tv_nsec);
}

bool is_pipe_or_socket(int fd)
{
    struct stat info {};
    return fstat(fd, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
}

bool same_terminal(int fd, int other)
{
    struct stat a {};
    struct stat b {};
    return isatty(fd) == 1 && isatty(other) == 1 && fstat(fd, &a) == 0 && fstat(other, &b) == 0 &&
           a.st_rdev == b.st_rdev;
}

} // namespace

ProgressLine::ProgressLine(int err_fd, int out_fd, std::optional<std::uint64_t> total)
    : enabled_(total.value_or(0) > 0 && isatty(err_fd) == 1 && !is_pipe_or_socket(out_fd)),
      shares_screen_(same_terminal(err_fd, out_fd)), total_(total.value_or(0)), start_ns_(now_ns())
{
    if (enabled_)
        catch_fatal_signals(false);
}

ProgressLine::~ProgressLine()
{
    clear();
}

void ProgressLine::clear()
{
    if (!shown_)
        return;
    std::fputs(ERASE, stderr);
    std::fflush(stderr);
    shown_ = false;
    set_progress_line_shown(false);
}

bool progress_due(std::uint64_t elapsed_ns, std::uint64_t since_draw_ns, bool finished)
{
    return elapsed_ns >= FIRST_DRAW_NS && since_draw_ns >= REDRAW_NS && !finished;
}

void format_progress(char* line, std::size_t size, std::uint64_t bytes_read, std::uint64_t total,
                     std::uint64_t elapsed_ns)
{
    const double seconds = static_cast<double>(elapsed_ns) / static_cast<double>(NS);
    const double rate = seconds > 0 ? static_cast<double>(bytes_read) / seconds : 0; // bytes per second
    const double left = rate > 0 ? static_cast<double>(total - bytes_read) / rate : 0;
    const auto left_s = static_cast<unsigned long>(std::lround(left));
    std::snprintf(line, size, "\rsectorscan: %5.1f%%  %7.1f MiB/s  %lu:%02lu left\033[K",
                  100.0 * static_cast<double>(bytes_read) / static_cast<double>(total), rate / (1024.0 * 1024.0),
                  left_s / 60, left_s % 60);
}

void ProgressLine::before_report_line()
{
    if (shares_screen_)
        clear();
}

void ProgressLine::update(std::uint64_t bytes)
{
    if (!enabled_)
        return;
    const std::uint64_t now = now_ns();
    if (!progress_due(now - start_ns_, now - last_draw_ns_, bytes >= total_))
        return;
    last_draw_ns_ = now;
    char line[128];
    format_progress(line, sizeof line, bytes, total_, now - start_ns_);
    // Shown before it is written: a signal in between erases what is not
    // there yet, which does no harm, rather than leave a line behind.
    shown_ = true;
    set_progress_line_shown(true);
    std::fputs(line, stderr);
    std::fflush(stderr);
}
