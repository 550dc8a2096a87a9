// A naive model of the report: the table CRC-32 of every whole sector, runs
// closed by a non-empty sector, and the sums of the real neighbouring bytes.
// It shares no code with the scan but the reference CRC.
#include "model_report.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "sector_checks.h"

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
