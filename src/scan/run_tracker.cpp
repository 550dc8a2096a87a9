// The run tracker's transitions and the report line formats.
#include "scan/run_tracker.h"

#include <cinttypes>
#include <cstdio>

bool track_sectors(ScanState& state, SectorIndex first, const SectorStretch& stretch, ClosedRun& closed)
{
    if (stretch.count == 0)
        return false;
    if (stretch.empty) {
        if (state.run_length == 0) {
            state.before_sum = stretch.edge_sum;
            state.run_start = first;
        }
        state.run_length += stretch.count;
        return false;
    }
    if (state.run_length == 0)
        return false;

    // A non-empty sector closes the open run whether or not it is reported.
    state.run_length = 0;
    if (state.before_sum == 0 || stretch.edge_sum == 0)
        return false;
    closed.first = state.run_start;
    closed.last = first - 1;
    closed.offset = closed.first << 11U;
    closed.end = first << 11U;
    return true;
}

bool track_sector(ScanState& state, SectorIndex index, bool empty, std::int32_t preceding_sum, std::int32_t leading_sum,
                  ClosedRun& closed)
{
    return track_sectors(state, index, SectorStretch{1, empty ? preceding_sum : leading_sum, empty}, closed);
}

SectorIndex settled_sectors(const ScanState& state, SectorIndex next)
{
    if (state.run_length > 0 && state.before_sum != 0)
        return state.run_start;
    return next;
}

std::size_t format_run_line(const ClosedRun& run, char* line, const char* tail)
{
    const int length =
        run.first == run.last
            ? std::snprintf(line, RUN_LINE_MAX, "0x%08" PRIx64 " (0x%08" PRIx64 ")%s\n", run.first, run.offset, tail)
            : std::snprintf(line, RUN_LINE_MAX, "0x%08" PRIx64 "-0x%08" PRIx64 " (0x%08" PRIx64 ")%s\n", run.first,
                            run.last, run.offset, tail);
    return static_cast<std::size_t>(length);
}
