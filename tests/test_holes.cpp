// Sparse images: pieces that lie in holes are known without reading them,
// and the report is exactly what reading the file gives.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "model_report.h"
#include "test_images.h"

namespace {

constexpr std::size_t BLOCK = 4096; // the file system's block, on ext4 and tmpfs

std::size_t g_seeks = 0;
std::size_t g_bytes_read = 0;

off_t counting_seek(int fd, off_t offset, int whence)
{
    __atomic_add_fetch(&g_seeks, 1, __ATOMIC_RELAXED);
    return lseek(fd, offset, whence);
}

off_t seek_unsupported(int /*fd*/, off_t /*offset*/, int /*whence*/)
{
    __atomic_add_fetch(&g_seeks, 1, __ATOMIC_RELAXED);
    errno = EINVAL;
    return -1;
}

ssize_t counting_pread(int fd, void* buffer, std::size_t count, off_t offset)
{
    const ssize_t n = pread(fd, buffer, count, offset);
    if (n > 0)
        __atomic_add_fetch(&g_bytes_read, static_cast<std::size_t>(n), __ATOMIC_RELAXED);
    return n;
}

// Cuts the file named by g_shrink_path to half on the second question.
std::string g_shrink_path;

off_t seek_then_shrink(int fd, off_t offset, int whence)
{
    if (__atomic_add_fetch(&g_seeks, 1, __ATOMIC_RELAXED) == 2) {
        struct stat info {};
        EXPECT_EQ(fstat(fd, &info), 0);
        EXPECT_EQ(truncate(g_shrink_path.c_str(), info.st_size / 2), 0);
    }
    return lseek(fd, offset, whence);
}

ScanRun scan_file(const std::string& path, const ReadPlan& plan, SeekFunction seek, ScanInput* opened = nullptr)
{
    ScanInput input;
    EXPECT_EQ(open_image(path.c_str(), input), 0);
    input.seek_data = seek;
    input.read_at = counting_pread;
    if (opened != nullptr)
        *opened = input;
    ScanRun run = scan_input(input, plan);
    close(input.fd);
    return run;
}

} // namespace

TEST(Holes, SparseFilesReportAsIfRead)
{
    const std::size_t size = 40 * BLOCK;
    struct Layout {
        const char* name;
        std::initializer_list<Extent> extents;
        std::size_t size;
    };
    const Layout layouts[] = {
        // A hole at the start, one block of data, a one-block hole, data that
        // starts and ends inside sectors, a long hole, data across piece
        // edges, and a hole to the end with a partial sector after it.
        {"holes.img", {{4 * BLOCK, BLOCK}, {6 * BLOCK + 1000, 3000}, {20 * BLOCK, 3 * BLOCK}}, size + 100},
        // Data at the start and at the very end, with a partial sector.
        {"ends.img", {{0, 2 * BLOCK}, {size - SECTOR_SIZE, SECTOR_SIZE + 100}}, size + 100},
    };
    for (const Layout& layout : layouts) {
        Bytes bytes;
        const std::string path = sparse_file(layout.name, layout.size, layout.extents, bytes);
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        if (info.st_blocks * 512 >= info.st_size) {
            unlink(path.c_str());
            GTEST_SKIP() << "the file system of " << path << " reports no holes";
        }
        const std::string expected = model_report(bytes.data(), bytes.size());
        ASSERT_NE(expected, "") << layout.name;
        for (const ReadPlan plan : {ReadPlan{SECTOR_SIZE, 2}, ReadPlan{2 * SECTOR_SIZE, 1},
                                    ReadPlan{4 * SECTOR_SIZE, 3}, ReadPlan{3 * SECTOR_SIZE, 2}, TEST_PLAN}) {
            g_seeks = g_bytes_read = 0;
            const ScanRun run = scan_file(path, plan, counting_seek);
            EXPECT_EQ(run.result.status, ScanResult::complete);
            EXPECT_EQ(run.result.bytes_read, bytes.size());
            EXPECT_EQ(run.report, expected) << layout.name << ", pieces of " << plan.piece_size;
            EXPECT_GT(g_seeks, 0U);
            // Only the data is read, in whole sectors, also where a piece
            // holds data and holes both.
            std::size_t data = 0;
            for (const Extent& e : layout.extents)
                data += e.length + 2 * SECTOR_SIZE;
            EXPECT_LE(g_bytes_read, data) << layout.name << ", pieces of " << plan.piece_size;
        }
        // Where the file system cannot say, the file is read.
        g_bytes_read = 0;
        EXPECT_EQ(scan_file(path, ReadPlan{SECTOR_SIZE, 2}, seek_unsupported).report, expected);
        EXPECT_EQ(g_bytes_read, bytes.size());
        unlink(path.c_str());
    }
}

