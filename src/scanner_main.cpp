// Entry point, size measurement and the chunk loop.
#include "scanner_main.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "progress.h"
#include "read_ahead.h"
#include "run_tracker.h"
#include "sector_checks.h"

namespace {

constexpr std::size_t HUGE_PAGE_SIZE = std::size_t{2} << 20U;

void notify(const ScanObserver& observer, std::uint64_t bytes_read, bool line_due)
{
    if (observer.notify != nullptr)
        observer.notify(observer.context, bytes_read, line_due);
}

void print_error(const char* path, const char* cause)
{
    std::fprintf(stderr, "sectorscan: %s: %s\n", path, cause);
}

// The failures after the header lines: the report on standard output is
// marked as cut short, and standard error says why.
void print_read_error(const char* path, const char* cause)
{
    std::printf(" Error reading file: %s\n", path);
    std::fflush(stdout);
    print_error(path, cause);
}

} // namespace

std::optional<std::uint64_t> file_size(int fd)
{
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0 || lseek(fd, 0, SEEK_SET) < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(end);
}

ScanResult scan_image(const ScanInput& input, unsigned char* buffer, std::size_t chunk_size, std::FILE* out,
                      const ScanObserver& observer)
{
    ScanResult result;
    ScanState state;
    ClosedRun closed;
    SectorIndex index = 0;
    // The 16 bytes in front of the first sector of a slot are the last 16 of
    // the slot before, kept here because that slot may be refilled by now.
    // Sector 0 has nothing in front of it: zeros, whose sum of 0 keeps a run
    // that starts the image out of the report, like one that runs to its end.
    unsigned char carry[GUARD_BYTES] = {};

    ReadAhead ahead;
    start_read_ahead(ahead, input, buffer, chunk_size);
    for (;;) {
        const Slot slot = next_slot(ahead);
        // Every slot but the last is full; a partial sector at the end of
        // the image is never examined.
        const std::size_t whole = slot.filled - slot.filled % SECTOR_SIZE;
        bool written = true;
        for (std::size_t at = 0; at < whole && written; at += SECTOR_SIZE, ++index) {
            const unsigned char* sector = slot.data + at;
            const unsigned char* preceding = at == 0 ? carry : sector - GUARD_BYTES;
            if (track_sector(state, index, is_empty_sector(sector), preceding, sector, closed)) {
                notify(observer, result.bytes_read + at, true);
                if (!print_run_line(out, closed)) {
                    result.status = ScanResult::write_failed;
                    result.error = errno;
                    written = false;
                }
            }
        }
        result.bytes_read += slot.filled;
        if (!written)
            break;
        if (whole > 0)
            std::memcpy(carry, slot.data + whole - GUARD_BYTES, GUARD_BYTES);
        release_slot(ahead);
        notify(observer, result.bytes_read, false);
        if (slot.end == SlotEnd::read_failed) {
            result.status = ScanResult::read_failed;
            result.error = slot.error;
        } else if (slot.end == SlotEnd::shrank) {
            result.status = ScanResult::input_shrank;
        }
        if (slot.end != SlotEnd::more)
            break;
    }
    stop_read_ahead(ahead);
    return result;
}

unsigned char* allocate_chunk_buffer()
{
    void* buffer = std::aligned_alloc(HUGE_PAGE_SIZE, CHUNK_SIZE);
    if (buffer == nullptr)
        return nullptr;
#ifdef MADV_HUGEPAGE
    // Only advice: where the kernel offers no huge pages it is ignored.
    madvise(buffer, CHUNK_SIZE, MADV_HUGEPAGE);
#endif
    return static_cast<unsigned char*>(buffer);
}

void release_chunk_buffer(unsigned char* buffer)
{
    std::free(buffer);
}

namespace {

#ifndef SECTORSCAN_VERSION
#define SECTORSCAN_VERSION "unknown"
#endif

const char* const HELP_TEXT = "Usage: sectorscan IMAGE\n"
                              "Lists the runs of empty 2048-byte sectors in IMAGE that have data on both sides.\n"
                              "\n"
                              "A sector is empty when its CRC-32 equals that of 2048 zero bytes. A run is\n"
                              "reported when the 16 bytes before it and the first 16 bytes after it each\n"
                              "have a non-zero sum as signed bytes. Each line gives the run's first sector,\n"
                              "or its first and last sector, and the byte offset of its first sector:\n"
                              "  0x00000064 (0x00032000)\n"
                              "  0x000000c8-0x000000d7 (0x00064000)\n"
                              "IMAGE may be a pipe: sectorscan <(zstd -dc disc.iso.zst)\n"
                              "\n"
                              "  -h, --help     print this help and exit\n"
                              "      --version  print the version and exit\n"
                              "\n"
                              "Exit status: 0 the whole image was scanned; 1 it could not be opened or read,\n"
                              "or standard output could not be written; 2 usage error.\n"
                              "See sectorscan(1).\n";

} // namespace

int scanner_main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("Usage: sectorscan IMAGE\n", stderr);
        return 2;
    }
    const char* path = argv[1];
    const std::string_view first = path;
    if (first == "-h" || first == "--help" || first == "--version") {
        if (first == "--version")
            std::printf("sectorscan %s\n", SECTORSCAN_VERSION);
        else
            std::fputs(HELP_TEXT, stdout);
        if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
            std::fprintf(stderr, "sectorscan: error writing standard output: %s\n", std::strerror(errno));
            return 1;
        }
        return 0;
    }

    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        const int error = fd < 0 ? errno : (S_ISDIR(info.st_mode) ? EISDIR : errno);
        if (fd >= 0)
            close(fd);
        std::printf(" Error loading file: %s\n", path);
        std::fflush(stdout);
        print_error(path, std::strerror(error));
        return 1;
    }

    std::printf("File: %s\n", path);
    std::puts("Empty sectors:");

    ScanInput input;
    input.fd = fd;
    input.size = file_size(fd);
    // Sequential read-ahead; fails harmlessly on a pipe.
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    unsigned char* buffer = allocate_chunk_buffer();
    if (buffer == nullptr) {
        char cause[128];
        std::snprintf(cause, sizeof cause, "cannot allocate the 8 MiB read buffer: %s", std::strerror(errno));
        close(fd);
        print_read_error(path, cause);
        return 1;
    }

    Progress progress = progress_start(STDERR_FILENO, input.size.has_value(), input.size.value_or(0));
    const ScanResult result = scan_image(input, buffer, CHUNK_SIZE, stdout, ScanObserver{progress_notify, &progress});
    progress_clear(progress);
    close(fd);
    release_chunk_buffer(buffer);

    int status = 0;
    if (result.status == ScanResult::read_failed) {
        print_read_error(path, std::strerror(result.error));
        status = 1;
    } else if (result.status == ScanResult::input_shrank) {
        char cause[128];
        std::snprintf(cause, sizeof cause, "the file ended after %" PRIu64 " of %" PRIu64 " bytes", result.bytes_read,
                      *input.size);
        print_read_error(path, cause);
        status = 1;
    }

    // A report that did not reach its reader is not a success: flush and
    // check, as the write errors of a buffered stream only show here.
    int write_error = result.status == ScanResult::write_failed ? result.error : 0;
    if (std::fflush(stdout) != 0 && write_error == 0)
        write_error = errno;
    if (write_error == 0 && std::ferror(stdout) != 0)
        write_error = EIO;
    if (write_error != 0) {
        std::fprintf(stderr, "sectorscan: error writing standard output: %s\n", std::strerror(write_error));
        status = 1;
    }
    return status;
}
