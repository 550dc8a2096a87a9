// Writes a benchmark image: pseudo-random data sectors with short runs of
// empty sectors (1 to 8 sectors, about 3% of the image) between them.
// Usage: make_bench_image PATH MIB
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("Usage: make_bench_image PATH MIB\n", stderr);
        return 2;
    }
    const std::uint64_t sectors = std::strtoull(argv[2], nullptr, 10) * 512;
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;
    auto next = [&state] { // xorshift64
        state ^= state << 13U;
        state ^= state >> 7U;
        state ^= state << 17U;
        return state;
    };
    std::vector<unsigned char> sector(2048);
    const std::vector<unsigned char> zero(2048, 0);
    for (std::uint64_t n = 0; n < sectors;) {
        if (next() % 100 < 1) {
            for (std::uint64_t k = 1 + next() % 8; k > 0 && n < sectors; --k, ++n)
                std::fwrite(zero.data(), 1, zero.size(), out);
            continue;
        }
        for (std::size_t i = 0; i < sector.size(); i += 8) {
            const std::uint64_t word = next();
            for (std::size_t b = 0; b < 8; ++b)
                sector[i + b] = static_cast<unsigned char>(word >> (8 * b));
        }
        std::fwrite(sector.data(), 1, sector.size(), out);
        ++n;
    }
    if (std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
