// Byte-level tests of the scan: is a 2048-byte sector empty, and the signed
// sum of the few bytes at the edge of a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "scan/cd_frames.h"

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

// Raw frames in a row that fail the same one of their own checks (or none).
struct DamageStretch {
    std::uint64_t count = 0;
    FrameDamage damage = FrameDamage::none;
};

// How the sectors to check lie: 2048 bytes each, or raw frames of `size`
// bytes whose user data is checked (see cd_frames.h), of a disc whose
// Mode 2 frames may be `formless`.
struct SectorLayout {
    std::size_t size = SECTOR_SIZE;
    bool raw = false;
    bool formless = false;
};

// Checks sectors in file order as they are read and keeps them as stretches
// in `room`, a new one wherever the verdict changes. The signed sums are
// taken only there, while the bytes are still at hand; the first stretch, if
// empty, gets no sum, since the bytes in front of it were read before. Of
// raw frames it checks the user data (a frame with none is empty, as zeros
// are), and where `damage` has room, each frame's own checks too. Each room
// holds at least one stretch per sector to be checked, and one more.
class StretchBuilder {
public:
    explicit StretchBuilder(std::span<SectorStretch> room, SectorLayout layout = {},
                            std::span<DamageStretch> damage = {})
        : room_(room), layout_(layout), damage_room_(damage)
    {
    }

    // The `count` whole sectors at `sectors`, the first at disc address
    // `address`.
    void check(const unsigned char* sectors, std::size_t count, std::uint64_t address = 0);
    // `count` sectors known to be all zeros.
    void zeros(std::uint64_t count);
    // Keeps only the first `sectors` sectors handed in so far.
    void keep(std::uint64_t sectors);

    // Where the builder stands, for rewind(): a check that did not run to
    // its end is undone to it.
    struct Mark {
        std::size_t count = 0;
        std::size_t damage_count = 0;
        std::int32_t tail_sum = 0;
        SectorStretch last;
        DamageStretch last_damage;
    };
    Mark mark() const;
    void rewind(const Mark& mark);

    std::span<const SectorStretch> stretches() const { return room_.first(count_); }
    std::span<const DamageStretch> damage() const { return damage_room_.first(damage_count_); }
    // The signed sum of the last 16 bytes of the last sector's data so far.
    std::int32_t tail_sum() const { return tail_sum_; }

private:
    void add(bool empty, std::int32_t edge_sum, std::uint64_t count);
    void add_damage(FrameDamage damage, std::uint64_t count);
    void check_frames(const unsigned char* frames, std::size_t count, std::uint64_t address);

    std::span<SectorStretch> room_;
    SectorLayout layout_;
    std::span<DamageStretch> damage_room_;
    std::size_t count_ = 0;
    std::size_t damage_count_ = 0;
    std::int32_t tail_sum_ = 0;
};
