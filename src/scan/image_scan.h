// The scan: the checked claims in file order, through the run tracker, to
// whatever takes the closed runs.
#pragma once

#include <cstdint>
#include <span>

#include "scan/image_input.h"
#include "scan/run_tracker.h"
#include "scan/worker_pool.h"
#include "support/failure.h"

// Takes the runs of the report as they close, and the progress of the scan.
class RunSink {
public:
    // A run that belongs in the report. A failure stops the scan: no run
    // after it is handed on, to this sink or any other.
    virtual Failure run_closed(const ClosedRun& run) = 0;
    // The bytes of the image taken in so far, after each claim.
    virtual void bytes_scanned(std::uint64_t /*bytes*/) {}

protected:
    ~RunSink() = default;
};

struct ScanResult {
    enum class End { complete, read_failed, shrank, sink_failed, no_memory };
    End end = End::complete;
    int error = 0;                // errno of a failed read, sink or allocation
    std::uint64_t bytes_read = 0; // bytes of the image taken in, in order
    // Bytes from the start whose place in the report is final: all of them
    // after a complete scan. A scan cut short has not settled the sectors
    // it did not track, nor a run still open that might yet be reported.
    std::uint64_t settled_bytes = 0;
    // The image's length as far as the scan knows it: its measured size, or
    // what a stream held (cut short: what was read of it).
    std::uint64_t image_size = 0;
};

// Scans the image as `plan` says and hands every run of empty sectors with
// data on both sides to each of `sinks`, in their order. Stops at the first
// failed read or failed sink: the runs before it have been handed on.
ScanResult scan_image(const ImageInput& input, const ReadPlan& plan, std::span<RunSink* const> sinks);
