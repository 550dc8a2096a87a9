// Progress display: percent done, MiB/s and time left, on one erasable line.
#include "progress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <initializer_list>

namespace {

constexpr std::uint64_t NS = 1000000000ULL;
constexpr std::uint64_t FIRST_DRAW_NS = NS; // quiet for short scans
constexpr std::uint64_t REDRAW_NS = NS / 4;
constexpr char ERASE[] = "\r\033[K";

// Whether a line is on the screen, for the signal handler, which may run on
// any thread: the one piece of state it reads, lock-free and so safe there.
std::atomic<bool> g_line_shown = false;
static_assert(std::atomic<bool>::is_always_lock_free);

std::uint64_t now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * NS + static_cast<std::uint64_t>(t.tv_nsec);
}

// Erases the line and dies of the same signal, so that the shell sees the
// usual status (130 for SIGINT).
void erase_and_die(int signal)
{
    if (g_line_shown.load()) {
        // Nothing to be done if it fails: the tool is about to die anyway.
        const ssize_t written = write(STDERR_FILENO, ERASE, sizeof ERASE - 1);
        static_cast<void>(written);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void catch_signals()
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        // A signal that is ignored (nohup) stays ignored.
        if (sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN)
            continue;
        action = {};
        action.sa_handler = erase_and_die;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
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

Progress progress_start(int err_fd, int out_fd, bool size_known, std::uint64_t total)
{
    Progress progress;
    progress.enabled = size_known && total > 0 && isatty(err_fd) == 1 && !is_pipe_or_socket(out_fd);
    progress.shares_screen = same_terminal(err_fd, out_fd);
    progress.total = total;
    progress.start_ns = now_ns();
    if (progress.enabled)
        catch_signals();
    return progress;
}

void progress_clear(Progress& progress)
{
    if (!progress.shown)
        return;
    std::fputs(ERASE, stderr);
    progress.shown = false;
    g_line_shown = false;
}

bool progress_due(const Progress& progress, std::uint64_t bytes_read, std::uint64_t now_ns)
{
    return now_ns - progress.start_ns >= FIRST_DRAW_NS && now_ns - progress.last_draw_ns >= REDRAW_NS &&
           bytes_read < progress.total;
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

void progress_notify(void* context, std::uint64_t bytes_read, bool line_due)
{
    auto& progress = *static_cast<Progress*>(context);
    if (!progress.enabled)
        return;
    if (line_due) {
        // A report line on the same terminal: get out of its way. A report
        // that goes elsewhere leaves the line on the screen.
        if (progress.shares_screen) {
            progress_clear(progress);
            std::fflush(stderr);
        }
        return;
    }
    const std::uint64_t now = now_ns();
    if (!progress_due(progress, bytes_read, now))
        return;
    progress.last_draw_ns = now;
    char line[128];
    format_progress(line, sizeof line, bytes_read, progress.total, now - progress.start_ns);
    // Shown before it is written: a signal in between erases what is not
    // there yet, which does no harm, rather than leave a line behind.
    progress.shown = true;
    g_line_shown = true;
    std::fputs(line, stderr);
    std::fflush(stderr);
}
