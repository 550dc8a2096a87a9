// The scan: the checked claims in file order, through the run tracker, to
// whatever takes the closed runs.
#pragma once

#include <cstdint>
#include <span>

#include "scan/disc_layout.h"
#include "scan/image_input.h"
#include "scan/run_tracker.h"
#include "scan/worker_pool.h"
#include "support/failure.h"

// Takes the runs of the report as they close, the damaged frames, and the
// progress of the scan.
class RunSink {
public:
    // A run that belongs in the report. A failure stops the scan: nothing
    // after it is handed on.
    virtual Failure run_closed(const ClosedRun& run) = 0;
    // Frames in a row that fail the same one of their own checks, once the
    // row ends (where they are checked: see scan_image).
    virtual Failure damage_found(const ClosedRun& /*frames*/, FrameDamage /*damage*/) { return {}; }
    // After each claim: the bytes taken in so far, and the byte of the file
    // being scanned before which every run and every damage of the report
    // has been handed on: none to come starts before it.
    virtual void scanned(std::uint64_t /*bytes*/, std::uint64_t /*settled*/) {}

protected:
    ~RunSink() = default;
};

struct ScanResult {
    enum class End { complete, read_failed, shrank, sink_failed, no_memory };
    End end = End::complete;
    int error = 0;                // errno of a failed read, sink or allocation
    std::uint64_t bytes_read = 0; // bytes taken in, of all areas, in order
    std::size_t area = 0;         // the area where the scan ended
    std::uint64_t position = 0;   // the byte of that area's file where reading stopped
    // Bytes from the start of that file whose place in the report is final:
    // all of them after a complete scan. A scan cut short has not settled
    // the sectors it did not track, nor a run still open that might yet be
    // reported.
    std::uint64_t settled_bytes = 0;
    // That file's length as far as the scan knows it: its measured size, or
    // what a stream held (cut short: what was read of it).
    std::uint64_t image_size = 0;
};

// Scans the areas in turn as `plan` says, and hands every run of empty
// sectors with data on both sides to `sink`: a run does not cross from one
// area to the next (each is as an image of its own). With `damage`, the
// raw frames' own checks are made too, and each row of frames that fail the
// same one is handed on as well, wherever it lies. Stops at the first failed
// read or failed sink: what was found before it has been handed on.
ScanResult scan_image(std::span<const ScanArea> areas, const ReadPlan& plan, RunSink& sink, bool damage = false);

// The same for the whole of `input` as 2048-byte sectors.
ScanResult scan_image(const ImageInput& input, const ReadPlan& plan, RunSink& sink);
