// The scan: the checked pieces in file order, through the run tracker, to
// the report lines.
#pragma once

#include <cstdint>
#include <cstdio>

#include "image_input.h"
#include "piece_workers.h"
#include "rescue_mapfile.h"

struct ScanResult {
    enum Status { complete, read_failed, input_shrank, write_failed, no_memory };
    Status status = complete;
    int error = 0;                // errno of a failed read, write or allocation
    std::uint64_t bytes_read = 0; // bytes of the image taken in, in order
    // Bytes from the start whose place in the report is final: all of them
    // after a complete scan. A scan cut short has not settled the sectors
    // it did not check, nor a run still open that might yet be reported.
    std::uint64_t settled_bytes = 0;
    // The image's length as far as the scan knows it: its measured size, or
    // what a stream held (cut short: what was read of it).
    std::uint64_t image_size = 0;
};

// Called after every piece with the bytes read so far, and before every
// report line with `line_due` set, so that a progress display can get out
// of the way. May be null.
struct ScanObserver {
    void (*notify)(void* context, std::uint64_t bytes_read, bool line_due) = nullptr;
    void* context = nullptr;
};

// Scans the image as `plan` says and prints a report line to `out` for every
// run of empty sectors with data on both sides, and adds each such run to
// `map` if given. Stops at the first failed read or write: the lines for the
// sectors before it stay, and no line is printed after a failed write.
ScanResult scan_image(const ScanInput& input, const ReadPlan& plan, std::FILE* out, const ScanObserver& observer = {},
                      RescueMapfile* map = nullptr);