TEST(Holes, DenseFileIsNotAskedForHoles)
{
    const std::string path = write_temp_file("dense.img", image_from_pattern("DZDZZD"));
    g_seeks = 0;
    ScanInput input;
    const ScanRun run = scan_file(path, ReadPlan{SECTOR_SIZE, 2}, counting_seek, &input);
    EXPECT_FALSE(input.may_have_holes);
    EXPECT_EQ(run.report, "0x00000001 (0x00000800)\n0x00000003-0x00000004 (0x00001800)\n");
    EXPECT_EQ(g_seeks, 0U);
    unlink(path.c_str());
}

TEST(Holes, SparseFileThatShrinksIsStillAFailure)
{
    // A hole to the end answers ENXIO, like the end of a file that shrank:
    // only the file's size tells them apart.
    Bytes bytes;
    const std::string path = sparse_file("shrunk.img", 16 * BLOCK, {{0, BLOCK}}, bytes);
    ScanInput input;
    ASSERT_EQ(open_image(path.c_str(), input), 0);
    ASSERT_EQ(truncate(path.c_str(), 8 * BLOCK), 0);
    ScanRun run = scan_input(input, ReadPlan{2 * SECTOR_SIZE, 2});
    EXPECT_EQ(run.result.status, ScanResult::input_shrank);
    EXPECT_EQ(run.result.bytes_read, 8 * BLOCK);
    close(input.fd);

    // Shrinking after the hole to the end was learned of: the last piece is
    // asked about all the same, and finds it out.
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    ASSERT_EQ(truncate(path.c_str(), 16 * BLOCK), 0);
    ASSERT_EQ(open_image(path.c_str(), input), 0);
    input.seek_data = seek_then_shrink;
    g_shrink_path = path;
    g_seeks = 0;
    run = scan_input(input, ReadPlan{2 * SECTOR_SIZE, 1});
    EXPECT_EQ(run.result.status, ScanResult::input_shrank);
    close(input.fd);
    unlink(path.c_str());
}

TEST(Holes, RunThatOpensInAHoleAndOneQuestionForAHoleToTheEnd)
{
    // Data in the first 4 KiB and from 40 KiB on: the run opens at the first
    // sector of the hole, which may be a claim of its own of one sector, and
    // takes its before-sum from the data in front of it.
    Bytes bytes;
    const std::string path = sparse_file("opens.img", 12 * BLOCK, {{0, BLOCK}, {10 * BLOCK, 2 * BLOCK}}, bytes);
    for (const ReadPlan plan : {ReadPlan{SECTOR_SIZE, 1}, ReadPlan{SECTOR_SIZE, 2}, ReadPlan{2 * SECTOR_SIZE, 1},
                                ReadPlan{2 * SECTOR_SIZE, 2}})
        EXPECT_EQ(scan_file(path, plan, counting_seek).report, "0x00000002-0x00000013 (0x00001000)\n")
            << plan.piece_size << ", " << plan.workers;
    unlink(path.c_str());

    // After data in the first 4 KiB, a hole to the end of 64 pieces: asked
    // about once, and once more for the last piece, not once per piece.
    const std::string to_end = sparse_file("to-end.img", 32 * BLOCK, {{0, BLOCK}}, bytes);
    g_seeks = 0;
    EXPECT_EQ(scan_file(to_end, ReadPlan{SECTOR_SIZE, 1}, counting_seek).result.status, ScanResult::complete);
    // The two pieces of data: where it starts and where its hole does.
    EXPECT_LE(g_seeks, 6U);
    unlink(to_end.c_str());
}
