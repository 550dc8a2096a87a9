// Encoding raw frames from the equations.
#include "raw_frames.h"

#include <array>
#include <cstring>

namespace {

unsigned char gf_multiply(unsigned a, unsigned b)
{
    unsigned product = 0;
    for (; b != 0; b >>= 1U) {
        if ((b & 1U) != 0)
            product ^= a;
        a = (a << 1U) ^ ((a & 0x80U) != 0 ? 0x11DU : 0U);
    }
    return static_cast<unsigned char>(product);
}

// 1 / (α + 1) = 1 / 3, found by trying.
unsigned char inverse_of_three()
{
    for (unsigned y = 1; y < 256; ++y) {
        if (gf_multiply(3, y) == 1)
            return static_cast<unsigned char>(y);
    }
    return 0;
}

// The EDC bit by bit: the polynomial 0x8001801B taken least significant
// bit first (0xD8018001), from 0.
std::uint32_t edc(const unsigned char* data, std::size_t length)
{
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1U) ^ ((crc & 1U) != 0 ? 0xD8018001U : 0U);
    }
    return crc;
}

void put32(unsigned char* at, std::uint32_t value)
{
    for (int k = 0; k < 4; ++k)
        at[k] = static_cast<unsigned char>(value >> (8 * k));
}

// The two parity symbols that end a codeword of `n` symbols whose first n-2
// are `data`: both its syndromes (the sum, and the sum weighted by α to the
// power of the distance from its end) are then zero.
std::pair<unsigned char, unsigned char> parity(const std::vector<unsigned char>& data)
{
    unsigned char sum = 0;
    unsigned char weighted = 0; // Σ data[k] α^(n-3-k), by Horner
    for (const unsigned char c : data) {
        sum ^= c;
        weighted = static_cast<unsigned char>(gf_multiply(weighted, 2) ^ c);
    }
    weighted = gf_multiply(weighted, 4); // times α², for the two parity places after
    static const unsigned char third = inverse_of_three();
    const unsigned char first = gf_multiply(sum ^ weighted, third);
    return {first, static_cast<unsigned char>(sum ^ first)};
}

// Fills in P, then Q, over the 1170 words from byte 12 on (the header as
// zeros for Form 1).
void add_parity(unsigned char* frame, bool zero_header)
{
    std::array<unsigned char, 2340> words{};
    std::memcpy(words.data(), frame + 12, words.size());
    if (zero_header)
        std::memset(words.data(), 0, 4);
    for (std::size_t plane = 0; plane < 2; ++plane) {
        const auto at = [&](std::size_t word) -> unsigned char& { return words[2 * word + plane]; };
        for (std::size_t np = 0; np < 43; ++np) {
            std::vector<unsigned char> data;
            for (std::size_t mp = 0; mp < 24; ++mp)
                data.push_back(at(43 * mp + np));
            const auto [p24, p25] = parity(data);
            at(std::size_t{43} * 24 + np) = p24;
            at(std::size_t{43} * 25 + np) = p25;
        }
        for (std::size_t nq = 0; nq < 26; ++nq) {
            std::vector<unsigned char> data;
            for (std::size_t mq = 0; mq < 43; ++mq)
                data.push_back(at((44 * mq + 43 * nq) % 1118));
            const auto [q43, q44] = parity(data);
            at(1118 + nq) = q43;
            at(1144 + nq) = q44;
        }
    }
    std::memcpy(frame + 2076, words.data() + 2064, 2352 - 2076);
}

unsigned char bcd(std::uint64_t value)
{
    return static_cast<unsigned char>((value / 10) << 4U | value % 10);
}

} // namespace

Bytes raw_frame(const unsigned char* user, RawMode mode, std::uint64_t address)
{
    Bytes frame(2352, 0);
    std::memset(frame.data() + 1, 0xFF, 10);
    const std::uint64_t at = address + 150;
    frame[12] = bcd(at / 75 / 60);
    frame[13] = bcd(at / 75 % 60);
    frame[14] = bcd(at % 75);
    frame[15] = mode == RawMode::mode1 ? 1 : 2;
    if (mode == RawMode::mode1) {
        std::memcpy(frame.data() + 16, user, 2048);
        put32(frame.data() + 2064, edc(frame.data(), 2064));
        add_parity(frame.data(), false);
        return frame;
    }
    // The subheader, twice: file, channel, submode (data; Form 2 with 0x20),
    // coding.
    const unsigned char submode = mode == RawMode::form2 ? 0x28 : 0x08;
    for (const std::size_t copy : {16, 20})
        frame[copy + 2] = submode;
    if (mode == RawMode::form2) {
        std::memcpy(frame.data() + 24, user, 2324);
        put32(frame.data() + 2348, edc(frame.data() + 16, 2332));
        return frame;
    }
    std::memcpy(frame.data() + 24, user, 2048);
    put32(frame.data() + 2072, edc(frame.data() + 16, 2056));
    add_parity(frame.data(), true);
    return frame;
}

Bytes raw_image(const Bytes& iso, RawMode mode, bool subchannel, std::uint64_t first)
{
    Bytes image;
    std::vector<unsigned char> user(2324, 0);
    for (std::size_t sector = 0; sector + 2048 <= iso.size(); sector += 2048) {
        std::memcpy(user.data(), iso.data() + sector, 2048);
        const Bytes frame = raw_frame(user.data(), mode, first + sector / 2048);
        image.insert(image.end(), frame.begin(), frame.end());
        if (subchannel)
            image.insert(image.end(), 96, 0x5A);
    }
    return image;
}
