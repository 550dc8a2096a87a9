// The scan: claim sizes and reader counts, streams of unknown size, and reads
// and sinks that fail, come up short or find the image shrunk.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "cli_run.h"
#include "fault_mount.h"
#include "files/file_map.h"
#include "model_report.h"
#include "output/outputs.h"
#include "scan/sector_checks.h"
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

// A sink that takes nothing: each run waits `delay_ms`, then fails with
// ENOSPC. It keeps the runs it was offered.
class FailingSink final : public RunSink {
public:
    explicit FailingSink(unsigned delay_ms = 0) : delay_ms_(delay_ms) {}
    Failure run_closed(const ClosedRun& run) override
    {
        offered.push_back(run.first);
        usleep(delay_ms_ * 1000);
        return Failure{ENOSPC};
    }
    std::vector<SectorIndex> offered;

private:
    unsigned delay_ms_;
};

// Threads of this process now.
int thread_count()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0)
            return std::stoi(line.substr(8));
    }
    return -1;
}

} // namespace

TEST(Scan, PieceSizeAndReaderCountDoNotChangeTheReport)
{
    // Runs cross claim boundaries for every piece size here, one touches the
    // end of the image, and a partial sector follows the last whole one.
    for (const unsigned seed : {1U, 2U, 3U}) {
        Bytes bytes = mixed_image(300, 1000, seed);
        const std::size_t sectors = bytes.size() / SECTOR_SIZE;
        std::fill(bytes.begin() + static_cast<std::ptrdiff_t>((sectors - 5) * SECTOR_SIZE),
                  bytes.begin() + static_cast<std::ptrdiff_t>(sectors * SECTOR_SIZE), 0);
        const std::string expected = model_of(bytes);
        ASSERT_NE(expected.find('\n'), std::string::npos) << "the image should hold reported runs";
        for (std::size_t piece_sectors = 1; piece_sectors <= 5; ++piece_sectors) {
            for (unsigned readers = 1; readers <= 4; ++readers) {
                for (const bool stream : {false, true}) {
                    const ScanRun run = scan_bytes(bytes, ReadPlan{piece_sectors * SECTOR_SIZE, readers}, stream);
                    EXPECT_EQ(run.result.end, ScanResult::End::complete);
                    EXPECT_EQ(run.result.bytes_read, bytes.size());
                    EXPECT_EQ(run.report, expected) << "seed " << seed << ", pieces of " << piece_sectors
                                                    << " sectors, " << readers << " readers, stream " << stream;
                    EXPECT_EQ(run.mapfile_blocks, model_mapfile_blocks(expected, bytes.size(), bytes.size()));
                }
            }
        }
    }
    // And over more sectors than all the readers' buffers hold, as the tool
    // runs: claims of several slices each.
    const Bytes large = mixed_image(std::size_t{8} * PIECE_SIZE / SECTOR_SIZE + 700, 10, 4);
    for (const unsigned cpus : {1U, 2U, 8U}) {
        const ReadPlan plan = plan_reading(cpus);
        EXPECT_EQ(plan.readers, std::min(cpus, MAX_READERS));
        EXPECT_EQ(scan_bytes(large, plan).report, model_of(large)) << cpus << " CPUs";
    }
}

