// The scan: piece and worker counts, streams of unknown size, and reads and
// writes that fail, come up short or find the image shrunk.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "model_report.h"
#include "sector_checks.h"
#include "test_images.h"

namespace {

std::string model_of(const Bytes& bytes)
{
    return model_report(bytes.data(), bytes.size());
}

// A mix of data, runs of every length, edges that sum to zero and negative
// bytes; ends with `tail` extra bytes of a partial sector.
Bytes mixed_image(std::size_t sectors, std::size_t tail, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes bytes(sectors * SECTOR_SIZE + tail, 0);
    std::size_t i = 0;
    while (i < sectors) {
        const std::size_t length = 1 + random() % 9;
        const bool empty = random() % 3 == 0;
        for (std::size_t k = 0; k < length && i < sectors; ++k, ++i) {
            unsigned char* sector = bytes.data() + i * SECTOR_SIZE;
            if (empty)
                continue;
            std::memset(sector, static_cast<int>(0x41 + random() % 0x80), SECTOR_SIZE);
            if (random() % 5 == 0) // leading bytes that cancel out
                fill_cancelling(sector);
            if (random() % 5 == 0) // trailing bytes that cancel out
                fill_cancelling(sector + SECTOR_SIZE - GUARD_BYTES);
        }
    }
    std::fill(bytes.end() - static_cast<std::ptrdiff_t>(tail), bytes.end(), 0x41);
    return bytes;
}

// Fault injection: readers that stand in for pread(2) and read(2).
std::size_t g_fail_at = 0;   // bytes from here on cannot be read
std::size_t g_delivered = 0; // a stream's position
std::size_t g_piece = 0;     // the most a read hands out
int g_calls_after_end = 0;   // reads of a stream after its end or failure
bool g_ended = false;
int g_shrink_fd = -1;
off_t g_shrink_to = 0;

ssize_t read_then_fail(int fd, void* buffer, std::size_t count, off_t offset)
{
    if (offset < 0 && g_ended)
        ++g_calls_after_end;
    const std::size_t at = offset < 0 ? g_delivered : static_cast<std::size_t>(offset);
    if (at >= g_fail_at) {
        g_ended = offset < 0;
        errno = EIO;
        return -1;
    }
    const ssize_t n = read_or_pread(fd, buffer, std::min(count, g_fail_at - at), offset);
    if (n > 0 && offset < 0)
        g_delivered += static_cast<std::size_t>(n);
    return n;
}

ssize_t read_in_pieces(int fd, void* buffer, std::size_t count, off_t offset)
{
    if (offset < 0 && g_ended)
        ++g_calls_after_end;
    // Every other call is interrupted by a signal before it reads anything.
    if (__atomic_add_fetch(&g_delivered, 1, __ATOMIC_RELAXED) % 2 == 0) {
        errno = EINTR;
        return -1;
    }
    const ssize_t n = read_or_pread(fd, buffer, std::min(count, g_piece), offset);
    if (n == 0 && offset < 0)
        g_ended = true;
    return n;
}

ssize_t read_and_shrink(int fd, void* buffer, std::size_t count, off_t offset)
{
    const ssize_t n = read_or_pread(fd, buffer, count, offset);
    const int shrink_fd = __atomic_exchange_n(&g_shrink_fd, -1, __ATOMIC_RELAXED);
    if (shrink_fd >= 0) { // after the first read, something else truncates the image
        EXPECT_EQ(ftruncate(shrink_fd, g_shrink_to), 0);
    }
    return n;
}

// An output stream that accepts nothing: each write waits `g_write_delay_ms`
// and fails with ENOSPC. What it was asked to write is kept.
std::string g_attempted;
unsigned g_write_delay_ms = 0;

ssize_t failing_write(void* /*cookie*/, const char* data, std::size_t size)
{
    g_attempted.append(data, size);
    usleep(g_write_delay_ms * 1000);
    errno = ENOSPC;
    return -1;
}

std::FILE* failing_stream()
{
    g_attempted.clear();
    cookie_io_functions_t io{};
    io.write = failing_write;
    std::FILE* stream = fopencookie(nullptr, "w", io);
    std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

} // namespace

TEST(Scan, PieceSizeAndWorkerCountDoNotChangeTheReport)
{
    // Runs cross piece boundaries for every piece size here, one touches the
    // end of the image, and a partial sector follows the last whole one.
    for (const unsigned seed : {1U, 2U, 3U}) {
        Bytes bytes = mixed_image(300, 1000, seed);
        const std::size_t sectors = bytes.size() / SECTOR_SIZE;
        std::fill(bytes.begin() + static_cast<std::ptrdiff_t>((sectors - 5) * SECTOR_SIZE),
                  bytes.begin() + static_cast<std::ptrdiff_t>(sectors * SECTOR_SIZE), 0);
        const std::string expected = model_of(bytes);
        ASSERT_NE(expected.find('\n'), std::string::npos) << "the image should hold reported runs";
        for (std::size_t piece_sectors = 1; piece_sectors <= 5; ++piece_sectors) {
            for (unsigned workers = 1; workers <= 4; ++workers) {
                for (const bool stream : {false, true}) {
                    const ScanRun run = scan_bytes(bytes, ReadPlan{piece_sectors * SECTOR_SIZE, workers}, stream);
                    EXPECT_EQ(run.result.status, ScanResult::complete);
                    EXPECT_EQ(run.result.bytes_read, bytes.size());
                    EXPECT_EQ(run.report, expected) << "seed " << seed << ", pieces of " << piece_sectors
                                                    << " sectors, " << workers << " workers, stream " << stream;
                    EXPECT_EQ(run.mapfile_blocks, model_mapfile_blocks(expected, bytes.size(), bytes.size()));
                }
            }
        }
    }
    // And over more sectors than the whole read memory holds, as the tool runs.
    const Bytes large = mixed_image(CHUNK_SIZE / SECTOR_SIZE + 700, 10, 4);
    for (const unsigned cpus : {1U, 2U, 8U}) {
        const ReadPlan plan = plan_reading(cpus);
        EXPECT_LE(plan.workers * plan.piece_size, CHUNK_SIZE) << cpus << " CPUs";
        EXPECT_EQ(scan_bytes(large, plan).report, model_of(large)) << cpus << " CPUs";
    }
}

TEST(Scan, RunsAroundThe8MiBMark)
{
    // Sector 4096 starts at 8 MiB, where a piece starts too.
    const std::size_t mark = 4096;
    struct Case {
        std::size_t sectors, tail, first_zero, last_zero;
        const char* report;
    };
    const Case cases[] = {
        // Exactly 8 MiB.
        {mark, 0, 4094, 4094, "0x00000ffe (0x007ff000)\n"},
        // 4101 whole sectors and 100 trailing bytes that are never examined.
        {mark + 5, 100, 4098, 4099, "0x00001002-0x00001003 (0x00801000)\n"},
        {mark + 5, 100, 4097, 4097, "0x00001001 (0x00800800)\n"},
        // The last sector before the mark, closed by the first after it.
        {mark + 2, 0, 4095, 4095, "0x00000fff (0x007ff800)\n"},
        // Across the mark, and across it and the next 8 MiB.
        {mark + 2, 0, 4095, 4096, "0x00000fff-0x00001000 (0x007ff800)\n"},
        {2 * mark + 2, 0, 4095, 8192, "0x00000fff-0x00002000 (0x007ff800)\n"},
        // Zeros up to a partial sector of data: no sector closes the run.
        {mark + 3, 2000, 4097, 4098, ""},
    };
    for (const auto& c : cases) {
        Bytes bytes = data_image_with_zeros(c.sectors, c.first_zero, c.last_zero);
        bytes.insert(bytes.end(), c.tail, 0x41);
        EXPECT_EQ(scan_bytes(bytes).report, c.report)
            << c.sectors << " sectors + " << c.tail << ", zero " << c.first_zero << "-" << c.last_zero;
    }
}

TEST(Scan, FirstSectorOfAPieceSeesThePreviousPiecesLastBytes)
{
    // A run opening at the first sector of a piece takes its before-sum from
    // the last bytes of the piece before, which another worker read.
    const std::size_t first = PIECE_SIZE / SECTOR_SIZE;
    Bytes cancelled = data_image_with_zeros(first + 2, first, first);
    fill_cancelling(&cancelled[PIECE_SIZE - GUARD_BYTES]);
    EXPECT_EQ(scan_bytes(cancelled).report, "");

    // And not from the last bytes of the same worker's previous piece.
    Bytes kept = data_image_with_zeros(2 * first + 2, 2 * first, 2 * first);
    fill_cancelling(&kept[PIECE_SIZE - GUARD_BYTES]);
    EXPECT_NE(model_of(kept), "");
    EXPECT_EQ(scan_bytes(kept).report, model_of(kept));
}

TEST(Scan, StreamOfUnknownSizeReportsLikeTheFileAndStopsAtItsEnd)
{
    Bytes bytes = mixed_image(3 * 4096 + 11, 77, 9);
    g_delivered = 0;
    g_piece = 4000; // a pipe hands out less than a sector at a time
    g_ended = false;
    g_calls_after_end = 0;
    const ScanRun run = scan_bytes(bytes, ReadPlan{PIECE_SIZE, 3}, true, read_in_pieces);
    EXPECT_EQ(run.result.status, ScanResult::complete);
    EXPECT_EQ(run.result.bytes_read, bytes.size());
    EXPECT_EQ(run.report, model_of(bytes));
    // A terminal or tape would wait for more input: its end is read once.
    EXPECT_EQ(g_calls_after_end, 0);

    g_delivered = 0;
    g_piece = 1;
    g_ended = false;
    const Bytes small = image_from_pattern("DZZDZD");
    EXPECT_EQ(scan_bytes(small, ReadPlan{2 * SECTOR_SIZE, 2}, true, read_in_pieces).report,
              "0x00000001-0x00000002 (0x00000800)\n0x00000004 (0x00002000)\n");
    EXPECT_EQ(g_calls_after_end, 0);
}

TEST(Scan, ShortReadsOfAMeasuredFileAreRefilled)
{
    const Bytes bytes = mixed_image(5000, 10, 4);
    g_delivered = 0;
    g_piece = 777;
    const ScanRun run = scan_bytes(bytes, TEST_PLAN, false, read_in_pieces);
    EXPECT_EQ(run.result.status, ScanResult::complete);
    EXPECT_EQ(run.report, model_of(bytes));
}

TEST(Scan, ReadErrorKeepsTheLinesBeforeItAndChecksThePartlyReadPiece)
{
    // Pieces of four sectors. The read fails 100 bytes into sector 5: sector
    // 4, the whole sector of the failing piece, closes the run at 3. The run
    // at 9, in a piece that may well have been read, is after the failure.
    const Bytes bytes = image_from_pattern("DZDZ"
                                           "DDDD"
                                           "DZDD");
    for (const bool stream : {false, true}) {
        for (const unsigned workers : {1U, 3U}) {
            g_delivered = 0;
            g_fail_at = 5 * SECTOR_SIZE + 100;
            g_ended = false;
            g_calls_after_end = 0;
            const ScanRun run = scan_bytes(bytes, ReadPlan{4 * SECTOR_SIZE, workers}, stream, read_then_fail);
            EXPECT_EQ(run.result.status, ScanResult::read_failed);
            EXPECT_EQ(run.result.error, EIO);
            EXPECT_EQ(run.result.bytes_read, 5 * SECTOR_SIZE + 100);
            EXPECT_EQ(run.report, "0x00000001 (0x00000800)\n0x00000003 (0x00001800)\n")
                << workers << " workers, stream " << stream;
            EXPECT_EQ(g_calls_after_end, 0) << "a stream was read after a failed read";
            // Nothing is known of the bytes after sector 4: not tried. Of a
            // stream, only what was read is known to exist.
            EXPECT_EQ(run.result.image_size, stream ? g_fail_at : bytes.size());
            EXPECT_EQ(run.mapfile_blocks, model_mapfile_blocks(run.report, 5 * SECTOR_SIZE, run.result.image_size));
        }
    }
    // A run still open where the read fails may yet have been reported: its
    // sectors are not settled either.
    const Bytes open_run = image_from_pattern("DZDZ"
                                              "DDDZ"
                                              "ZZDD");
    g_fail_at = 9 * SECTOR_SIZE + 100;
    const ScanRun run = scan_bytes(open_run, ReadPlan{4 * SECTOR_SIZE, 2}, false, read_then_fail);
    EXPECT_EQ(run.result.settled_bytes, 7 * SECTOR_SIZE);
    EXPECT_EQ(run.mapfile_blocks, model_mapfile_blocks(run.report, 7 * SECTOR_SIZE, open_run.size()));
}

TEST(Scan, ImageThatShrinksDuringTheScanIsAFailure)
{
    const Bytes bytes = image_from_pattern("DZDD"
                                           "DDDD"
                                           "DZDD");
    const std::string path = write_temp_file("shrink.img", bytes);
    ScanInput input;
    input.fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(input.fd, 0);
    input.size = file_size(input.fd);
    input.read_at = read_and_shrink;
    g_shrink_to = 6 * SECTOR_SIZE;
    // ftruncate needs a writable descriptor; reopen for it.
    const int writer = open(path.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    g_shrink_fd = writer;

    const ScanRun run = scan_input(input, ReadPlan{2 * SECTOR_SIZE, 1});
    EXPECT_EQ(run.result.status, ScanResult::input_shrank);
    EXPECT_EQ(run.result.bytes_read, 6 * SECTOR_SIZE);
    EXPECT_EQ(run.report, "0x00000001 (0x00000800)\n");
    close(writer);
    close(input.fd);
    unlink(path.c_str());
}

TEST(Scan, WriteFailureStopsTheScanAtOnce)
{
    // No line after a failed write: the scan ends with the first one, also
    // inside a piece, where nothing after the sector that closed the run is
    // tracked.
    ScanInput input;
    input.fd = memory_file(image_from_pattern("DZDZDZD"));
    input.size = file_size(input.fd);
    ScanResult result;
    for (const std::size_t piece_size : {SECTOR_SIZE, PIECE_SIZE}) {
        std::FILE* out = failing_stream();
        result = scan_image(input, ReadPlan{piece_size, 2}, out);
        EXPECT_EQ(result.status, ScanResult::write_failed);
        EXPECT_EQ(result.error, ENOSPC);
        EXPECT_EQ(g_attempted.find("0x00000003"), std::string::npos) << g_attempted;
        EXPECT_EQ(result.settled_bytes, 3 * SECTOR_SIZE) << piece_size;
        std::fclose(out);
    }
    close(input.fd);
    std::FILE* out = nullptr;

    // A pipe whose writer has stalled after 5 sectors, and one that holds
    // more than the ring: while the failing write takes its time, a worker
    // waits for the pipe, or the workers wait for the ring. The scan must
    // end all the same (the watchdog ends a test that hangs).
    for (const std::size_t sectors : {std::size_t{5}, std::size_t{24}}) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const Bytes start = data_image_with_zeros(sectors, 1, 1);
        ASSERT_EQ(write(fds[1], start.data(), start.size()), static_cast<ssize_t>(start.size()));
        input = ScanInput{};
        input.fd = fds[0];
        g_write_delay_ms = 200;
        out = failing_stream();
        result = scan_image(input, ReadPlan{SECTOR_SIZE, 2}, out);
        g_write_delay_ms = 0;
        EXPECT_EQ(result.status, ScanResult::write_failed) << sectors;
        std::fclose(out);
        close(fds[0]);
        close(fds[1]);
    }
}

TEST(Scan, MeasuresOnlyWhatHasALength)
{
    const Bytes bytes = image_from_pattern("DZD");
    const int fd = memory_file(bytes);
    lseek(fd, 100, SEEK_SET);
    EXPECT_EQ(file_size(fd), std::optional<std::uint64_t>(3 * SECTOR_SIZE));
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
    close(fd);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_FALSE(file_size(fds[0]).has_value());
    close(fds[0]);
    close(fds[1]);

    // An empty file measures 0 bytes; it is not a stream to read to its end.
    const std::string empty = write_temp_file("empty.img", {});
    ScanInput input;
    ASSERT_EQ(open_image(empty.c_str(), input), 0);
    EXPECT_EQ(input.size, std::optional<std::uint64_t>(0));
    close(input.fd);
    unlink(empty.c_str());
    ScanInput device;
    ASSERT_EQ(open_image("/dev/zero", device), 0);
    EXPECT_FALSE(device.size.has_value());
    close(device.fd);
}
