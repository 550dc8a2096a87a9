// The floor of the scan's design: THREADS threads claim 2 MiB pieces in turn,
// pread each into a buffer of their own and check every sector there, with
// no ring, no file order and no report. Prints the number of empty sectors.
// Usage: read_and_check PATH THREADS
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "piece_workers.h"
#include "sector_checks.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("Usage: read_and_check PATH THREADS\n", stderr);
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    const long threads = std::max(1L, std::strtol(argv[2], nullptr, 10));
    std::atomic<std::uint64_t> next_piece = 0;
    std::atomic<std::uint64_t> empty = 0;
    auto work = [&] {
        auto* buffer = static_cast<unsigned char*>(std::aligned_alloc(HUGE_PAGE_SIZE, PIECE_SIZE));
        madvise(buffer, PIECE_SIZE, MADV_HUGEPAGE);
        std::uint64_t found = 0;
        for (;;) {
            const std::uint64_t piece = next_piece++;
            const ssize_t n = pread(fd, buffer, PIECE_SIZE, static_cast<off_t>(piece * PIECE_SIZE));
            if (n <= 0)
                break;
            for (std::size_t at = 0; at + SECTOR_SIZE <= static_cast<std::size_t>(n); at += SECTOR_SIZE)
                found += check_sector(buffer + at).empty ? 1 : 0;
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