TEST(Scan, RunsAroundThe8MiBMark)
{
    // Sector 4096 starts at 8 MiB, where a claim starts too.
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

TEST(Scan, FirstSectorOfAClaimOrSliceSeesTheLastBytesBeforeIt)
{
    // A run opening at the first sector of a claim takes its before-sum from
    // the last bytes of the claim before, which another reader read; one
    // opening at the first sector of a slice, from the slice before, which
    // the same buffer held.
    for (const std::size_t first : {PIECE_SIZE / SECTOR_SIZE, SLICE_SIZE / SECTOR_SIZE}) {
        Bytes cancelled = data_image_with_zeros(first + 2, first, first);
        fill_cancelling(&cancelled[first * SECTOR_SIZE - GUARD_BYTES]);
        EXPECT_EQ(scan_bytes(cancelled).report, "") << first;
        Bytes kept = data_image_with_zeros(first + 2, first, first);
        kept[first * SECTOR_SIZE - 1] = 0x80;
        EXPECT_EQ(scan_bytes(kept).report, model_of(kept)) << first;
        EXPECT_NE(model_of(kept), "");
    }
    // And not from the last bytes of the same reader's claim before.
    const std::size_t first = PIECE_SIZE / SECTOR_SIZE;
    Bytes kept = data_image_with_zeros(2 * first + 2, 2 * first, 2 * first);
    fill_cancelling(&kept[PIECE_SIZE - GUARD_BYTES]);
    EXPECT_EQ(scan_bytes(kept).report, model_of(kept));
}

TEST(Scan, ReadFaultsThroughTheFileSystem)
{
    REQUIRE_FAULT_FS(fs);
    // Claims of four sectors. The read fails 100 bytes into sector 5: sector
    // 4, the whole sector of the failing claim, closes the run at 3. The run
    // at 9, in a claim that may well have been read, is after the failure.
    const Bytes bytes = image_from_pattern("DZDZ"
                                           "DDDD"
                                           "DZDD");
    const std::string fail_at = std::to_string(5 * SECTOR_SIZE + 100);
    for (const char* stream : {"", "stream,"}) {
        for (const unsigned readers : {1U, 3U}) {
            const std::string faults = std::string(stream) + "eio=" + fail_at;
            const std::string name = "eio-" + std::to_string(readers) + ".img";
            const ScanRun run = scan_path(fs->add(faults, name, bytes), ReadPlan{4 * SECTOR_SIZE, readers});
            const std::string what = faults + ", " + std::to_string(readers) + " readers";
            EXPECT_EQ(run.result.end, ScanResult::End::read_failed) << what;
            EXPECT_EQ(run.result.error, EIO) << what;
            EXPECT_EQ(run.result.bytes_read, 5 * SECTOR_SIZE + 100) << what;
            EXPECT_EQ(run.report, "0x00000001 (0x00000800)\n0x00000003 (0x00001800)\n") << what;
            // Nothing is known of the bytes after sector 4: not tried. Of a
            // stream, only what was read is known to exist.
            EXPECT_EQ(run.result.image_size, *stream != '\0' ? 5 * SECTOR_SIZE + 100 : bytes.size()) << what;
            EXPECT_EQ(run.mapfile_blocks, model_mapfile_blocks(run.report, 5 * SECTOR_SIZE, run.result.image_size));
            // A stream, or a file with one reader, is not read on after a
            // failed read: a terminal or tape would wait for more.
            if (*stream != '\0' || readers == 1) {
                EXPECT_EQ(fs->stats(faults, name).after_end, 0U) << what;
            }
        }
    }
    // A run still open where the read fails may yet have been reported: its
    // sectors are not settled either; but one from sector 0 never can be.
    for (const auto& [pattern, settled] :
         {std::pair{"DZDZDDDZZZDD", 7}, std::pair{"DZDZDDDZDDDD", 7}, std::pair{"ZZZZZZZZZZDD", 8}}) {
        const Bytes open_run = image_from_pattern(pattern);
        const ScanRun run = scan_path(fs->add("eio=" + std::to_string(8 * SECTOR_SIZE + 100), "open.img", open_run),
                                      ReadPlan{4 * SECTOR_SIZE, 2});
        EXPECT_EQ(run.result.settled_bytes, settled * SECTOR_SIZE) << pattern;
        EXPECT_EQ(run.mapfile_blocks, model_mapfile_blocks(run.report, settled * SECTOR_SIZE, open_run.size()));
    }

    // Short reads: a pipe hands out less than a sector at a time, and a file
    // may too. A stream's end is read once.
    const Bytes mixed = mixed_image(3 * 4096 + 11, 77, 9);
    const Bytes small = image_from_pattern("DZZDZD");
    const struct {
        const char* faults;
        const char* name;
        const Bytes& image;
    } shorts[] = {{"short=777", "short-file.img", mixed},
                  {"stream,short=4000", "short-stream.img", mixed},
                  {"stream,short=1", "byte-stream.img", small}};
    for (const auto& c : shorts) {
        const ScanRun short_run = scan_path(fs->add(c.faults, c.name, c.image), ReadPlan{2 * SECTOR_SIZE, 3});
        EXPECT_EQ(short_run.result.end, ScanResult::End::complete) << c.faults;
        EXPECT_EQ(short_run.result.bytes_read, c.image.size()) << c.faults;
        EXPECT_EQ(short_run.report, model_of(c.image)) << c.faults;
        EXPECT_EQ(fs->stats(c.faults, c.name).after_end, 0U) << c.faults;
    }

    // Read, or mapped through the page cache (which a file read directly
    // cannot be): the same ends.
    for (const auto& [cached, way] : {std::pair{"", ReadWay::read}, std::pair{"cached,", ReadWay::map}}) {
        const std::string how = std::string(cached) + (way == ReadWay::map ? "mapped" : "read");
        // A read that a truncation overtook returns its full count, but the
        // file no longer holds those bytes: none of them is tracked.
        Bytes alternating;
        for (int i = 0; i < 2048; ++i)
            alternating.insert(alternating.end(), SECTOR_SIZE, i % 2 == 0 ? 0x41 : 0);
        const ScanRun stale = scan_path(fs->add(std::string(cached) + "stale=2047", "stale.img", alternating),
                                        ReadPlan(PIECE_SIZE, 4, way));
        EXPECT_EQ(stale.result.end, ScanResult::End::shrank) << how;
        EXPECT_EQ(stale.result.bytes_read, 2047U) << how;
        EXPECT_EQ(stale.report, "") << how;
        // Cut inside a stretch of data, before the run after it closes; and
        // just past a run, whose closing sector the file no longer holds.
        for (const auto& [pattern, report] :
             {std::pair{"DDDDDDDDDDZZDDD", ""}, std::pair{"DZDDZDDDDDDDDDD", "0x00000001 (0x00000800)\n"}}) {
            const ScanRun cut = scan_path(fs->add(std::string(cached) + "stale=10240", std::string(pattern) + ".img",
                                                  image_from_pattern(pattern)),
                                          ReadPlan(PIECE_SIZE, 1, way));
            EXPECT_EQ(cut.result.end, ScanResult::End::shrank) << pattern << how;
            EXPECT_EQ(cut.result.bytes_read, 10240U) << pattern << how;
            EXPECT_EQ(cut.report, report) << pattern << how;
        }
        // An image cut short while it is read, after the first read: inside
        // a stretch of data.
        const ScanRun shrunk = scan_path(fs->add(std::string(cached) + "shrink=" + std::to_string(6 * SECTOR_SIZE),
                                                 "shrink.img", image_from_pattern("DZDDDDDDDZDD")),
                                         ReadPlan(2 * SECTOR_SIZE, 1, way));
        EXPECT_EQ(shrunk.result.end, ScanResult::End::shrank) << how;
        EXPECT_EQ(shrunk.result.bytes_read, 6 * SECTOR_SIZE) << how;
        EXPECT_EQ(shrunk.report, "0x00000001 (0x00000800)\n") << how;
    }
}

TEST(Scan, ReadOfAStreamInterruptedBySignalsGoesOn)
{
    // A signal whose handler does not restart calls cuts a read of a pipe
    // short with EINTR; the scanning thread, reading alone, reads again.
    struct sigaction action {};
    action.sa_handler = [](int) {};
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
    const Bytes bytes = data_image_with_zeros(64, 10, 20);
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    const pthread_t scanner = pthread_self();
    std::atomic<bool> done = false;
    std::thread writer([&] {
        // A sector at a time, with signals while the reader waits.
        for (std::size_t at = 0; at < bytes.size(); at += SECTOR_SIZE) {
            for (int k = 0; k < 3; ++k) {
                pthread_kill(scanner, SIGUSR1);
                usleep(300);
            }
            EXPECT_EQ(write(fds[1], bytes.data() + at, SECTOR_SIZE), static_cast<ssize_t>(SECTOR_SIZE));
        }
        close(fds[1]);
        done = true;
    });
    const ScanRun run = scan_path("/dev/fd/" + std::to_string(fds[0]), ReadPlan{8 * SECTOR_SIZE, 1});
    writer.join();
    close(fds[0]);
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(run.result.end, ScanResult::End::complete) << std::strerror(run.result.error);
    EXPECT_EQ(run.report, "0x0000000a-0x00000014 (0x00005000)\n");
}

TEST(Scan, FailedSinkStopsTheScanAtOnceAndLeavesNoThreadBehind)
{
    // No run after a failed sink: the scan ends with the first one, also
    // inside a claim, where nothing after the sector that closed the run is
    // tracked; and the readers' threads are gone when scan_image returns.
    const std::string path = write_temp_file("failing.img", image_from_pattern("DZDZDZD"));
    // A scan first: a sanitizer may start a thread of its own with the first
    // thread the process starts.
    scan_path(path, ReadPlan{SECTOR_SIZE, 4});
    const int threads = thread_count();
    for (const std::size_t piece_size : {SECTOR_SIZE, PIECE_SIZE}) {
        ImageInput input;
        ASSERT_FALSE(open_image(path.c_str(), input));
        FailingSink failing;
        const ScanResult result = scan_image(input, ReadPlan{piece_size, 4}, failing);
        EXPECT_EQ(result.end, ScanResult::End::sink_failed);
        EXPECT_EQ(result.error, ENOSPC);
        EXPECT_EQ(failing.offered, std::vector<SectorIndex>{1}) << piece_size;
        EXPECT_EQ(result.settled_bytes, 3 * SECTOR_SIZE) << piece_size;
        EXPECT_EQ(thread_count(), threads) << piece_size;
    }
    unlink(path.c_str());

    // A pipe whose writer has stalled after 5 sectors, and one that holds
    // more than the ring: while the failing sink takes its time, a reader
    // waits for the pipe, or the readers wait for the ring. The scan must
    // end all the same (the watchdog ends a test that hangs).
    for (const std::size_t sectors : {std::size_t{5}, std::size_t{24}}) {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        const Bytes start = data_image_with_zeros(sectors, 1, 1);
        ASSERT_EQ(write(fds[1], start.data(), start.size()), static_cast<ssize_t>(start.size()));
        ImageInput input;
        ASSERT_FALSE(open_image(("/dev/fd/" + std::to_string(fds[0])).c_str(), input));
        FailingSink failing(200);
        // A scan that does not stop would wait for the pipe for ever: after
        // a while the pipe is closed, so that it ends, and the test fails.
        std::mutex lock;
        std::condition_variable ended;
        bool done = false;
        bool rescued = false;
        std::thread rescuer([&] {
            std::unique_lock guard(lock);
            if (!ended.wait_for(guard, std::chrono::seconds(10), [&] { return done; })) {
                rescued = true;
                close(fds[1]);
            }
        });
        const ScanResult::End end = scan_image(input, ReadPlan{SECTOR_SIZE, 2}, failing).end;
        {
            const std::lock_guard guard(lock);
            done = true;
        }
        ended.notify_one();
        rescuer.join();
        EXPECT_FALSE(rescued) << sectors << ": the scan went on after its sink failed";
        EXPECT_EQ(end, ScanResult::End::sink_failed) << sectors;
        EXPECT_EQ(thread_count(), threads) << sectors;
        close(fds[0]);
        if (!rescued)
            close(fds[1]);
    }
}

TEST(Scan, MeasuresOnlyWhatHasALength)
{
    const std::string path = write_temp_file("measured.img", image_from_pattern("DZD"));
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    lseek(fd, 100, SEEK_SET);
    EXPECT_EQ(file_size(fd), std::optional<std::uint64_t>(3 * SECTOR_SIZE));
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
    close(fd);
    unlink(path.c_str());

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_FALSE(file_size(fds[0]).has_value());
    close(fds[0]);
    close(fds[1]);

    // An empty file measures 0 bytes; it is not a stream to read to its end.
    const std::string empty = write_temp_file("empty.img", {});
    ImageInput input;
    ASSERT_FALSE(open_image(empty.c_str(), input));
    EXPECT_EQ(input.size(), std::optional<std::uint64_t>(0));
    unlink(empty.c_str());
    ImageInput device;
    ASSERT_FALSE(open_image("/dev/zero", device));
    EXPECT_FALSE(device.size().has_value());
}

TEST(Outputs, AWriteThatFailsStopsTheScanWhereverItFailsAndTheMapfileHasTheRun)
{
    // Runs at sectors 1, 3 and 5, each in a file of the map. Standard output
    // takes `room` bytes and then fails: in the second run's report line, in
    // its file line, or not at all.
    const std::string path = write_temp_file("outputs.img", image_from_pattern("DZDZDZD"));
    FileMap map;
    for (const SectorIndex sector : {1, 3, 5}) {
        const FileMap::Entry file = map.add(FileMap::ROOT, std::string("f").append(std::to_string(sector)), false);
        map.add_extent(file, sector * SECTOR_SIZE, SECTOR_SIZE, 0);
    }
    map.finish();
    const std::string first = "0x00000001 (0x00000800)\n  /f1 0x00000000-0x000007ff\n";
    const std::string second_line = "0x00000003 (0x00001800)\n";
    const struct {
        std::size_t room;
        ScanResult::End end;
        std::vector<SectorIndex> marked; // the runs in the mapfile
    } cases[] = {
        {first.size() + 5, ScanResult::End::sink_failed, {1, 3}},
        {first.size() + second_line.size() + 5, ScanResult::End::sink_failed, {1, 3}},
        {4096, ScanResult::End::complete, {1, 3, 5}},
    };
    struct Limited {
        std::size_t room;
        std::string taken;
    };
    for (const auto& c : cases) {
        Limited sink{c.room, {}};
        cookie_io_functions_t io{};
        io.write = [](void* cookie, const char* data, std::size_t size) -> ssize_t {
            auto& s = *static_cast<Limited*>(cookie);
            if (s.taken.size() + size > s.room) {
                errno = ENOSPC;
                return -1;
            }
            s.taken.append(data, size);
            return static_cast<ssize_t>(size);
        };
        std::FILE* out = fopencookie(&sink, "w", io);
        std::setvbuf(out, nullptr, _IONBF, 0);
        const std::string map_path = write_temp_file("outputs.map", {});
        ImageInput input;
        ASSERT_FALSE(open_image(path.c_str(), input));
        ScanResult result;
        {
            RescueMapfile mapfile(map_path.c_str(), input.fd(), "outputs.img");
            OutputParts parts;
            parts.out = out;
            parts.mapfile = &mapfile;
            parts.files = &map;
            Outputs outputs(parts);
            result = scan_image(input, ReadPlan{SECTOR_SIZE, 1}, outputs);
            ASSERT_FALSE(mapfile.commit(result.settled_bytes, result.image_size));
        }
        std::fclose(out);
        EXPECT_EQ(result.end, c.end) << c.room;
        std::string runs;
        for (const SectorIndex sector : c.marked) {
            char line[64];
            std::snprintf(line, sizeof line, "0x%08" PRIx64 " (0x%08" PRIx64 ")\n", sector, sector * SECTOR_SIZE);
            runs += line;
        }
        // Nothing after the sector that closed the failed run is settled.
        const std::uint64_t settled = c.end == ScanResult::End::complete ? 7 * SECTOR_SIZE : 5 * SECTOR_SIZE;
        EXPECT_EQ(result.settled_bytes, settled) << c.room;
        EXPECT_EQ(mapfile_blocks(read_file(map_path)), model_mapfile_blocks(runs, settled, 7 * SECTOR_SIZE)) << c.room;
        unlink(map_path.c_str());
    }
    unlink(path.c_str());
}

namespace {

// Keeps the runs; truncates `path` to `size` (but for -1) when the scan
// first hands it one.
class Truncating final : public RunSink {
public:
    Truncating(std::string path, off_t size) : path_(std::move(path)), size_(size) {}
    Failure run_closed(const ClosedRun& run) override
    {
        runs.push_back(run.first);
        if (!done_ && size_ >= 0 && truncate(path_.c_str(), size_) != 0)
            return errno_failure();
        done_ = true;
        return {};
    }
    std::vector<SectorIndex> runs;

private:
    std::string path_;
    off_t size_;
    bool done_ = false;
};

} // namespace

TEST(Scan, AFileCutShortWhileItIsReadOrMappedEndsTheScanAsAShrinkDoes)
{
    // A run every 8 sectors. The report of a file cut short is that of the
    // bytes it kept (runs that reach its new end are not closed), then the
    // scan ends where it found the end.
    Bytes bytes(std::size_t{256} * SECTOR_SIZE, 0x41);
    for (std::size_t sector = 3; sector < 256; sector += 8)
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(sector * SECTOR_SIZE), SECTOR_SIZE, 0);
    const std::string path = write_temp_file("cut-under.img", {});
    const auto expected = [&](std::size_t sectors) { return model_report(bytes.data(), sectors * SECTOR_SIZE); };
    const auto lines = [](const std::vector<SectorIndex>& runs) {
        std::string report;
        for (const SectorIndex first : runs) {
            char line[64];
            std::snprintf(line, sizeof line, "0x%08" PRIx64 " (0x%08" PRIx64 ")\n", first, first * SECTOR_SIZE);
            report += line;
        }
        return report;
    };
    // Cut under a mapping whose pages are already in, before they are
    // checked: the check touches pages that are gone (SIGBUS), and the claim
    // ends before them. One reader, claims of 4 sectors: the third claim,
    // sectors 8 to 11, is cut at its start.
    for (const bool cut_on_third : {true, false}) {
        write_file(path, bytes);
        ReadPlan plan(4 * SECTOR_SIZE, 1, ReadWay::map);
        int mapped = 0;
        plan.before_mapped_check = [&] {
            if (++mapped == (cut_on_third ? 3 : 1)) {
                EXPECT_EQ(truncate(path.c_str(), cut_on_third ? 8 * SECTOR_SIZE : 10 * SECTOR_SIZE + 100), 0);
            }
        };
        ImageInput input;
        ASSERT_FALSE(open_image(path.c_str(), input));
        Truncating none(path, -1);
        const ScanResult result = scan_image(input, plan, none);
        const std::size_t kept = cut_on_third ? 8 : 10;
        EXPECT_EQ(result.end, ScanResult::End::shrank) << cut_on_third;
        EXPECT_EQ(result.position, cut_on_third ? 8 * SECTOR_SIZE : 10 * SECTOR_SIZE + 100) << cut_on_third;
        EXPECT_EQ(lines(none.runs), expected(kept)) << cut_on_third;
    }
    // Cut by another thread's truncate(2) while the readers are ahead of the
    // scanning thread, read or mapped: whatever was taken in before counts,
    // and the scan ends where it finds the new end.
    for (const ReadWay way : {ReadWay::read, ReadWay::map}) {
        write_file(path, bytes);
        ImageInput input;
        ASSERT_FALSE(open_image(path.c_str(), input));
        Truncating cutting(path, static_cast<off_t>(100 * SECTOR_SIZE));
        const ScanResult result = scan_image(input, ReadPlan(4 * SECTOR_SIZE, 3, way), cutting);
        EXPECT_EQ(result.end, ScanResult::End::shrank);
        EXPECT_EQ(result.position, 100 * SECTOR_SIZE);
        EXPECT_EQ(lines(cutting.runs), expected(100));
    }
    unlink(path.c_str());
}

