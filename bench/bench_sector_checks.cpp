// Micro-benchmark of the per-sector emptiness test: the portable table
// against the build's fast CRC-32, in bytes per second.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "scan/sector_checks.h"

namespace {

// 4 MiB of data sectors: more than the core's cache, like a real read.
std::vector<unsigned char> data_sectors()
{
    std::vector<unsigned char> bytes(4U << 20U);
    std::mt19937 random(1); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same data every run
    for (auto& b : bytes)
        b = static_cast<unsigned char>(random());
    return bytes;
}

template <typename Check> void run(benchmark::State& state, Check check)
{
    const std::vector<unsigned char> bytes = data_sectors();
    std::size_t empty = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < bytes.size(); at += SECTOR_SIZE)
            empty += check(bytes.data() + at) ? 1 : 0;
        benchmark::DoNotOptimize(empty);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes.size()));
}

void table_crc(benchmark::State& state)
{
    run(state, [](const unsigned char* s) { return crc32_buffer(s, SECTOR_SIZE) == EMPTY_SECTOR_CRC; });
}

void is_empty_sector_fast(benchmark::State& state)
{
    state.SetLabel(crc32_implementation());
    run(state, [](const unsigned char* s) { return is_empty_sector(s); });
}

} // namespace

BENCHMARK(table_crc);
BENCHMARK(is_empty_sector_fast);
BENCHMARK_MAIN();
