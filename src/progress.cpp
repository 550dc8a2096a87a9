// Progress display: percent done, MiB/s and time left, on one erasable line.
#include "progress.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

constexpr std::uint64_t NS = 1000000000ULL;
constexpr std::uint64_t FIRST_DRAW_NS = NS; // quiet for short scans
constexpr std::uint64_t REDRAW_NS = NS / 4;

std::uint64_t now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * NS + static_cast<std::uint64_t>(t.tv_nsec);
}

} // namespace

Progress progress_start(int fd, bool size_known, std::uint64_t total)
{
    Progress progress;
    progress.enabled = size_known && total > 0 && isatty(fd) == 1;
    progress.total = total;
    progress.start_ns = now_ns();
    return progress;
}

void progress_clear(Progress& progress)
{
    if (!progress.shown)
        return;
    std::fputs("\r\033[K", stderr);
    progress.shown = false;
}

void progress_notify(void* context, std::uint64_t bytes_read, bool line_due)
{
    auto& progress = *static_cast<Progress*>(context);
    if (!progress.enabled)
        return;
    if (line_due) {
        // Standard output may be the same terminal: get out of the way, so
        // that report lines never mix with the display.
        progress_clear(progress);
        std::fflush(stderr);
        return;
    }
    const std::uint64_t now = now_ns();
    const std::uint64_t elapsed = now - progress.start_ns;
    if (elapsed < FIRST_DRAW_NS || now - progress.last_draw_ns < REDRAW_NS || bytes_read >= progress.total)
        return;
    progress.last_draw_ns = now;
    const double seconds = static_cast<double>(elapsed) / static_cast<double>(NS);
    const double rate = static_cast<double>(bytes_read) / seconds; // bytes per second
    const double left = rate > 0 ? static_cast<double>(progress.total - bytes_read) / rate : 0;
    const auto left_s = static_cast<unsigned long>(std::lround(left));
    std::fprintf(stderr, "\rsectorscan: %5.1f%%  %7.1f MiB/s  %lu:%02lu left\033[K",
                 100.0 * static_cast<double>(bytes_read) / static_cast<double>(progress.total),
                 rate / (1024.0 * 1024.0), left_s / 60, left_s % 60);
    std::fflush(stderr);
    progress.shown = true;
}
