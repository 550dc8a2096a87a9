// The progress line's timing and values.
#include <gtest/gtest.h>

#include <string>

#include "progress.h"

namespace {

constexpr std::uint64_t SECOND = 1000000000ULL;
constexpr std::uint64_t MIB = std::uint64_t{1} << 20U;

std::string line_for(std::uint64_t bytes_read, std::uint64_t total, std::uint64_t elapsed_ns)
{
    char line[128];
    format_progress(line, sizeof line, bytes_read, total, elapsed_ns);
    return line;
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
    EXPECT_EQ(line_for(MIB, 7201 * MIB, SECOND), "\rsectorscan:   0.0%      1.0 MiB/s  120:00 left\033[K");
}
