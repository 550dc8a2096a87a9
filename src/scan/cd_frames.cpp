// Raw CD frames: user data, EDC and the P and Q parity.
#include "scan/cd_frames.h"

#include <array>
#include <cstring>

#include "scan/sector_checks.h"

namespace {

constexpr unsigned char SYNC[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// The EDC's tables: its polynomial, reflected, and the same four bytes at
// a time (slicing by four).
constexpr std::array<std::array<std::uint32_t, 256>, 4> make_edc_tables()
{
    std::array<std::array<std::uint32_t, 256>, 4> tables{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1U) != 0 ? 0xD8018001U ^ (c >> 1) : c >> 1;
        tables[0][n] = c;
    }
    for (std::size_t t = 1; t < 4; ++t) {
        for (std::uint32_t n = 0; n < 256; ++n)
            tables[t][n] = (tables[t - 1][n] >> 8) ^ tables[0][tables[t - 1][n] & 0xFFU];
    }
    return tables;
}
constexpr std::array<std::array<std::uint32_t, 256>, 4> EDC_TABLES = make_edc_tables();

// The words of each Q codeword's 43 symbols before its parity.
constexpr std::array<std::array<std::uint16_t, 43>, 26> make_q_words()
{
    std::array<std::array<std::uint16_t, 43>, 26> words{};
    for (std::size_t nq = 0; nq < 26; ++nq) {
        for (std::size_t mq = 0; mq < 43; ++mq)
            words[nq][mq] = static_cast<std::uint16_t>((44 * mq + 43 * nq) % 1118);
    }
    return words;
}
constexpr std::array<std::array<std::uint16_t, 43>, 26> Q_WORDS = make_q_words();

// The CRC-32 of `length` zero bytes, as the table computes it.
constexpr std::uint32_t zeros_crc(std::size_t length)
{
    std::uint32_t reg = 0xFFFFFFFFU;
    for (std::size_t i = 0; i < length; ++i) {
        std::uint32_t c = (reg ^ 0U) & 0xFFU;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
        reg = (reg >> 8) ^ c;
    }
    return reg ^ 0xFFFFFFFFU;
}
constexpr std::uint32_t EMPTY_2048 = zeros_crc(2048);
constexpr std::uint32_t EMPTY_2324 = zeros_crc(2324);
constexpr std::uint32_t EMPTY_2336 = zeros_crc(2336);
static_assert(EMPTY_2048 == EMPTY_SECTOR_CRC);

std::uint32_t le32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0] | p[1] << 8U | p[2] << 16U) | static_cast<std::uint32_t>(p[3]) << 24U;
}

// A BCD byte's value, or -1 where it is not BCD.
int bcd(unsigned char b)
{
    const int tens = b >> 4U;
    const int units = b & 0x0F;
    return tens > 9 || units > 9 ? -1 : tens * 10 + units;
}

// Multiplication by α = 2 in GF(2^8) with the field polynomial 0x11D.
constexpr std::array<unsigned char, 256> make_times_alpha()
{
    std::array<unsigned char, 256> table{};
    for (unsigned x = 0; x < 256; ++x)
        table[x] = static_cast<unsigned char>((x << 1U) ^ ((x & 0x80U) != 0 ? 0x11DU : 0U));
    return table;
}
constexpr std::array<unsigned char, 256> TIMES_ALPHA = make_times_alpha();

} // namespace

bool has_sync(const unsigned char* frame)
{
    return std::memcmp(frame, SYNC, sizeof SYNC) == 0;
}

std::optional<std::int64_t> header_address(const unsigned char* frame)
{
    const int minute = bcd(frame[12]);
    const int second = bcd(frame[13]);
    const int sector = bcd(frame[14]);
    if (minute < 0 || second < 0 || sector < 0 || second > 59 || sector > 74)
        return std::nullopt;
    return (std::int64_t{minute} * 60 + second) * 75 + sector - 150;
}

bool has_xa_subheader(const unsigned char* frame)
{
    return std::memcmp(frame + 16, frame + 20, 4) == 0;
}

UserData user_data(const unsigned char* frame, bool formless)
{
    if (!has_sync(frame))
        return {};
    switch (frame[15]) {
    case 1:
        return {16, 2048};
    case 2:
        if (formless)
            return {16, 2336};
        return (frame[18] & 0x20U) != 0 ? UserData{24, 2324} : UserData{24, 2048};
    default:
        return {};
    }
}

