// Printing the files a run damages.
#include "output/file_lines.h"

#include <cinttypes>

#include "scan/sector_checks.h"

Failure FileLines::run_closed(const ClosedRun& run)
{
    const std::vector<FileMap::Hit> hits = map_.files_in(run.first * SECTOR_SIZE, (run.last + 1) * SECTOR_SIZE);
    if (hits.empty() && std::fputs("  (no file)\n", out_) < 0)
        return errno_failure();
    for (const FileMap::Hit& hit : hits) {
        if (std::fprintf(out_, "  %s 0x%08" PRIx64 "-0x%08" PRIx64 "\n", escaped_name(map_.path(hit.entry)).c_str(),
                         hit.first, hit.last) < 0)
            return errno_failure();
    }
    return {};
}
