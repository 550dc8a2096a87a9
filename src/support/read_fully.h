// The one way the tool reads bytes of a file that it needs whole.
#pragma once

#include <cstddef>
#include <cstdint>

struct ReadResult {
    std::size_t bytes = 0; // read, from the start
    int error = 0;         // errno of the read that failed; 0 when all were read or the file ended
};

// Reads `count` bytes at `offset` of `fd` into `buffer`, again and again
// through short reads and interruptions: all of them, fewer where the file
// ends, or fewer and the error of the read that failed.
ReadResult read_fully(int fd, std::uint64_t offset, void* buffer, std::size_t count);
