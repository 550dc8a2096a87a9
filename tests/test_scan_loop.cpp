// The chunk loop: chunk boundaries, streams of unknown size, and reads that
// fail, come up short or find the image shrunk.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "run_tracker.h"
#include "sector_checks.h"
#include "test_images.h"

namespace {

// The report by the definition alone, over the whole image at once.
std::string model_report(const Bytes& bytes)
{
    std::string report;
    const std::size_t sectors = bytes.size() / SECTOR_SIZE;
    bool open = false;
    std::size_t start = 0;
    std::int32_t before = 0;
    for (std::size_t i = 0; i < sectors; ++i) {
        const unsigned char* sector = bytes.data() + i * SECTOR_SIZE;
        const bool empty = crc32_buffer(sector, SECTOR_SIZE) == EMPTY_SECTOR_CRC;
        if (empty && !open) {
            open = true;
            start = i;
            before = i == 0 ? 0 : signed_byte_sum(sector - GUARD_BYTES, GUARD_BYTES);
        } else if (!empty && open) {
            open = false;
            if (before != 0 && signed_byte_sum(sector, GUARD_BYTES) != 0) {
                char line[RUN_LINE_MAX];
                format_run_line(ClosedRun{start, i - 1}, line);
                report += line;
            }
        }
    }
    return report;
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
                for (std::size_t b = 0; b < GUARD_BYTES; ++b)
                    sector[b] = b % 2 == 0 ? 0x01 : 0xFF;
            if (random() % 5 == 0) // trailing bytes that cancel out
                for (std::size_t b = SECTOR_SIZE - GUARD_BYTES; b < SECTOR_SIZE; ++b)
                    sector[b] = b % 2 == 0 ? 0x01 : 0xFF;
        }
    }
    std::fill(bytes.end() - static_cast<std::ptrdiff_t>(tail), bytes.end(), 0x41);
    return bytes;
}

// Fault injection: readers that stand in for read(2).
std::size_t g_fail_after = 0;
std::size_t g_delivered = 0;
std::size_t g_piece = 0;
int g_shrink_fd = -1;
off_t g_shrink_to = 0;

ssize_t read_then_fail(int fd, void* buffer, std::size_t count)
{
    if (g_delivered >= g_fail_after) {
        errno = EIO;
        return -1;
    }
    const std::size_t allowed = std::min(count, g_fail_after - g_delivered);
    const ssize_t n = read(fd, buffer, allowed);
    if (n > 0)
        g_delivered += static_cast<std::size_t>(n);
    return n;
}

ssize_t read_in_pieces(int fd, void* buffer, std::size_t count)
{
    // Every other call is interrupted by a signal before it reads anything.
    if (++g_delivered % 2 == 0) {
        errno = EINTR;
        return -1;
    }
    return read(fd, buffer, std::min(count, g_piece));
}

ssize_t read_and_shrink(int fd, void* buffer, std::size_t count)
{
    const ssize_t n = read(fd, buffer, count);
    if (g_shrink_fd >= 0) {
        // After the first read, something else truncates the image.
        EXPECT_EQ(ftruncate(g_shrink_fd, g_shrink_to), 0);
        g_shrink_fd = -1;
    }
    return n;
}

} // namespace

TEST(ScanLoop, ChunkSizeDoesNotChangeTheReport)
{
    // Runs cross chunk boundaries for every chunk size here, one touches the
    // end of the image, and a partial sector follows the last whole one.
    for (const unsigned seed : {1U, 2U, 3U}) {
        Bytes bytes = mixed_image(4096 + 700, 1000, seed);
        const std::size_t sectors = bytes.size() / SECTOR_SIZE;
        std::fill(bytes.begin() + static_cast<std::ptrdiff_t>((sectors - 5) * SECTOR_SIZE),
                  bytes.begin() + static_cast<std::ptrdiff_t>(sectors * SECTOR_SIZE), 0);
        const std::string expected = model_report(bytes);
        ASSERT_NE(expected.find('\n'), std::string::npos) << "the image should hold reported runs";
        for (const std::size_t chunk_sectors : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, sectors + 1}) {
            const ScanRun run = scan_bytes(bytes, chunk_sectors * SECTOR_SIZE);
            EXPECT_EQ(run.result.status, ScanResult::complete);
            EXPECT_EQ(run.result.bytes_read, bytes.size());
            EXPECT_EQ(run.report, expected) << "seed " << seed << ", chunks of " << chunk_sectors << " sectors";
        }
    }
}

