// A naive model of the report: the table CRC-32 of every whole sector, runs
// closed by a non-empty sector, and the sums of the real neighbouring bytes.
// It shares no code with the scan but the reference CRC.
#include "model_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>
#include <vector>

#include "scan/sector_checks.h"

namespace {

int sum16(const unsigned char* bytes)
{
    int sum = 0;
    for (int b = 0; b < 16; ++b)
        sum += static_cast<signed char>(bytes[b]);
    return sum;
}

} // namespace

std::string model_report(const unsigned char* image, std::size_t size)
{
    std::string report;
    bool open = false;
    std::uint64_t start = 0;
    int before = 0;
    for (std::uint64_t i = 0; i < size / 2048; ++i) {
        const unsigned char* sector = image + i * 2048;
        const bool empty = crc32_buffer(sector, 2048) == 0xF1E8BA9EU;
        if (empty && !open) {
            open = true;
            start = i;
            before = i == 0 ? 0 : sum16(sector - 16);
        } else if (!empty && open) {
            open = false;
            if (before == 0 || sum16(sector) == 0)
                continue;
            char line[80];
            if (start == i - 1)
                std::snprintf(line, sizeof line, "0x%08" PRIx64 " (0x%08" PRIx64 ")\n", start, start * 2048);
            else
                std::snprintf(line, sizeof line, "0x%08" PRIx64 "-0x%08" PRIx64 " (0x%08" PRIx64 ")\n", start, i - 1,
                              start * 2048);
            report += line;
        }
    }
    return report;
}

std::string model_mapfile_blocks(const std::string& report, std::uint64_t settled, std::uint64_t size)
{
    // Byte ranges not tried, from the report's lines and the unsettled end.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> untried;
    std::istringstream lines(report);
    std::string line;
    while (std::getline(lines, line)) {
        // "0xFIRST (...)" or "0xFIRST-0xLAST (...)"
        char* end = nullptr;
        const std::uint64_t first = std::strtoull(line.c_str(), &end, 16);
        const std::uint64_t last = *end == '-' ? std::strtoull(end + 1, nullptr, 16) : first;
        untried.emplace_back(first * 2048, (last + 1) * 2048);
    }
    if (settled < size)
        untried.emplace_back(settled, size);
    std::string blocks;
    std::uint64_t at = 0;
    auto block = [&](std::uint64_t to, char status) {
        char text[64];
        std::snprintf(text, sizeof text, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", at, to - at, status);
        blocks += text;
        at = to;
    };
    for (std::size_t i = 0; i < untried.size(); ++i) {
        if (untried[i].first > at)
            block(untried[i].first, '+');
        std::uint64_t to = untried[i].second;
        while (i + 1 < untried.size() && untried[i + 1].first <= to)
            to = std::max(to, untried[++i].second);
        block(to, '?');
    }
    if (size > at)
        block(size, '+');
    return blocks;
}
