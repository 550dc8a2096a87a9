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
#include "output/progress.h"
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

std::size_t count(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(Progress, QuietInTheFirstSecondAndAtMostFourTimesASecond)
{
    EXPECT_FALSE(progress_due(SECOND - 1, SECOND - 1, false));
    EXPECT_TRUE(progress_due(SECOND, SECOND, false));
    EXPECT_FALSE(progress_due(2 * SECOND, SECOND / 4 - 1, false));
    EXPECT_TRUE(progress_due(2 * SECOND, SECOND / 4, false));
    EXPECT_FALSE(progress_due(2 * SECOND, SECOND, true));
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

TEST(Progress, OnlyOnATerminalWhereItCannotBreakUpTheReport)
{
    int master = -1;
    const int terminal = open_terminal(master);
    ASSERT_GE(terminal, 0);
    const std::string path = write_temp_file("progress.out", {});
    const int file = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    int pipe_ends[2];
    int sockets[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
    EXPECT_TRUE(ProgressLine(terminal, file, 100 * MIB).enabled());
    EXPECT_TRUE(ProgressLine(terminal, terminal, 100 * MIB).enabled());
    // The other way round, into a pipe or a socket, or of unknown size: off.
    EXPECT_FALSE(ProgressLine(file, terminal, 100 * MIB).enabled());
    EXPECT_FALSE(ProgressLine(terminal, pipe_ends[1], 100 * MIB).enabled());
    EXPECT_FALSE(ProgressLine(terminal, sockets[0], 100 * MIB).enabled());
    EXPECT_FALSE(ProgressLine(terminal, file, std::nullopt).enabled());
    for (const int fd : {terminal, master, file, pipe_ends[0], pipe_ends[1], sockets[0], sockets[1]})
        close(fd);
    unlink(path.c_str());
}

TEST(Progress, DrawsAtMostFourTimesASecondAndGetsOutOfTheReportsWay)
{
    int master = -1;
    const int terminal = open_terminal(master);
    ASSERT_GE(terminal, 0);
    int other_master = -1;
    const int other_terminal = open_terminal(other_master);
    ASSERT_GE(other_terminal, 0);
    const std::string path = write_temp_file("progress.err", {});
    const std::string other = write_temp_file("progress.report", {});
    const int report_file = open(other.c_str(), O_WRONLY | O_CLOEXEC);
    // What it draws goes to standard error: into a file for a while.
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    const int file = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    dup2(file, STDERR_FILENO);
    double seconds = 0;
    std::string shared_draws;
    std::string before_line;
    {
        ProgressLine shared(terminal, terminal, 100 * MIB);
        ProgressLine elsewhere(terminal, report_file, 100 * MIB);
        ProgressLine other_screen(terminal, other_terminal, 100 * MIB);
        usleep(1050000); // quiet in the first second
        const auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(600)) {
            shared.update(10 * MIB);
            usleep(1000);
        }
        seconds = 1.05 + std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::fflush(stderr);
        shared_draws = read_file(path);
        elsewhere.update(10 * MIB);
        other_screen.update(10 * MIB);
        // A report line for the terminal erases the line; one for a file or
        // another terminal leaves it; what was erased is not erased again.
        std::fflush(stderr);
        before_line = read_file(path);
        shared.before_report_line();
        elsewhere.before_report_line();
        other_screen.before_report_line();
        shared.before_report_line();
    }
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    for (const int fd : {saved, file, terminal, master, other_terminal, other_master, report_file})
        close(fd);

    const std::string drawn = read_file(path);
    const std::string erase = "\r\033[K";
    const std::size_t draws = count(shared_draws, "\rsectorscan:");
    EXPECT_GE(draws, 2U) << shared_draws;
    EXPECT_LE(static_cast<double>(draws), (seconds - 1) * 4 + 2) << shared_draws;
    // 10 MiB in a little over a second: never 0.
    const double rate = std::strtod(shared_draws.c_str() + shared_draws.find('%') + 1, nullptr);
    EXPECT_GT(rate, 5.0) << shared_draws;
    EXPECT_LT(rate, 10.1) << shared_draws;
    // After the drawing: one erase for the shared terminal's report line,
    // and one as each display that stayed in place ends.
    EXPECT_EQ(count(drawn.substr(before_line.size()), erase), 3U) << drawn.substr(before_line.size());
    unlink(path.c_str());
    unlink(other.c_str());
}
