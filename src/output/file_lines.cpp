// Printing what a run damages.
#include "output/file_lines.h"

#include <string>

#include "scan/sector_checks.h"

Failure write_file_lines(std::FILE* out, const FileMap& map, const ClosedRun& run)
{
    for (const std::string& line : map.describe(run.first * SECTOR_SIZE, (run.last + 1) * SECTOR_SIZE)) {
        if (std::fprintf(out, "  %s\n", line.c_str()) < 0)
            return errno_failure();
    }
    return {};
}
