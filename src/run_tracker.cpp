// The run tracker's transitions and the report line formats.
#include "run_tracker.h"

#include <cinttypes>

bool track_sector(ScanState& state, SectorIndex index, bool empty, std::int32_t preceding_sum, std::int32_t leading_sum,
                  ClosedRun& closed)
{
    if (empty) {
        if (state.run_length == 0) {
            state.before_sum = preceding_sum;
            state.run_start = index;
        }
        ++state.run_length;
        return false;
    }
    if (state.run_length == 0)
        return false;

    // A non-empty sector closes the open run whether or not it is reported.
    state.run_length = 0;
    if (state.before_sum == 0 || leading_sum == 0)
        return false;
    closed.first = state.run_start;
    closed.last = index - 1;
    return true;
}

void track_empty_sectors(ScanState& state, SectorIndex index, std::uint64_t count, std::int32_t preceding_sum)
{
    if (count == 0)
        return;
    if (state.run_length == 0) {
        state.before_sum = preceding_sum;
        state.run_start = index;
    }
    state.run_length += count;
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
