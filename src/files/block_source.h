// The image's 2048-byte blocks as its file systems address them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "scan/disc_layout.h"

class BlockSource {
public:
    virtual ~BlockSource() = default;
    // Blocks the image holds.
    virtual std::uint64_t blocks() const = 0;
    // Reads blocks [block, block + count) into `out`, BLOCK bytes each;
    // returns how many were read whole, from the first, with the errno of a
    // failed read in `error` (0 where the image ends).
    virtual std::size_t read(std::uint64_t block, std::size_t count, unsigned char* out, int& error) const = 0;
};

// The blocks of an image that holds them one after the other from byte 0
// (an ISO image, a disc read as 2048-byte sectors).
class CookedBlocks final : public BlockSource {
public:
    CookedBlocks(int fd, std::uint64_t bytes) : fd_(fd), bytes_(bytes) {}
    std::uint64_t blocks() const override;
    std::size_t read(std::uint64_t block, std::size_t count, unsigned char* out, int& error) const override;

private:
    int fd_;
    std::uint64_t bytes_;
};

// The blocks of an image of raw frames, or of several files (a sheet's):
// each block is the first 2048 bytes of the user data of the frame at its
// disc address. A frame with none, and an address no area holds (an audio
// track's), read as zeros.
class FrameBlocks final : public BlockSource {
public:
    explicit FrameBlocks(std::span<const ScanArea> areas);
    std::uint64_t blocks() const override { return blocks_; }
    std::size_t read(std::uint64_t block, std::size_t count, unsigned char* out, int& error) const override;

private:
    std::span<const ScanArea> areas_;
    std::vector<std::uint64_t> frames_; // of each area
    std::uint64_t blocks_ = 0;
};
