// The scanning thread: tracks the records of each piece in file order.
#include "image_scan.h"

#include <cerrno>

#include "run_tracker.h"

namespace {

void notify(const ScanObserver& observer, std::uint64_t bytes_read, bool line_due)
{
    if (observer.notify != nullptr)
        observer.notify(observer.context, bytes_read, line_due);
}

} // namespace

ScanResult scan_image(const ScanInput& input, const ReadPlan& plan, std::FILE* out, const ScanObserver& observer,
                      RescueMapfile* map)
{
    ScanResult result;
    PieceWorkers workers;
    result.image_size = input.size.value_or(0);
    if (!start_workers(workers, input, plan)) {
        result.status = ScanResult::no_memory;
        result.error = errno;
        return result;
    }
    ScanState state;
    ClosedRun closed;
    SectorIndex index = 0;
    // The bytes in front of a sector are the last of the sector before;
    // sector 0 has nothing in front of it, and a sum of 0 keeps a run that
    // starts the image out of the report, like one that runs to its end.
    std::int32_t preceding_sum = 0;
    for (;;) {
        const Piece& piece = next_piece(workers);
        bool written = true;
        for (std::size_t k = 0; k < piece.records.size() && written; ++k, ++index) {
            const SectorRecord& record = piece.records[k];
            if (track_sector(state, index, record.empty, preceding_sum, record.lead_sum, closed)) {
                if (map != nullptr)
                    mapfile_add_run(*map, closed.first * SECTOR_SIZE, (closed.last + 1) * SECTOR_SIZE);
                notify(observer, result.bytes_read + k * SECTOR_SIZE, true);
                if (!print_run_line(out, closed)) {
                    result.status = ScanResult::write_failed;
                    result.error = errno;
                    written = false;
                }
            }
            preceding_sum = record.tail_sum;
        }
        if (!written)
            break;
        if (piece.hole_sectors > 0) {
            // Zeros: every sector empty. A run is open after them, so the sum
            // in front of the next sector is never asked for.
            track_empty_sectors(state, index, piece.hole_sectors, preceding_sum);
            index += piece.hole_sectors;
        }
        result.bytes_read += piece.bytes;
        const ReadEnd end = piece.end;
        const int error = piece.error;
        release_piece(workers);
        notify(observer, result.bytes_read, false);
        if (end == ReadEnd::read_failed) {
            result.status = ScanResult::read_failed;
            result.error = error;
        } else if (end == ReadEnd::shrank) {
            result.status = ScanResult::input_shrank;
        }
        if (end != ReadEnd::more)
            break;
    }
    stop_workers(workers);
    result.settled_bytes = result.bytes_read;
    if (!input.size || result.status == ScanResult::complete)
        result.image_size = result.bytes_read;
    if (result.status != ScanResult::complete) {
        result.settled_bytes = index * SECTOR_SIZE;
        if (state.run_length > 0 && state.before_sum != 0)
            result.settled_bytes = state.run_start * SECTOR_SIZE;
    }
    return result;
}
