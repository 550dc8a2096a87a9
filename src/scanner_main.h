// The command-line driver and the chunk loop that reads an image from start
// to end through one reused buffer.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>

inline constexpr std::size_t CHUNK_SIZE = 0x800000; // 8 MiB
inline constexpr std::size_t SECTORS_PER_CHUNK = 4096;

// Reads up to `count` bytes like read(2). The tool always uses read(2); tests
// substitute readers that fail or return short counts. It is called from the
// reader thread, one call at a time.
using ReadFunction = ssize_t (*)(int fd, void* buffer, std::size_t count);

// The image being scanned.
struct ScanInput {
    int fd = -1;
    // Bytes to scan, measured by file_size; empty when the input cannot seek
    // (a pipe), which is then read to its end.
    std::optional<std::uint64_t> size;
    ReadFunction read_some = nullptr; // nullptr: read(2)
};

struct ScanResult {
    enum Status { complete, read_failed, input_shrank, write_failed };
    Status status = complete;
    int error = 0; // errno of a failed read or write
    std::uint64_t bytes_read = 0;
};

// Called after every slot of the chunk buffer with the bytes read so far,
// and before every report line with `line_due` set, so that a progress
// display can get out of the way. May be null.
struct ScanObserver {
    void (*notify)(void* context, std::uint64_t bytes_read, bool line_due) = nullptr;
    void* context = nullptr;
};

// Length of the stream by seeking to its end and back to the start; empty
// when the stream cannot seek.
std::optional<std::uint64_t> file_size(int fd);

// Scans the image through `buffer` (`chunk_size` bytes, a whole number of
// sectors, at least one), refilled as a ring of slots by a reader thread,
// and prints a report line to `out` for every run of empty sectors with data
// on both sides. Stops at the first failed read or write; the lines already
// printed stay.
ScanResult scan_image(const ScanInput& input, unsigned char* buffer, std::size_t chunk_size, std::FILE* out,
                      const ScanObserver& observer = {});

// The one chunk buffer: CHUNK_SIZE bytes, 2 MiB-aligned and offered to the
// kernel for transparent huge pages, which makes its copy from the page
// cache cheaper. Null when the memory cannot be had.
unsigned char* allocate_chunk_buffer();
void release_chunk_buffer(unsigned char* buffer);

// The whole tool: arguments in, exit status out.
//   0  the scan completed (whatever it found); --help, --version
//   1  the image cannot be opened or read, memory or standard output failed
//   2  usage error
int scanner_main(int argc, char** argv);
