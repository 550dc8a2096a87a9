// The progress line's timing and values.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli_run.h"
#include "progress.h"
#include "test_images.h"

namespace {

constexpr std::uint64_t SECOND = 1000000000ULL;
constexpr std::uint64_t MIB = std::uint64_t{1} << 20U;

std::string line_for(std::uint64_t bytes_read, std::uint64_t total, std::uint64_t elapsed_ns)
{
    char line[128];
    format_progress(line, sizeof line, bytes_read, total, elapsed_ns);
    return line;
}

// A terminal to stand for standard error: the far end of a pseudo-terminal,
// whose near end `master` must stay open while it is used.
int open_terminal(int& master)
{
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    return open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
}

} // namespace

TEST(Progress, QuietInTheFirstSecondAndAtMostFourTimesASecond)
{
    Progress progress;
    progress.total = 100 * MIB;
    progress.start_ns = 5 * SECOND;
    EXPECT_FALSE(progress_due(progress, MIB, progress.start_ns + SECOND - 1));
    EXPECT_TRUE(progress_due(progress, MIB, progress.start_ns + SECOND));
    progress.last_draw_ns = progress.start_ns + SECOND;
    EXPECT_FALSE(progress_due(progress, MIB, progress.last_draw_ns + SECOND / 4 - 1));
    EXPECT_TRUE(progress_due(progress, MIB, progress.last_draw_ns + SECOND / 4));
    EXPECT_FALSE(progress_due(progress, progress.total, progress.last_draw_ns + SECOND));
}

TEST(Progress, PercentRateAndTimeLeftFollowTheBytesRead)
{
    // 100 of 1000 MiB in 10 s: 10 MiB/s, 900 MiB and 90 s to go.
    EXPECT_EQ(line_for(100 * MIB, 1000 * MIB, 10 * SECOND), "\rsectorscan:  10.0%     10.0 MiB/s  1:30 left\033[K");
    EXPECT_EQ(line_for(750 * MIB, 1000 * MIB, 3 * SECOND), "\rsectorscan:  75.0%    250.0 MiB/s  0:01 left\033[K");
    // 1.5 s left is rounded, not cut, to 2.
    EXPECT_EQ(line_for(100 * MIB, 250 * MIB, SECOND), "\rsectorscan:  40.0%    100.0 MiB/s  0:02 left\033[K");
    EXPECT_EQ(line_for(MIB, 7201 * MIB, SECOND), "\rsectorscan:   0.0%      1.0 MiB/s  120:00 left\033[K");
}

TEST(Progress, ShownOnATerminalWhereItCannotBreakUpTheReport)
{
    int master = -1;
    const int terminal = open_terminal(master);
    ASSERT_GE(terminal, 0);
    const std::string path = write_temp_file("progress.out", {});
    const int file = open(path.c_str(), O_WRONLY);
    int pipe_ends[2];
    int sockets[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
    // Standard error a terminal and standard output a file: shown, and left
    // in place for report lines, which go elsewhere.
    Progress progress = progress_start(terminal, file, true, 100 * MIB);
    EXPECT_TRUE(progress.enabled);
    progress.shown = true;
    progress_notify(&progress, MIB, true);
    EXPECT_TRUE(progress.shown);
    // Both on the terminal: erased before a report line.
    progress = progress_start(terminal, terminal, true, 100 * MIB);
    EXPECT_TRUE(progress.enabled);
    progress.shown = true;
    progress_notify(&progress, MIB, true);
    EXPECT_FALSE(progress.shown);
    // The other way round, into a pipe or a socket, or of unknown size: off.
    EXPECT_FALSE(progress_start(file, terminal, true, 100 * MIB).enabled);
    EXPECT_FALSE(progress_start(terminal, pipe_ends[1], true, 100 * MIB).enabled);
    EXPECT_FALSE(progress_start(terminal, sockets[0], true, 100 * MIB).enabled);
    EXPECT_FALSE(progress_start(terminal, file, false, 0).enabled);
    for (const int fd : {terminal, master, file, pipe_ends[0], pipe_ends[1], sockets[0], sockets[1]})
        close(fd);
    unlink(path.c_str());
}

TEST(Progress, NotifyDrawsAtMostFourTimesASecondWithTheRateSoFar)
{
    int master = -1;
    const int terminal = open_terminal(master);
    ASSERT_GE(terminal, 0);
    const std::string path = write_temp_file("progress.err", {});
    Progress progress = progress_start(terminal, terminal, true, 100 * MIB);
    ASSERT_TRUE(progress.enabled);
    progress.start_ns -= 2 * SECOND; // 10 MiB read in the two seconds so far
    // What it draws goes to standard error: into a file for a while.
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    const int file = open(path.c_str(), O_WRONLY);
    dup2(file, STDERR_FILENO);
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(600)) {
        progress_notify(&progress, 10 * MIB, false);
        usleep(1000);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    progress_clear(progress);
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(file);
    close(terminal);
    close(master);

    const std::string drawn = read_file(path);
    std::size_t draws = 0;
    for (std::size_t at = drawn.find("\rsectorscan:"); at != std::string::npos;
         at = drawn.find("\rsectorscan:", at + 1))
        ++draws;
    EXPECT_GE(draws, 1U) << drawn;
    EXPECT_LE(static_cast<double>(draws), seconds * 4 + 1) << drawn;
    // 10 MiB in a little over 2 s: about 5 MiB/s, never 0.
    const double rate = std::strtod(drawn.c_str() + drawn.find('%') + 1, nullptr);
    EXPECT_GT(rate, 3.0) << drawn;
    EXPECT_LT(rate, 5.1) << drawn;
    unlink(path.c_str());
}
