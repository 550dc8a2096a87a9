// Builds test images from sector patterns and runs scans on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "scan/image_scan.h"

using Bytes = std::vector<unsigned char>;

// One sector per letter: D is 2048 bytes of 0x41, Z is 2048 zero bytes.
Bytes image_from_pattern(const std::string& pattern);

// Writes GUARD_BYTES bytes at `at` that sum to zero as signed bytes but are
// not zero: 0x01 and 0xFF in turn.
void fill_cancelling(unsigned char* at);

// `count` data sectors with the sectors in [first, last] zero.
Bytes data_image_with_zeros(std::size_t count, std::size_t first, std::size_t last);

struct ScanRun {
    ScanResult result;
    std::string report;
    std::string mapfile_blocks; // the block lines of the mapfile the scan wrote
};

// Two readers, so that the hand-over between threads is exercised on any
// machine.
inline const ReadPlan TEST_PLAN = {PIECE_SIZE, 2};

// Opens `path` as the tool does and scans it as `plan` says, into a report
// and a mapfile, which are captured; with `judged`, the mapfile is also
// handed to ddrescuelog, where it is installed, which must accept it.
ScanRun scan_path(const std::string& path, const ReadPlan& plan = TEST_PLAN, bool judged = true);

// Scans `bytes` as a file (or, with `as_stream`, through a pipe): a file
// both read and mapped, where `plan` does not say which, and the two held
// against each other.
ScanRun scan_bytes(const Bytes& bytes, const ReadPlan& plan = TEST_PLAN, bool as_stream = false);

// The block lines of a mapfile: no comments, no status line.
std::string mapfile_blocks(const std::string& mapfile);

struct Extent {
    std::size_t offset, length;
};

// A sparse file of `size` bytes with data (0x41, with a zero sector here and
// there) only in `extents`; returns its path, and its bytes in `bytes`.
std::string sparse_file(const char* name, std::size_t size, std::initializer_list<Extent> extents, Bytes& bytes);

// The whole of the file at `path`.
std::string read_file(const std::string& path);

// Writes `bytes` to `path`, or to a new file of that name in the test's
// temporary folder; returns its path.
void write_file(const std::string& path, const Bytes& bytes);
std::string write_temp_file(const std::string& name, const Bytes& bytes);
