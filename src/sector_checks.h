// Byte-level tests of the scan: is a 2048-byte sector empty, and the signed
// sum of the few bytes at the edge of a run.
#pragma once

#include <cstddef>
#include <cstdint>

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

// All the run tracker needs to know of one sector: its verdict and the
// signed sums of its first and of its last GUARD_BYTES bytes. The sums of
// 16 bytes lie between -2048 and 2032.
struct SectorRecord {
    std::int16_t lead_sum = 0;
    std::int16_t tail_sum = 0;
    bool empty = false;
};

SectorRecord check_sector(const unsigned char* sector);
