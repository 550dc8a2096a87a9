// The image being scanned: opening it, measuring it, and filling a buffer
// from it with reads that may come up short, fail or be interrupted.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// Reads up to `count` bytes at `offset` like pread(2) or, with an offset of
// -1, at the current position like read(2). The tool uses those two
// (read_or_pread); tests substitute readers that fail or come up short.
// Reads at -1 are made one at a time and in file order; reads at an offset
// may run on several threads.
using ReadFunction = ssize_t (*)(int fd, void* buffer, std::size_t count, off_t offset);
ssize_t read_or_pread(int fd, void* buffer, std::size_t count, off_t offset);
// Seeks like lseek(2); asked only for SEEK_DATA and SEEK_HOLE. Tests
// substitute one that counts its calls or fails.
using SeekFunction = off_t (*)(int fd, off_t offset, int whence);

struct ScanInput {
    int fd = -1;
    // Bytes to scan, measured once before the first read; empty when the
    // input cannot seek (a pipe), which is then read to its end.
    std::optional<std::uint64_t> size;
    ReadFunction read_at = nullptr; // nullptr: pread(2), or read(2) for a stream
    // A regular file with fewer bytes allocated than its length: it may have
    // holes, which read as zeros, and only its data is read. Never set for a
    // dense file, which is read without asking where its data lies
    // (SEEK_DATA can be slow while a file has unwritten changes).
    bool may_have_holes = false;
    SeekFunction seek_data = nullptr; // nullptr: lseek(2)
};

// Opens `path` for reading and measures it if it is a regular file or a
// block device. Returns 0, or the errno of the failure; a directory is EISDIR.
int open_image(const char* path, ScanInput& input);

// Length of the file by seeking to its end and back to the start; empty
// when it cannot seek.
std::optional<std::uint64_t> file_size(int fd);

// How filling a buffer ended.
enum class ReadEnd {
    more,        // the buffer is full and the image goes on
    image_end,   // the image ends with these bytes
    read_failed, // a read failed after `bytes`
    shrank,      // a measured image ended early: it shrank while being read
    stopped,     // the scan was stopped before the buffer was full
};

struct Filled {
    std::size_t bytes = 0;
    ReadEnd end = ReadEnd::more;
    int error = 0;     // errno of a failed read
    bool hole = false; // all the bytes lie in a hole: zeros, not read into the buffer
};

// Whole sectors of a buffer that were read, from sector `first` up to `end`
// (counted from the buffer's start); the sectors between spans lie wholly in
// holes and were not read.
struct SectorSpan {
    std::size_t first = 0;
    std::size_t end = 0;
};

// What a read checks before it starts: `stop`, set when the scan ends
// early, and for a stream `wake_fd`, which becomes readable at the same
// moment, so that a read that would wait for a stalled writer is never begun.
struct ReadStop {
    const std::atomic<bool>* stop = nullptr;
    int wake_fd = -1;
};

// The last hole a reader was told of: the bytes from `from` up to `to` lie in
// a hole (the next data starts at `to`, or the hole runs to the end of the
// file, short of its last byte). It spares the questions for the pieces of a
// long hole.
struct KnownHole {
    std::uint64_t from = 0;
    std::uint64_t to = 0;
};

// How many of the bytes from `from` up to `to` lie in `hole` from `from`
// on: 0 unless `from` itself lies in it. For claims of any size.
std::uint64_t hole_ahead(const KnownHole& hole, std::uint64_t from, std::uint64_t to);

// Reads the image's bytes from `offset` (a stream: from where it stands)
// into `buffer` until `count` bytes are there or the image ends. A pipe hands
// out a few KiB per read and a signal may cut a read short, so it reads
// again; a measured image is read up to its measured size and no further.
// `spans` (which must have room for count / SECTOR_SIZE / 2 + 1 entries, so
// that it never allocates) lists the whole sectors that were read. A file
// that may have holes is read only where the file system says it has data,
// a sector partly in a hole whole; where all the bytes lie in a hole,
// nothing is read and the result says so.
Filled read_fully(const ScanInput& input, std::uint64_t offset, unsigned char* buffer, std::size_t count,
                  const ReadStop& stop, KnownHole& hole, std::vector<SectorSpan>& spans);
