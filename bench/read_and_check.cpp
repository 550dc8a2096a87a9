// The floor of the scan's design: THREADS threads claim pieces in turn and
// check every sector of each, with no ring, no file order and no report.
// Prints the number of empty sectors.
//   read:     pread each 2 MiB piece into a buffer of the thread's own;
//   sliced:   the same, but each piece in slices of PIECE_KIB KiB (512),
//             each checked while it is still in the core's cache;
//   map:      map each piece of PIECE_MIB read-only, check it where it lies,
//             unmap it;
//   populate: the same, with the piece's pages brought in at once
//             (MADV_POPULATE_READ) before the check;
//   whole:    one mapping of the whole file; each piece is brought in at once
//             and dropped after (MADV_DONTNEED).
// Usage: read_and_check PATH THREADS [read|sliced|map|populate|whole] [PIECE_MIB | SLICE_KIB]
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

#include "scan/sector_checks.h"
#include "scan/worker_pool.h"

#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif

namespace {

// Buffers start on a huge page, as the scan's do.
constexpr std::size_t HUGE_PAGE_SIZE = std::size_t{2} << 20U;

std::uint64_t count_empty(const unsigned char* bytes, std::size_t length)
{
    std::uint64_t found = 0;
    for (std::size_t at = 0; at + SECTOR_SIZE <= length; at += SECTOR_SIZE)
        found += is_empty_sector(bytes + at) ? 1 : 0;
    return found;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 5) {
        std::fputs("Usage: read_and_check PATH THREADS [read|sliced|map|populate|whole] [PIECE_MIB | SLICE_KIB]\n",
                   stderr);
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    const long threads = std::max(1L, std::strtol(argv[2], nullptr, 10));
    const std::string_view mode = argc > 3 ? argv[3] : "read";
    const bool reads = mode == "read" || mode == "sliced";
    const long number = argc > 4 ? std::max(1L, std::strtol(argv[4], nullptr, 10)) : (mode == "sliced" ? 512 : 8);
    const std::size_t piece = reads ? PIECE_SIZE : static_cast<std::size_t>(number) << 20U;
    const std::size_t slice = mode == "sliced" ? static_cast<std::size_t>(number) << 10U : PIECE_SIZE;
    std::atomic<std::uint64_t> next = 0;
    std::atomic<std::uint64_t> empty = 0;
    unsigned char* whole = nullptr;
    if (mode == "whole") {
        whole = static_cast<unsigned char*>(mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0));
        if (whole == MAP_FAILED) {
            std::perror("mmap");
            return 1;
        }
    }
    auto work = [&] {
        std::uint64_t found = 0;
        unsigned char* buffer = nullptr;
        if (reads) {
            buffer = static_cast<unsigned char*>(std::aligned_alloc(HUGE_PAGE_SIZE, PIECE_SIZE));
            madvise(buffer, PIECE_SIZE, MADV_HUGEPAGE);
        }
        for (;;) {
            const std::uint64_t from = next++ * piece;
            if (from >= size)
                break;
            const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(piece, size - from));
            if (reads) {
                for (std::size_t at = 0; at < length; at += slice) {
                    const std::size_t count = std::min(slice, length - at);
                    const ssize_t n = pread(fd, buffer, count, static_cast<off_t>(from + at));
                    if (n <= 0)
                        break;
                    found += count_empty(buffer, static_cast<std::size_t>(n));
                }
            } else if (mode == "whole") {
                madvise(whole + from, length, MADV_POPULATE_READ);
                found += count_empty(whole + from, length);
                madvise(whole + from, length, MADV_DONTNEED);
            } else {
                void* at = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(from));
                if (at == MAP_FAILED)
                    break;
                if (mode == "populate")
                    madvise(at, length, MADV_POPULATE_READ);
                found += count_empty(static_cast<const unsigned char*>(at), length);
                munmap(at, length);
            }
        }
        empty += found;
        std::free(buffer);
    };
    std::vector<std::thread> others;
    for (long t = 1; t < threads; ++t)
        others.emplace_back(work);
    work();
    for (std::thread& t : others)
        t.join();
    std::printf("%llu\n", static_cast<unsigned long long>(empty.load()));
    return 0;
}
