// Byte-level tests of the scan: is a 2048-byte sector empty, and the signed
// sum of the few bytes at the edge of a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t SECTOR_SIZE = 2048;
inline constexpr std::size_t GUARD_BYTES = 16;

// Finished CRC-32 of 2048 zero bytes.
inline constexpr std::uint32_t EMPTY_SECTOR_CRC = 0xF1E8BA9E;

// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320, register starts at
// 0xFFFFFFFF, result inverted), computed with the constant table: the
// portable implementation, and the reference the fast one is tested against.
std::uint32_t crc32_buffer(const unsigned char* data, std::size_t length);

// The same CRC-32 through the one implementation this build selected: ISA-L,
// which picks carry-less multiply instructions for the CPU at run time, or
// the table.
std::uint32_t crc32_fast(const unsigned char* data, std::size_t length);

// Name of the implementation behind crc32_fast, for benchmarks and test
// messages.
const char* crc32_implementation();

// True when the CRC-32 of the SECTOR_SIZE bytes at `sector` equals that of an
// all-zero sector. That is the definition of empty: a sector that is not all
// zero but has this CRC-32 counts as empty too.
bool is_empty_sector(const unsigned char* sector);

// Sum of `length` bytes, each read as a signed 8-bit value.
std::int32_t signed_byte_sum(const unsigned char* data, std::size_t length);

// Sectors in a row that share one verdict, as the run tracker takes them:
// `count` sectors, empty or not, and the one signed sum the tracker may need
// of them. For empty sectors it is the sum of the 16 bytes in front of the
// first, where a run opens; for the others, the sum of the first sector's
// own first 16 bytes, where a run closes.
struct SectorStretch {
    std::uint64_t count = 0;
    std::int32_t edge_sum = 0;
    bool empty = false;
};

// Checks sectors in file order as they are read and keeps them as stretches
// in `room`, a new one wherever the verdict changes. The signed sums are
// taken only there, while the bytes are still at hand; the first stretch, if
// empty, gets no sum, since the bytes in front of it were read before.
// `room` holds at least one stretch per sector to be checked, and one more.
class StretchBuilder {
public:
    explicit StretchBuilder(std::span<SectorStretch> room) : room_(room) {}

    // The `count` whole sectors at `sectors`.
    void check(const unsigned char* sectors, std::size_t count);
    // `count` sectors known to be all zeros.
    void zeros(std::uint64_t count);
    // Keeps only the first `sectors` sectors handed in so far.
    void keep(std::uint64_t sectors);

    std::span<const SectorStretch> stretches() const { return room_.first(count_); }
    // The signed sum of the last 16 bytes of the last sector so far.
    std::int32_t tail_sum() const { return tail_sum_; }

private:
    void add(bool empty, std::int32_t edge_sum, std::uint64_t count);

    std::span<SectorStretch> room_;
    std::size_t count_ = 0;
    std::int32_t tail_sum_ = 0;
};
