// The run tracker's transitions and the exact report lines.
#include <gtest/gtest.h>

#include <cstring>

#include "scan/run_tracker.h"
#include "scan/sector_checks.h"
#include "test_images.h"

namespace {

// The line of a run of 2048-byte sectors, placed from byte 0 as the tracker
// places them.
std::string line_for(SectorIndex first, SectorIndex last, const char* tail = "")
{
    char line[RUN_LINE_MAX];
    format_run_line(ClosedRun{first, last, first << 11U, (last + 1) << 11U}, line, tail);
    return line;
}

struct PatternCase {
    const char* pattern;
    const char* report;
};

} // namespace

TEST(RunLine, Formats)
{
    EXPECT_EQ(line_for(1, 1), "0x00000001 (0x00000800)\n");
    EXPECT_EQ(line_for(1, 3), "0x00000001-0x00000003 (0x00000800)\n");
    EXPECT_EQ(line_for(0xfff, 0x1000), "0x00000fff-0x00001000 (0x007ff800)\n");
    // Offsets below 4 GiB keep eight digits; from 4 GiB up they grow.
    EXPECT_EQ(line_for(0x1fffff, 0x1fffff), "0x001fffff (0xfffff800)\n");
    EXPECT_EQ(line_for(0x200001, 0x200001), "0x00200001 (0x100000800)\n");
    EXPECT_EQ(line_for(0x200000, 0x30d3ffff), "0x00200000-0x30d3ffff (0x100000000)\n");
    // The widest: sector numbers and offsets of 64 bits fit the line.
    const SectorIndex top = ~SectorIndex{0} >> 11U;
    EXPECT_EQ(line_for(top - 1, top), "0x1ffffffffffffe-0x1fffffffffffff (0xfffffffffffff000)\n");
    EXPECT_EQ(line_for(top - 1, top, " bad header"),
              "0x1ffffffffffffe-0x1fffffffffffff (0xfffffffffffff000) bad header\n");
}

TEST(RunTracker, PatternsGiveExactReports)
{
    const PatternCase cases[] = {
        {"", ""},
        {"D", ""},
        {"Z", ""},
        {"DZD", "0x00000001 (0x00000800)\n"},
        {"DZZZD", "0x00000001-0x00000003 (0x00000800)\n"},
        {"DZDZZD", "0x00000001 (0x00000800)\n0x00000003-0x00000004 (0x00001800)\n"},
        {"DZZ", ""}, // the image ends inside the run
        {"ZZD", ""}, // nothing stands before sector 0
        {"ZDZD", "0x00000002 (0x00001000)\n"},
        {"DZDZD", "0x00000001 (0x00000800)\n0x00000003 (0x00001800)\n"},
        {"DDDDZZDDZ", "0x00000004-0x00000005 (0x00002000)\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(scan_bytes(image_from_pattern(c.pattern)).report, c.report) << "pattern " << c.pattern;
}

TEST(RunTracker, EdgeSumsOfZeroSuppressTheLine)
{
    Bytes before = image_from_pattern("DZD");
    fill_cancelling(before.data() + SECTOR_SIZE - GUARD_BYTES);
    EXPECT_EQ(scan_bytes(before).report, "");

    Bytes after = image_from_pattern("DZD");
    fill_cancelling(after.data() + 2 * SECTOR_SIZE);
    EXPECT_EQ(scan_bytes(after).report, "");

    // Bytes of 0x80 and above are negative: 0x80 x 16 sums to -2048, not zero.
    Bytes negative = image_from_pattern("DZD");
    std::memset(negative.data() + SECTOR_SIZE - GUARD_BYTES, 0x80, GUARD_BYTES);
    EXPECT_EQ(scan_bytes(negative).report, "0x00000001 (0x00000800)\n");

    // X is zero but for its last byte: it closes the run, its leading bytes
    // sum to 0, and it opens no run of its own.
    Bytes x = image_from_pattern("DZZD");
    x[3 * SECTOR_SIZE - 1] = 0x01;
    EXPECT_EQ(scan_bytes(x).report, "");

    // After X, a new run takes its before-sum from X's last 16 bytes.
    Bytes reopened = image_from_pattern("DZZZD");
    reopened[3 * SECTOR_SIZE - 1] = 0x01;
    EXPECT_EQ(scan_bytes(reopened).report, "0x00000003 (0x00001800)\n");
}

TEST(RunTracker, UsesTheSumsOnlyWhenARunOpensOrCloses)
{
    // The sum in front of a sector matters only where a run opens, and the
    // sector's own leading sum only where one closes: zeros passed anywhere
    // else would suppress the line of a tracker that used them.
    ScanState state;
    ClosedRun closed;
    EXPECT_FALSE(track_sector(state, 0, false, 0, 0, closed));
    EXPECT_FALSE(track_sector(state, 1, true, 136, 0, closed));
    EXPECT_FALSE(track_sector(state, 2, true, 0, 0, closed));
    ASSERT_TRUE(track_sector(state, 3, false, 0, -7, closed));
    EXPECT_EQ(closed.first, 1U);
    EXPECT_EQ(closed.last, 2U);
    // The run is closed: a data sector after it closes nothing.
    EXPECT_FALSE(track_sector(state, 4, false, 5, 5, closed));
}

TEST(RunTracker, RunIsClosedEvenWhenNotReported)
{
    ScanState state;
    ClosedRun closed;
    track_sector(state, 1, true, 0, 0, closed);
    EXPECT_FALSE(track_sector(state, 2, false, 0, 1, closed));
    // The next run starts afresh with its own start and before-sum.
    track_sector(state, 3, true, 1, 0, closed);
    ASSERT_TRUE(track_sector(state, 4, false, 0, 1, closed));
    EXPECT_EQ(closed.first, 3U);
    EXPECT_EQ(closed.last, 3U);
}
