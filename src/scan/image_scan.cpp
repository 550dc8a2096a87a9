// The scanning thread: tracks the stretches of each claim in file order.
#include "scan/image_scan.h"

namespace {

// Hands `run` to every sink, in order, until one fails.
Failure hand_on(std::span<RunSink* const> sinks, const ClosedRun& run)
{
    for (RunSink* sink : sinks) {
        if (const Failure failure = sink->run_closed(run))
            return failure;
    }
    return {};
}

} // namespace

ScanResult scan_image(const ImageInput& input, const ReadPlan& plan, std::span<RunSink* const> sinks)
{
    ScanResult result;
    result.image_size = input.size().value_or(0);
    WorkerPool pool(input, plan);
    if (const Failure failure = pool.failure()) {
        result.end = ScanResult::End::no_memory;
        result.error = failure.error;
        return result;
    }
    ScanState state;
    SectorIndex next = 0; // the first sector not yet tracked
    // The bytes in front of a sector are the last of the sector before;
    // sector 0 has nothing in front of it, and a sum of 0 keeps a run that
    // starts the image out of the report, like one that runs to its end.
    std::int32_t tail_sum = 0;
    while (result.end == ScanResult::End::complete) {
        const CheckedClaim& claim = pool.next();
        for (std::size_t i = 0; i < claim.stretches.size(); ++i) {
            SectorStretch stretch = claim.stretches[i];
            if (i == 0 && stretch.empty)
                stretch.edge_sum = tail_sum;
            ClosedRun closed;
            if (track_sectors(state, next, stretch, closed)) {
                if (const Failure failure = hand_on(sinks, closed)) {
                    // Nothing after the sector that closed the run is tracked.
                    result.end = ScanResult::End::sink_failed;
                    result.error = failure.error;
                    ++next;
                    break;
                }
            }
            next += stretch.count;
        }
        if (result.end != ScanResult::End::complete)
            break;
        if (!claim.stretches.empty())
            tail_sum = claim.tail_sum;
        result.bytes_read += claim.bytes;
        for (RunSink* sink : sinks)
            sink->bytes_scanned(result.bytes_read);
        if (claim.end == ReadEnd::read_failed) {
            result.end = ScanResult::End::read_failed;
            result.error = claim.error;
        } else if (claim.end == ReadEnd::shrank) {
            result.end = ScanResult::End::shrank;
        } else if (claim.end != ReadEnd::more) {
            break; // the whole image
        }
    }
    if (!input.size() || result.end == ScanResult::End::complete)
        result.image_size = result.bytes_read;
    result.settled_bytes =
        result.end == ScanResult::End::complete ? result.bytes_read : settled_sectors(state, next) * SECTOR_SIZE;
    return result;
}