TEST(ScanLoop, EightMegabyteBoundaries)
{
    const std::size_t chunk = SECTORS_PER_CHUNK;
    struct Case {
        std::size_t sectors, tail, first_zero, last_zero;
        const char* report;
    };
    const Case cases[] = {
        // Exactly one chunk; the remainder is empty.
        {chunk, 0, 4094, 4094, "0x00000ffe (0x007ff000)\n"},
        // 4101 whole sectors and 100 trailing bytes that are never examined.
        {chunk + 5, 100, 4098, 4099, "0x00001002-0x00001003 (0x00801000)\n"},
        {chunk + 5, 100, 4097, 4097, "0x00001001 (0x00800800)\n"},
        // The last sector of a whole chunk, closed by the first remainder sector.
        {chunk + 2, 0, 4095, 4095, "0x00000fff (0x007ff800)\n"},
        // Across one boundary, and across two refills.
        {chunk + 2, 0, 4095, 4096, "0x00000fff-0x00001000 (0x007ff800)\n"},
        {2 * chunk + 2, 0, 4095, 8192, "0x00000fff-0x00002000 (0x007ff800)\n"},
        // Zeros up to a partial sector of data: no sector closes the run.
        {chunk + 3, 2000, 4097, 4098, ""},
    };
    for (const auto& c : cases) {
        Bytes bytes = data_image_with_zeros(c.sectors, c.first_zero, c.last_zero);
        bytes.insert(bytes.end(), c.tail, 0x41);
        EXPECT_EQ(scan_bytes(bytes).report, c.report)
            << c.sectors << " sectors + " << c.tail << ", zero " << c.first_zero << "-" << c.last_zero;
    }
}

TEST(ScanLoop, FirstSectorOfAChunkSeesThePreviousChunksLastBytes)
{
    // A run opening at sector 4096 takes its before-sum from the end of the
    // previous chunk, which the refill has overwritten.
    Bytes cancelled = data_image_with_zeros(SECTORS_PER_CHUNK + 2, 4096, 4096);
    for (std::size_t b = 0; b < GUARD_BYTES; ++b)
        cancelled[CHUNK_SIZE - GUARD_BYTES + b] = b % 2 == 0 ? 0x01 : 0xFF;
    EXPECT_EQ(scan_bytes(cancelled).report, "");

    // And not from whatever the refilled buffer holds at that place.
    Bytes kept = data_image_with_zeros(2 * SECTORS_PER_CHUNK, 4096, 4096);
    for (std::size_t b = 0; b < GUARD_BYTES; ++b)
        kept[2 * CHUNK_SIZE - GUARD_BYTES + b] = b % 2 == 0 ? 0x01 : 0xFF;
    EXPECT_EQ(scan_bytes(kept).report, "0x00001000 (0x00800000)\n");
}

TEST(ScanLoop, StreamOfUnknownSizeReportsLikeTheFile)
{
    Bytes bytes = mixed_image(3 * 4096 + 11, 77, 9);
    const std::string expected = model_report(bytes);
    g_delivered = 0;
    g_piece = 4000; // a pipe hands out less than a sector at a time
    const ScanRun run = scan_bytes(bytes, CHUNK_SIZE, true, read_in_pieces);
    EXPECT_EQ(run.result.status, ScanResult::complete);
    EXPECT_EQ(run.result.bytes_read, bytes.size());
    EXPECT_EQ(run.report, expected);

    g_delivered = 0;
    g_piece = 1;
    const Bytes small = image_from_pattern("DZZDZD");
    EXPECT_EQ(scan_bytes(small, 2 * SECTOR_SIZE, true, read_in_pieces).report,
              "0x00000001-0x00000002 (0x00000800)\n0x00000004 (0x00002000)\n");
}

