// The run tracker's transitions and the report line formats.
#include "run_tracker.h"

#include <cinttypes>

#include "sector_checks.h"

bool track_sector(ScanState& state, SectorIndex index, bool empty, const unsigned char* preceding,
                  const unsigned char* leading, ClosedRun& closed)
{
    if (empty) {
        if (state.run_length == 0) {
            state.before_sum = signed_byte_sum(preceding, GUARD_BYTES);
            state.run_start = index;
        }
        ++state.run_length;
        return false;
    }
    if (state.run_length == 0)
        return false;

    // A non-empty sector closes the open run whether or not it is reported.
    const std::int32_t after_sum = signed_byte_sum(leading, GUARD_BYTES);
    state.run_length = 0;
    if (state.before_sum == 0 || after_sum == 0)
        return false;
    closed.first = state.run_start;
    closed.last = index - 1;
    return true;
}

void format_run_line(const ClosedRun& run, char* line)
{
    const std::uint64_t offset = run.first << 11U;
    if (run.first == run.last)
        std::snprintf(line, RUN_LINE_MAX, "0x%08" PRIx64 " (0x%08" PRIx64 ")\n", run.first, offset);
    else
        std::snprintf(line, RUN_LINE_MAX, "0x%08" PRIx64 "-0x%08" PRIx64 " (0x%08" PRIx64 ")\n", run.first, run.last,
                      offset);
}

bool print_run_line(std::FILE* out, const ClosedRun& run)
{
    char line[RUN_LINE_MAX];
    format_run_line(run, line);
    return std::fputs(line, out) >= 0;
}