std::uint32_t empty_user_data_crc(std::size_t length)
{
    switch (length) {
    case 2324:
        return EMPTY_2324;
    case 2336:
        return EMPTY_2336;
    default:
        return EMPTY_2048;
    }
}

std::uint32_t cd_edc(const unsigned char* data, std::size_t length)
{
    std::uint32_t edc = 0;
    std::size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        edc ^= static_cast<std::uint32_t>(data[i] | data[i + 1] << 8U | data[i + 2] << 16U) |
               static_cast<std::uint32_t>(data[i + 3]) << 24U;
        edc = EDC_TABLES[3][edc & 0xFFU] ^ EDC_TABLES[2][(edc >> 8) & 0xFFU] ^ EDC_TABLES[1][(edc >> 16) & 0xFFU] ^
              EDC_TABLES[0][edc >> 24];
    }
    for (; i < length; ++i)
        edc = (edc >> 8) ^ EDC_TABLES[0][(edc ^ data[i]) & 0xFFU];
    return edc;
}

bool cd_parity_holds(const unsigned char* frame, bool zero_header)
{
    // The 2340 bytes from 12 on as 1170 words; each byte plane is coded on
    // its own.
    std::array<unsigned char, 2340> bytes{};
    std::memcpy(bytes.data(), frame + 12, bytes.size());
    if (zero_header)
        std::memset(bytes.data(), 0, 4);
    for (std::size_t plane = 0; plane < 2; ++plane) {
        const unsigned char* words = bytes.data() + plane;
        // P: 43 codewords of 26 symbols, the last two the parity.
        for (std::size_t np = 0; np < 43; ++np) {
            unsigned s0 = 0;
            unsigned char s1 = 0;
            for (std::size_t mp = 0; mp < 26; ++mp) {
                const unsigned char c = words[2 * (43 * mp + np)];
                s0 ^= c;
                s1 = static_cast<unsigned char>(TIMES_ALPHA[s1] ^ c);
            }
            if (s0 != 0 || s1 != 0)
                return false;
        }
        // Q: 26 codewords of 43 symbols across the diagonals, then the two
        // parity symbols.
        for (std::size_t nq = 0; nq < 26; ++nq) {
            unsigned s0 = 0;
            unsigned char s1 = 0;
            for (const std::uint16_t word : Q_WORDS[nq]) {
                const unsigned char c = words[std::size_t{2} * word];
                s0 ^= c;
                s1 = static_cast<unsigned char>(TIMES_ALPHA[s1] ^ c);
            }
            for (const std::size_t word : {1118 + nq, 1144 + nq}) {
                const unsigned char c = words[std::size_t{2} * word];
                s0 ^= c;
                s1 = static_cast<unsigned char>(TIMES_ALPHA[s1] ^ c);
            }
            if (s0 != 0 || s1 != 0)
                return false;
        }
    }
    return true;
}

FrameDamage check_frame(const unsigned char* frame, std::uint64_t address, bool formless)
{
    if (!has_sync(frame))
        return FrameDamage::no_sync;
    const unsigned mode = frame[15];
    const std::optional<std::int64_t> at = header_address(frame);
    if (!at || mode > 2 || *at != static_cast<std::int64_t>(address))
        return FrameDamage::bad_header;
    if (mode == 1) {
        if (cd_edc(frame, 2064) != le32(frame + 2064))
            return FrameDamage::bad_edc;
        return cd_parity_holds(frame, false) ? FrameDamage::none : FrameDamage::bad_ecc;
    }
    if (mode == 2 && !formless) {
        // The EDC covers both copies of the subheader: one that differs
        // shows there.
        if ((frame[18] & 0x20U) != 0) {
            const std::uint32_t stored = le32(frame + 2348);
            return stored == 0 || cd_edc(frame + 16, 2332) == stored ? FrameDamage::none : FrameDamage::bad_edc;
        }
        if (cd_edc(frame + 16, 2056) != le32(frame + 2072))
            return FrameDamage::bad_edc;
        return cd_parity_holds(frame, true) ? FrameDamage::none : FrameDamage::bad_ecc;
    }
    return FrameDamage::none;
}

const char* damage_text(FrameDamage damage)
{
    switch (damage) {
    case FrameDamage::none:
        return "";
    case FrameDamage::no_sync:
        return "no sync";
    case FrameDamage::bad_header:
        return "bad header";
    case FrameDamage::bad_edc:
        return "bad EDC";
    case FrameDamage::bad_ecc:
        return "bad ECC";
    }
    return "";
}
