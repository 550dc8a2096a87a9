// libFuzzer target: arbitrary bytes as a disc image whose UDF or ISO 9660 file
// system is read for --files, then asked which files lie under runs of every
// size. Nothing in the image may crash the tool, make it read outside the
// image, hang it or make it allocate without bound (the fuzzer's -timeout
// and -rss_limit_mb say so). Seeded with images that genisoimage and xorriso
// make (scripts/fuzz.sh).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "files/file_system.h"
#include "output/file_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const int fd = memfd_create("fuzz-image", MFD_CLOEXEC);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size))
        std::abort();
    ImageInput input;
    if (open_image(("/dev/fd/" + std::to_string(fd)).c_str(), input))
        std::abort();
    close(fd);
    // What the reader says goes to standard error, which the fuzzer closes
    // (-close_fd_mask=2); the file lines go nowhere.
    std::FILE* out = std::fopen("/dev/null", "w");
    FileMap map;
    read_file_system(input, "fuzz.iso", map);
    FileLines lines(out, map);
    const std::uint64_t sectors = size / 2048;
    for (std::uint64_t first = 0; first < sectors; first += 7) {
        const std::uint64_t last = std::min(sectors - 1, first + first % 13);
        lines.run_closed(ClosedRun{first, last});
    }
    std::fclose(out);
    return 0;
}
