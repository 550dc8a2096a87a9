// Follows runs of empty sectors through the scan and formats the report line
// of every run that has data on both sides.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scan/sector_checks.h"

// Number of a sector from 0 at the start of the image. 64-bit: DVD and
// Blu-ray images hold far more than 2^32 bytes.
using SectorIndex = std::uint64_t;

// The tracker's whole state; it lives for the whole scan, so a run may span
// any number of reads.
struct ScanState {
    std::uint64_t run_length = 0; // empty sectors in the open run; 0: no run open
    SectorIndex run_start = 0;    // first sector of the open run
    std::int32_t before_sum = 0;  // signed sum of the 16 bytes in front of it
};

// A run of sectors: its first and last disc address, and the bytes of the
// image file that hold them, from `offset` up to `end` (its frames whole).
struct ClosedRun {
    SectorIndex first = 0;
    SectorIndex last = 0;
    std::uint64_t offset = 0;
    std::uint64_t end = 0;
};

// Size of the buffer for a report line: the longest, with its newline and
// terminating NUL, fits.
inline constexpr std::size_t RUN_LINE_MAX = 96;

// Feeds the verdict for one sector; sectors come in increasing order of
// `index`. `preceding_sum` is the signed sum of the 16 bytes just before the
// sector in the image (0 for sector 0) and is used only when a run opens
// here; `leading_sum` is that of the sector's own first 16 bytes and is used
// only when a run closes here. Returns true when this sector closes a run
// that belongs in the report, and stores it in `closed`, with the bytes of
// 2048-byte sectors from 0 (the scan places raw frames itself).
bool track_sector(ScanState& state, SectorIndex index, bool empty, std::int32_t preceding_sum, std::int32_t leading_sum,
                  ClosedRun& closed);

// The same as a call of track_sector for each sector of `stretch`, whose
// first sector is `first`: only its first sector can open or close a run.
bool track_sectors(ScanState& state, SectorIndex first, const SectorStretch& stretch, ClosedRun& closed);

// Where the report stands when the scan stops with sector `next` not yet
// tracked: the sectors before the result have their final place in it. A
// run still open that data before it could yet see reported is not settled.
SectorIndex settled_sectors(const ScanState& state, SectorIndex next);

// Writes the report line for `run` into `line` (RUN_LINE_MAX bytes):
// "0x%08x (0x%08x)" for one sector, "0x%08x-0x%08x (0x%08x)" for more, with
// the byte offset of the run's first sector in parentheses, then `tail` (a
// reason, or nothing) and a newline. Eight digits are the minimum width;
// offsets from 4 GiB up print with more. Returns the line's length.
std::size_t format_run_line(const ClosedRun& run, char* line, const char* tail = "");
