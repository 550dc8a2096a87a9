// libFuzzer target: arbitrary bytes through the real scan path (the chunk
// loop, the tracker and the report lines), checked against a naive model.
// The first byte picks the chunk size (1 to 5 sectors, so that small inputs
// cross chunk boundaries) and whether the input is read as a stream of
// unknown size; the rest is the image.
#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "run_tracker.h"
#include "scanner_main.h"
#include "sector_checks.h"

namespace {

// The report by the definition: the CRC-32 of every whole sector, runs
// closed by a non-empty sector, and the sums of the real neighbouring bytes.
std::string model(const unsigned char* image, std::size_t size)
{
    std::string report;
    bool open = false;
    std::uint64_t start = 0;
    int before = 0;
    for (std::uint64_t i = 0; i < size / 2048; ++i) {
        const unsigned char* sector = image + i * 2048;
        const bool empty = crc32_buffer(sector, 2048) == 0xF1E8BA9EU;
        int sum = 0;
        if (empty && !open) {
            for (int b = 0; b < 16 && i > 0; ++b)
                sum += static_cast<signed char>(sector[b - 16]);
            open = true;
            start = i;
            before = sum;
        } else if (!empty && open) {
            for (int b = 0; b < 16; ++b)
                sum += static_cast<signed char>(sector[b]);
            open = false;
            char line[80];
            if (start == i - 1)
                std::snprintf(line, sizeof line, "0x%08" PRIx64 " (0x%08" PRIx64 ")\n", start, start * 2048);
            else
                std::snprintf(line, sizeof line, "0x%08" PRIx64 "-0x%08" PRIx64 " (0x%08" PRIx64 ")\n", start, i - 1,
                              start * 2048);
            if (before != 0 && sum != 0)
                report += line;
        }
    }
    return report;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t chunk_size = (1 + data[0] % 5) * SECTOR_SIZE;
    const bool as_stream = (data[0] / 5) % 2 == 1;
    const unsigned char* image = data + 1;
    const std::size_t image_size = size - 1;

    const int fd = memfd_create("fuzz", MFD_CLOEXEC);
    if (fd < 0 || write(fd, image, image_size) != static_cast<ssize_t>(image_size))
        std::abort();
    ScanInput input;
    input.fd = fd;
    input.size = file_size(fd);
    if (as_stream)
        input.size.reset();

    // Exactly the chunk, so that any read past its end is caught.
    std::vector<unsigned char> buffer(chunk_size);
    char* text = nullptr;
    std::size_t length = 0;
    std::FILE* out = open_memstream(&text, &length);
    const ScanResult result = scan_image(input, buffer.data(), chunk_size, out);
    std::fclose(out);
    close(fd);

    const std::string report(text, length);
    std::free(text);
    if (result.status != ScanResult::complete || result.bytes_read != image_size) {
        std::fprintf(stderr, "scan did not complete: status %d, %" PRIu64 " of %zu bytes\n",
                     static_cast<int>(result.status), result.bytes_read, image_size);
        std::abort();
    }
    const std::string expected = model(image, image_size);
    if (report != expected) {
        std::fprintf(stderr, "report differs from the model\n--- scan:\n%s--- model:\n%s", report.c_str(),
                     expected.c_str());
        std::abort();
    }
    return 0;
}
