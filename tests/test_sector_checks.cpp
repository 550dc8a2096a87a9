// The CRC-32 variant, the emptiness verdict and the signed sums.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "scan/sector_checks.h"
#include "test_images.h"

namespace {

using Sector = std::vector<unsigned char>;

Sector zero_sector()
{
    return Sector(SECTOR_SIZE, 0);
}

std::uint32_t crc_of(const char* text)
{
    return crc32_buffer(reinterpret_cast<const unsigned char*>(text), std::strlen(text));
}

} // namespace

TEST(Crc32, PinsTheReflectedIeeeVariant)
{
    // "123456789" is the standard check value: a wrong polynomial, reflection,
    // seed or final inversion changes it.
    EXPECT_EQ(crc_of("123456789"), 0xCBF43926U);
    EXPECT_EQ(crc32_fast(reinterpret_cast<const unsigned char*>("123456789"), 9), 0xCBF43926U);
    EXPECT_EQ(crc32_buffer(nullptr, 0), 0U);
    EXPECT_EQ(crc32_fast(nullptr, 0), 0U);
    // A byte b takes table entry (b ^ 0xFF): 0x00 reaches entry 255 and 0xFE
    // entry 1, each inverted in its top byte by the register's start.
    const unsigned char zero = 0x00;
    const unsigned char fe = 0xFE;
    EXPECT_EQ(crc32_buffer(&zero, 1), 0xFF000000U ^ 0x2D02EF8DU);
    EXPECT_EQ(crc32_buffer(&fe, 1), 0xFF000000U ^ 0x77073096U);
    const Sector zeros = zero_sector();
    EXPECT_EQ(crc32_buffer(zeros.data(), SECTOR_SIZE), EMPTY_SECTOR_CRC);
    EXPECT_EQ(crc32_fast(zeros.data(), SECTOR_SIZE), EMPTY_SECTOR_CRC);
}

TEST(Crc32, FastMatchesTableOverLengthsAndAlignments)
{
    std::mt19937 random(12345); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same cases every run
    std::vector<unsigned char> bytes(4300 + 16);
    for (auto& b : bytes)
        b = static_cast<unsigned char>(random());
    for (std::size_t offset = 0; offset < 16; ++offset) {
        for (std::size_t length = 0; length <= 4300; ++length) {
            const unsigned char* data = bytes.data() + offset;
            ASSERT_EQ(crc32_fast(data, length), crc32_buffer(data, length))
                << "offset " << offset << " length " << length << " (" << crc32_implementation() << ")";
        }
    }
}

TEST(Crc32, TableMatchesABitAtATimeReferenceAtEveryLength)
{
    // The table loop handles 8 bytes a step and then the rest; lengths that
    // are not a multiple of 8 must still match a byte-at-a-time reference.
    std::vector<unsigned char> bytes(37);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    for (std::size_t length = 0; length <= bytes.size(); ++length) {
        std::uint32_t reg = 0xFFFFFFFFU;
        for (std::size_t i = 0; i < length; ++i) {
            reg ^= bytes[i];
            for (int bit = 0; bit < 8; ++bit)
                reg = (reg & 1U) != 0 ? 0xEDB88320U ^ (reg >> 1) : reg >> 1;
        }
        EXPECT_EQ(crc32_buffer(bytes.data(), length), reg ^ 0xFFFFFFFFU) << "length " << length;
    }
}

TEST(EmptySector, VerdictFollowsTheCrcNotTheBytes)
{
    Sector sector = zero_sector();
    EXPECT_TRUE(is_empty_sector(sector.data()));

    sector[SECTOR_SIZE - 1] = 0x01;
    EXPECT_FALSE(is_empty_sector(sector.data()));
    sector[SECTOR_SIZE - 1] = 0x00;
    sector[0] = 0x80;
    EXPECT_FALSE(is_empty_sector(sector.data()));

    const Sector letters(SECTOR_SIZE, 0x41);
    EXPECT_FALSE(is_empty_sector(letters.data()));

    // Adding the 33-bit generator anywhere leaves the CRC unchanged: this
    // sector is not all zero, yet it counts as empty.
    Sector collision = zero_sector();
    const unsigned char generator[] = {0x41, 0x06, 0x71, 0xDB, 0x01};
    std::memcpy(collision.data() + 100, generator, sizeof generator);
    EXPECT_EQ(crc32_buffer(collision.data(), SECTOR_SIZE), EMPTY_SECTOR_CRC);
    EXPECT_TRUE(is_empty_sector(collision.data()));
}

TEST(SignedByteSum, ReadsBytesAsSigned)
{
    unsigned char bytes[GUARD_BYTES];
    fill_cancelling(bytes);
    EXPECT_EQ(signed_byte_sum(bytes, GUARD_BYTES), 0);

    std::memset(bytes, 0x80, sizeof bytes);
    EXPECT_EQ(signed_byte_sum(bytes, GUARD_BYTES), -2048);
    std::memset(bytes, 0x7F, sizeof bytes);
    EXPECT_EQ(signed_byte_sum(bytes, GUARD_BYTES), 2032);
    std::memset(bytes, 0x41, sizeof bytes);
    EXPECT_EQ(signed_byte_sum(bytes, GUARD_BYTES), 1040);
    std::memset(bytes, 0x00, sizeof bytes);
    EXPECT_EQ(signed_byte_sum(bytes, GUARD_BYTES), 0);
    EXPECT_EQ(signed_byte_sum(nullptr, 0), 0);
}
