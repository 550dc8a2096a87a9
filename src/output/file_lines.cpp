// Printing the files a run damages.
#include "output/file_lines.h"

#include <string>

#include "scan/sector_checks.h"

Failure FileLines::run_closed(const ClosedRun& run)
{
    for (const std::string& line : map_.describe(run.first * SECTOR_SIZE, (run.last + 1) * SECTOR_SIZE)) {
        if (std::fprintf(out_, "  %s\n", line.c_str()) < 0)
            return errno_failure();
    }
    return {};
}
