// Sparse images: sectors that lie in holes are known without reading them,
// and the report is exactly what reading the file gives.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "fault_mount.h"
#include "model_report.h"
#include "test_images.h"

namespace {

constexpr std::size_t BLOCK = 4096; // the file system's block, on ext4 and tmpfs

// A sparse backing file for the fault file system, with data only in
// `extents`; its bytes in `bytes`.
bool sparse_backing(const FaultFs& fs, const std::string& name, std::size_t size, std::initializer_list<Extent> extents,
                    Bytes& bytes)
{
    const std::string made = sparse_file(name.c_str(), size, extents, bytes);
    const bool moved = rename(made.c_str(), fs.backing(name).c_str()) == 0;
    struct stat info {};
    return moved && stat(fs.backing(name).c_str(), &info) == 0 && info.st_blocks * 512 < info.st_size;
}

} // namespace

TEST(Holes, SparseFilesReportAsIfRead)
{
    REQUIRE_FAULT_FS(fs);
    const std::size_t size = 40 * BLOCK;
    struct Layout {
        const char* name;
        std::initializer_list<Extent> extents;
        std::size_t size;
    };
    const Layout layouts[] = {
        // A hole at the start, one block of data, a one-block hole, data that
        // starts and ends inside sectors, a long hole, data across claim
        // edges, and a hole to the end with a partial sector after it.
        {"holes.img", {{4 * BLOCK, BLOCK}, {6 * BLOCK + 1000, 3000}, {20 * BLOCK, 3 * BLOCK}}, size + 100},
        // Data at the start and at the very end, with a partial sector.
        {"ends.img", {{0, 2 * BLOCK}, {size - SECTOR_SIZE, SECTOR_SIZE + 100}}, size + 100},
    };
    int faults_tried = 0;
    for (const Layout& layout : layouts) {
        Bytes bytes;
        if (!sparse_backing(*fs, layout.name, layout.size, layout.extents, bytes))
            GTEST_SKIP() << "the file system under " << fs->backing("") << " reports no holes";
        const std::string expected = model_report(bytes.data(), bytes.size());
        ASSERT_NE(expected, "") << layout.name;
        // Only the data is read, in whole sectors, also where a claim holds
        // data and holes both; on a file system of 1 KiB blocks an extent
        // may start inside a sector.
        std::size_t data = 0;
        for (const Extent& e : layout.extents)
            data += e.length + 2 * SECTOR_SIZE;
        for (const char* faults : {"plain", "blocks=1024"}) {
            for (const ReadPlan& plan : {ReadPlan{SECTOR_SIZE, 2}, ReadPlan{2 * SECTOR_SIZE, 1},
                                         ReadPlan{4 * SECTOR_SIZE, 3}, ReadPlan{3 * SECTOR_SIZE, 2}, TEST_PLAN}) {
                const std::string view = std::string(faults) + ",n" + std::to_string(faults_tried++);
                const ScanRun run = scan_path(fs->path(view, layout.name), plan);
                const FaultFs::Stats stats = fs->stats(view, layout.name);
                const std::string what = std::string(layout.name) + " " + faults + ", pieces of " +
                                         std::to_string(plan.piece_size) + ", " + std::to_string(plan.readers);
                EXPECT_EQ(run.result.end, ScanResult::End::complete) << what;
                EXPECT_EQ(run.result.bytes_read, bytes.size()) << what;
                EXPECT_EQ(run.report, expected) << what;
                EXPECT_GT(stats.seeks, 0U) << what;
                EXPECT_LE(stats.bytes, data) << what;
            }
        }
        // A read that fails in an extent of data ends the scan with the
        // error, after the lines before it.
        const std::size_t fail_at = layout.extents.begin()[layout.extents.size() - 1].offset + 100;
        const ScanRun failed = scan_path(fs->path("eio=" + std::to_string(fail_at), layout.name), TEST_PLAN);
        EXPECT_EQ(failed.result.end, ScanResult::End::read_failed) << layout.name;
        EXPECT_EQ(failed.result.error, EIO) << layout.name;
        EXPECT_EQ(expected.rfind(failed.report, 0), 0U) << layout.name << ": " << failed.report;
        EXPECT_EQ(failed.report, model_report(bytes.data(), fail_at / SECTOR_SIZE * SECTOR_SIZE)) << layout.name;
        // Where the file system cannot tell, or answers without moving on,
        // the file is read.
        for (const char* faults : {"noseek", "stuck"}) {
            const ScanRun run = scan_path(fs->path(faults, layout.name), ReadPlan{SECTOR_SIZE, 2});
            EXPECT_EQ(run.report, expected) << faults;
            EXPECT_EQ(fs->stats(faults, layout.name).bytes, bytes.size()) << faults;
        }
    }
}

TEST(Holes, DenseFileIsNotAskedForHoles)
{
    REQUIRE_FAULT_FS(fs);
    const ScanRun run =
        scan_path(fs->add("plain", "dense.img", image_from_pattern("DZDZZD")), ReadPlan{SECTOR_SIZE, 2});
    EXPECT_EQ(run.report, "0x00000001 (0x00000800)\n0x00000003-0x00000004 (0x00001800)\n");
    EXPECT_EQ(fs->stats("plain", "dense.img").seeks, 0U);
}

TEST(Holes, LongHolesAreAskedAboutOnceAndAShrinkingFileIsStillAFailure)
{
    REQUIRE_FAULT_FS(fs);
    // Data in the first 4 KiB and from 40 KiB on: the run opens at the first
    // sector of the hole, which may be a claim of its own of one sector, and
    // takes its before-sum from the data in front of it.
    Bytes bytes;
    if (!sparse_backing(*fs, "opens.img", 12 * BLOCK, {{0, BLOCK}, {10 * BLOCK, 2 * BLOCK}}, bytes))
        GTEST_SKIP() << "the file system under " << fs->backing("") << " reports no holes";
    for (const ReadPlan& plan : {ReadPlan{SECTOR_SIZE, 1}, ReadPlan{SECTOR_SIZE, 2}, ReadPlan{2 * SECTOR_SIZE, 1},
                                 ReadPlan{2 * SECTOR_SIZE, 2}})
        EXPECT_EQ(scan_path(fs->path("plain", "opens.img"), plan).report, "0x00000002-0x00000013 (0x00001000)\n")
            << plan.piece_size << ", " << plan.readers;

    // After data in the first 4 KiB, a hole to the end of 256 claims: asked
    // about once, and once more for the last claim, not once per claim.
    ASSERT_TRUE(sparse_backing(*fs, "to-end.img", 128 * BLOCK, {{0, BLOCK}}, bytes));
    const ScanRun whole = scan_path(fs->path("plain", "to-end.img"), ReadPlan{SECTOR_SIZE, 1});
    EXPECT_EQ(whole.result.end, ScanResult::End::complete);
    EXPECT_LE(fs->stats("plain", "to-end.img").seeks, 6U);

    // A hole to the end answers like the end of a file that shrank: only the
    // file's size tells them apart. Cut after the first read, before the
    // hole to the end was learned of, and after it (the third question):
    // the last claim is always asked about.
    for (const char* faults : {"shrink=32768", "shrink=32768,after=3"}) {
        ASSERT_TRUE(sparse_backing(*fs, "shrinks.img", 128 * BLOCK, {{0, BLOCK}}, bytes));
        const ScanRun run = scan_path(fs->path(faults, "shrinks.img"), ReadPlan{2 * SECTOR_SIZE, 1});
        EXPECT_EQ(run.result.end, ScanResult::End::shrank) << faults;
    }
}
