// libFuzzer target: arbitrary bytes as a disc image whose UDF and ISO 9660
// file systems are read for --files, then asked what lies under runs of
// every size. Nothing in the image may crash the tool, make it read outside
// the image, hang it or make it allocate without bound (the fuzzer's
// -timeout and -rss_limit_mb say so). Seeded with images that genisoimage
// and xorriso make, and spoilt copies of them (scripts/fuzz.sh).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "files/file_system.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const int fd = memfd_create("fuzz-image", MFD_CLOEXEC);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size))
        std::abort();
    const CookedBlocks blocks(fd, size);
    FileMap map;
    read_file_system(blocks, map);
    const std::uint64_t sectors = size / FileMap::BLOCK;
    std::size_t lines = 0;
    for (std::uint64_t first = 0; first < sectors; first += 7) {
        const std::uint64_t last = std::min(sectors - 1, first + first % 13);
        lines += map.describe(first * FileMap::BLOCK, (last + 1) * FileMap::BLOCK).size();
    }
    close(fd);
    return lines == SIZE_MAX ? 1 : 0;
}