TEST(ScanLoop, ShortReadsOfAMeasuredFileAreRefilled)
{
    const Bytes bytes = mixed_image(5000, 10, 4);
    g_delivered = 0;
    g_piece = 777;
    const ScanRun run = scan_bytes(bytes, CHUNK_SIZE, false, read_in_pieces);
    EXPECT_EQ(run.result.status, ScanResult::complete);
    EXPECT_EQ(run.report, model_report(bytes));
}

TEST(ScanLoop, ReadErrorStopsTheScanAndKeepsEarlierLines)
{
    // Runs in the first chunk and in the third; the read fails in the second.
    const Bytes bytes = image_from_pattern("DZDD"
                                           "DDDD"
                                           "DZDD");
    g_delivered = 0;
    g_fail_after = 5 * SECTOR_SIZE + 100;
    const ScanRun run = scan_bytes(bytes, 4 * SECTOR_SIZE, false, read_then_fail);
    EXPECT_EQ(run.result.status, ScanResult::read_failed);
    EXPECT_EQ(run.result.error, EIO);
    EXPECT_EQ(run.report, "0x00000001 (0x00000800)\n");

    // The same failure on a stream.
    g_delivered = 0;
    const ScanRun stream = scan_bytes(bytes, 4 * SECTOR_SIZE, true, read_then_fail);
    EXPECT_EQ(stream.result.status, ScanResult::read_failed);
    EXPECT_EQ(stream.report, "0x00000001 (0x00000800)\n");
}

TEST(ScanLoop, ImageThatShrinksDuringTheScanIsAFailure)
{
    const Bytes bytes = image_from_pattern("DZDD"
                                           "DDDD"
                                           "DZDD");
    const std::string path = write_temp_file("shrink.img", bytes);
    ScanInput input;
    input.fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(input.fd, 0);
    input.size = file_size(input.fd);
    input.read_some = read_and_shrink;
    g_shrink_to = 6 * SECTOR_SIZE;
    // ftruncate needs a writable descriptor; reopen for it.
    g_shrink_fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(g_shrink_fd, 0);
    const int writer = g_shrink_fd;

    Bytes buffer(4 * SECTOR_SIZE);
    char* text = nullptr;
    std::size_t length = 0;
    std::FILE* out = open_memstream(&text, &length);
    const ScanResult result = scan_image(input, buffer.data(), buffer.size(), out);
    std::fclose(out);
    EXPECT_EQ(result.status, ScanResult::input_shrank);
    EXPECT_EQ(result.bytes_read, 6 * SECTOR_SIZE);
    EXPECT_EQ(std::string(text, length), "0x00000001 (0x00000800)\n");
    std::free(text);
    close(writer);
    close(input.fd);
    unlink(path.c_str());
}

TEST(ScanLoop, WriteFailureStopsTheReader)
{
    // A run in the first slot whose line cannot be written: the scan stops
    // there, with the rest of the image unread, instead of reading on.
    const Bytes bytes = data_image_with_zeros(std::size_t{4} * SECTORS_PER_CHUNK, 10, 10);
    ScanInput input;
    input.fd = memory_file(bytes);
    input.size = file_size(input.fd);
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    std::setvbuf(full, nullptr, _IONBF, 0);
    Bytes buffer(CHUNK_SIZE);
    const ScanResult result = scan_image(input, buffer.data(), buffer.size(), full);
    EXPECT_EQ(result.status, ScanResult::write_failed);
    EXPECT_EQ(result.error, ENOSPC);
    EXPECT_LT(result.bytes_read, CHUNK_SIZE);
    std::fclose(full);
    close(input.fd);
}

TEST(ScanLoop, FileSizeSeeksBackToTheStart)
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
}
