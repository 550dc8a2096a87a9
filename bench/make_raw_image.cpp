// Writes the raw image of an image of 2048-byte sectors: each sector a
// Mode 1 frame of 2352 bytes with its header (addresses from 0), EDC and
// parity, as the tests make them. For the benchmark's raw image against
// its ISO.
// Usage: make_raw_image ISO RAW
#include <cstdio>
#include <vector>

#include "raw_frames.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("Usage: make_raw_image ISO RAW\n", stderr);
        return 2;
    }
    std::FILE* in = std::fopen(argv[1], "rb");
    std::FILE* out = std::fopen(argv[2], "wb");
    if (in == nullptr || out == nullptr) {
        std::perror(in == nullptr ? argv[1] : argv[2]);
        return 1;
    }
    std::vector<unsigned char> sector(2048);
    for (std::uint64_t n = 0; std::fread(sector.data(), 1, sector.size(), in) == sector.size(); ++n) {
        const Bytes frame = raw_frame(sector.data(), RawMode::mode1, n);
        std::fwrite(frame.data(), 1, frame.size(), out);
    }
    std::fclose(in);
    if (std::fclose(out) != 0) {
        std::perror(argv[2]);
        return 1;
    }
    return 0;
}
