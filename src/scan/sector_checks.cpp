// The CRC-32 emptiness test and the signed edge sums.
#include "scan/sector_checks.h"

#include <array>

#ifdef SECTORSCAN_WITH_ISAL
#include <isa-l/crc.h>
#endif

namespace {

// The standard table of the reflected CRC-32 (polynomial 0xEDB88320), built
// by the compiler so that it is fixed data in the binary, not filled at
// start-up.
constexpr std::array<std::uint32_t, 256> make_crc_table()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> CRC_TABLE = make_crc_table();
static_assert(CRC_TABLE[1] == 0x77073096U && CRC_TABLE[255] == 0x2D02EF8DU);

inline std::uint32_t crc_step(std::uint32_t reg, unsigned char byte)
{
    return (reg >> 8) ^ CRC_TABLE[(reg ^ byte) & 0xFFU];
}

// Runs the table over the bytes from a register value; no inversions.
std::uint32_t crc32_register(std::uint32_t reg, const unsigned char* data, std::size_t length)
{
    // Eight bytes a step while at least eight remain; a sector is exactly
    // 256 such steps.
    while (length >= 8) {
        reg = crc_step(reg, data[0]);
        reg = crc_step(reg, data[1]);
        reg = crc_step(reg, data[2]);
        reg = crc_step(reg, data[3]);
        reg = crc_step(reg, data[4]);
        reg = crc_step(reg, data[5]);
        reg = crc_step(reg, data[6]);
        reg = crc_step(reg, data[7]);
        data += 8;
        length -= 8;
    }
    while (length-- > 0)
        reg = crc_step(reg, *data++);
    return reg;
}

} // namespace

std::uint32_t crc32_buffer(const unsigned char* data, std::size_t length)
{
    return crc32_register(0xFFFFFFFFU, data, length) ^ 0xFFFFFFFFU;
}

namespace {

// The one place where the build's CRC-32 is chosen.
#ifdef SECTORSCAN_WITH_ISAL
// ISA-L's reflected IEEE CRC takes the previous CRC (0 to start) and does
// both inversions itself, so its result is the finished CRC-32.
std::uint32_t selected_crc32(const unsigned char* data, std::size_t length)
{
    return crc32_gzip_refl(0, data, length);
}
constexpr const char* SELECTED_CRC32_NAME = "ISA-L";
#else
std::uint32_t selected_crc32(const unsigned char* data, std::size_t length)
{
    return crc32_buffer(data, length);
}
constexpr const char* SELECTED_CRC32_NAME = "table";
#endif

} // namespace

std::uint32_t crc32_fast(const unsigned char* data, std::size_t length)
{
    return selected_crc32(data, length);
}

const char* crc32_implementation()
{
    return SELECTED_CRC32_NAME;
}

bool is_empty_sector(const unsigned char* sector)
{
    return selected_crc32(sector, SECTOR_SIZE) == EMPTY_SECTOR_CRC;
}

std::int32_t signed_byte_sum(const unsigned char* data, std::size_t length)
{
    std::int32_t sum = 0;
    for (std::size_t i = 0; i < length; ++i)
        sum += static_cast<signed char>(data[i]);
    return sum;
}

void StretchBuilder::add(bool empty, std::int32_t edge_sum, std::uint64_t count)
{
    if (count_ > 0 && room_[count_ - 1].empty == empty) {
        room_[count_ - 1].count += count;
        return;
    }
    // Room for one stretch per sector and one more: never full (see above).
    room_[count_++] = SectorStretch{count, edge_sum, empty};
}

void StretchBuilder::add_damage(FrameDamage damage, std::uint64_t count)
{
    if (damage_count_ > 0 && damage_room_[damage_count_ - 1].damage == damage) {
        damage_room_[damage_count_ - 1].count += count;
        return;
    }
    damage_room_[damage_count_++] = DamageStretch{count, damage};
}