TEST(Scan, ReadersStopBetweenSlicesOnceTheScanStops)
{
    REQUIRE_FAULT_FS(fs);
    // A claim of four slices that take 100 ms each, stopped half-way through
    // the second: the reader ends after the slice it is in, not at the end
    // of the claim (a file read directly cannot be mapped: it is read).
    const Bytes bytes = data_image_with_zeros(PIECE_SIZE / SECTOR_SIZE, 1, 1);
    const std::string path = fs->add("delay=100000", "stops.img", bytes);
    for (const ReadWay way : {ReadWay::read, ReadWay::map}) {
        const FaultFs::Stats before = fs->stats("delay=100000", "stops.img");
        ImageInput input;
        ASSERT_FALSE(open_image(path.c_str(), input));
        const auto reader = ImageReader::create(input, SLICE_SIZE, {}, ReadWays{way, {}});
        ASSERT_TRUE(reader);
        std::atomic<bool> stop{false};
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            stop = true;
        });
        std::vector<SectorStretch> room(PIECE_SIZE / SECTOR_SIZE);
        StretchBuilder checker(room);
        const ReadOutcome outcome = reader->read(0, bytes.size(), ReadStop{&stop}, checker);
        stopper.join();
        EXPECT_EQ(outcome.end, ReadEnd::stopped) << static_cast<int>(way);
        EXPECT_LT(outcome.bytes, PIECE_SIZE) << static_cast<int>(way);
        EXPECT_EQ(fs->stats("delay=100000", "stops.img").bytes - before.bytes, outcome.bytes) << static_cast<int>(way);
    }
}
