// libFuzzer target: arbitrary bytes through the real scan path (the readers,
// the ring of claims, the tracker, the report lines and the mapfile), checked
// against the naive model. The first byte picks the piece size (1 to 5
// sectors, so that small inputs cross claim boundaries), the number of
// readers (1 to 4), and whether the input is read as a stream of unknown size
// through a pipe or written as a sparse file, with its all-zero pages left as
// holes; the rest is the image.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "model_report.h"
#include "test_images.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const ReadPlan plan{(1 + data[0] % 5) * SECTOR_SIZE, 1U + (data[0] / 5U) % 4U};
    const bool as_stream = data[0] / 20 % 2 == 1;
    const bool sparse = !as_stream && data[0] / 40 % 2 == 1;
    const unsigned char* image = data + 1;
    const std::size_t image_size = size - 1;

    // Inputs are at most a few pages (-max_len), which a pipe holds whole.
    int fds[2] = {-1, -1};
    if (as_stream) {
        if (pipe(fds) != 0 || write(fds[1], image, image_size) != static_cast<ssize_t>(image_size))
            std::abort();
        close(fds[1]);
    } else {
        fds[0] = memfd_create("fuzz", MFD_CLOEXEC);
        if (fds[0] < 0 || ftruncate(fds[0], static_cast<off_t>(image_size)) != 0)
            std::abort();
        constexpr std::size_t PAGE = 4096;
        for (std::size_t at = 0; at < image_size; at += PAGE) {
            const std::size_t length = std::min(PAGE, image_size - at);
            const bool zeros = std::all_of(image + at, image + at + length, [](unsigned char b) { return b == 0; });
            if (sparse && zeros)
                continue;
            if (pwrite(fds[0], image + at, length, static_cast<off_t>(at)) != static_cast<ssize_t>(length))
                std::abort();
        }
    }
    const ScanRun run = scan_path("/dev/fd/" + std::to_string(fds[0]), plan, false);
    close(fds[0]);
    const std::string& report = run.report;
    const ScanResult& result = run.result;
    if (result.end != ScanResult::End::complete || result.bytes_read != image_size) {
        std::fprintf(stderr, "scan did not complete: end %d, %" PRIu64 " of %zu bytes\n", static_cast<int>(result.end),
                     result.bytes_read, image_size);
        std::abort();
    }
    const std::string expected = model_report(image, image_size);
    if (report != expected) {
        std::fprintf(stderr, "report differs from the model\n--- scan:\n%s--- model:\n%s", report.c_str(),
                     expected.c_str());
        std::abort();
    }
    if (run.mapfile_blocks != model_mapfile_blocks(expected, image_size, image_size)) {
        std::fprintf(stderr, "mapfile differs from the model\n--- scan:\n%s", run.mapfile_blocks.c_str());
        std::abort();
    }
    return 0;
}