void StretchBuilder::check(const unsigned char* sectors, std::size_t count, std::uint64_t address)
{
    if (layout_.raw) {
        check_frames(sectors, count, address);
        return;
    }
    for (std::size_t k = 0; k < count; ++k) {
        const unsigned char* sector = sectors + k * SECTOR_SIZE;
        const bool empty = is_empty_sector(sector);
        if (count_ > 0 && room_[count_ - 1].empty == empty) {
            ++room_[count_ - 1].count;
            continue;
        }
        std::int32_t edge_sum = 0;
        if (!empty)
            edge_sum = signed_byte_sum(sector, GUARD_BYTES);
        else if (count_ > 0)
            edge_sum = k == 0 ? tail_sum_ : signed_byte_sum(sector - GUARD_BYTES, GUARD_BYTES);
        add(empty, edge_sum, 1);
    }
    if (count > 0)
        tail_sum_ = signed_byte_sum(sectors + count * SECTOR_SIZE - GUARD_BYTES, GUARD_BYTES);
}

void StretchBuilder::check_frames(const unsigned char* frames, std::size_t count, std::uint64_t address)
{
    // The end of the user data of the frame before, for the sum in front
    // of a run that opens; none where that frame had none (it was empty).
    const unsigned char* before = nullptr;
    for (std::size_t k = 0; k < count; ++k) {
        const unsigned char* frame = frames + k * layout_.size;
        const UserData data = user_data(frame, layout_.formless);
        const unsigned char* user = frame + data.offset;
        const bool empty = data.length == 0 || crc32_fast(user, data.length) == empty_user_data_crc(data.length);
        if (!damage_room_.empty())
            add_damage(check_frame(frame, address + k, layout_.formless), 1);
        if (count_ == 0 || room_[count_ - 1].empty != empty) {
            std::int32_t edge_sum = 0;
            if (!empty)
                edge_sum = signed_byte_sum(user, GUARD_BYTES);
            else if (count_ > 0)
                edge_sum = k == 0              ? tail_sum_
                           : before != nullptr ? signed_byte_sum(before - GUARD_BYTES, GUARD_BYTES)
                                               : 0;
            add(empty, edge_sum, 1);
        } else {
            ++room_[count_ - 1].count;
        }
        before = data.length > 0 ? user + data.length : nullptr;
    }
    if (count > 0)
        tail_sum_ = before != nullptr ? signed_byte_sum(before - GUARD_BYTES, GUARD_BYTES) : 0;
}

void StretchBuilder::zeros(std::uint64_t count)
{
    if (count == 0)
        return;
    add(true, count_ > 0 ? tail_sum_ : 0, count);
    // A raw frame of zeros has no sync pattern.
    if (!damage_room_.empty())
        add_damage(FrameDamage::no_sync, count);
    tail_sum_ = 0;
}

void StretchBuilder::keep(std::uint64_t sectors)
{
    std::size_t kept = 0;
    std::uint64_t covered = 0;
    while (kept < count_ && covered + room_[kept].count <= sectors)
        covered += room_[kept++].count;
    if (kept < count_ && covered < sectors)
        room_[kept++].count = sectors - covered;
    count_ = kept;
    kept = 0;
    covered = 0;
    while (kept < damage_count_ && covered + damage_room_[kept].count <= sectors)
        covered += damage_room_[kept++].count;
    if (kept < damage_count_ && covered < sectors)
        damage_room_[kept++].count = sectors - covered;
    damage_count_ = kept;
}

StretchBuilder::Mark StretchBuilder::mark() const
{
    Mark mark;
    mark.count = count_;
    mark.damage_count = damage_count_;
    mark.tail_sum = tail_sum_;
    if (count_ > 0)
        mark.last = room_[count_ - 1];
    if (damage_count_ > 0)
        mark.last_damage = damage_room_[damage_count_ - 1];
    return mark;
}

void StretchBuilder::rewind(const Mark& mark)
{
    count_ = mark.count;
    damage_count_ = mark.damage_count;
    tail_sum_ = mark.tail_sum;
    if (count_ > 0)
        room_[count_ - 1] = mark.last;
    if (damage_count_ > 0)
        damage_room_[damage_count_ - 1] = mark.last_damage;
}
