// Writes a small UDF 1.02 image whose one file, /frag.bin, is in PIECES
// pieces of one block each, every one apart from the one before (the pieces
// go round among a few hundred blocks), so that none joins the next: the
// most a file system can make the tool's map of a file cost. The file's
// allocation descriptors fill its file entry and then a chain of allocation
// extent blocks.
// Usage: make_fragmented_udf PATH PIECES
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t BLOCK = 2048;
constexpr std::uint32_t PARTITION = 300; // where the partition starts
constexpr std::uint32_t DATA_BLOCKS = 400;

using Block = std::array<unsigned char, BLOCK>;

void put16(unsigned char* p, std::uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8U);
}
void put32(unsigned char* p, std::uint64_t v)
{
    for (int k = 0; k < 4; ++k)
        p[k] = static_cast<unsigned char>(v >> (8 * k));
}

// A descriptor tag of `id` at `location`, over `length` bytes in all.
void tag(unsigned char* d, std::uint16_t id, std::uint32_t location, std::size_t length)
{
    put16(d, id);
    put16(d + 2, 2);
    put32(d + 12, location);
    put16(d + 10, static_cast<std::uint32_t>(length - 16));
    unsigned crc = 0;
    for (std::size_t i = 16; i < length; ++i) {
        crc ^= static_cast<unsigned>(d[i]) << 8U;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000U) != 0 ? (crc << 1U) ^ 0x1021U : crc << 1U;
    }
    put16(d + 8, crc & 0xFFFFU);
    unsigned sum = 0;
    for (std::size_t i = 0; i < 16; ++i)
        sum += i == 4 ? 0 : d[i];
    d[4] = static_cast<unsigned char>(sum);
}

// A file identifier of `name` (8-bit) for the entry at partition block
// `entry`, at `d`; returns its length.
std::size_t identifier(unsigned char* d, std::uint32_t location, const char* name, bool folder, bool parent,
                       std::uint32_t entry)
{
    const std::size_t name_length = name[0] == '\0' ? 0 : 1 + std::strlen(name);
    const std::size_t length = (38 + name_length + 3) / 4 * 4;
    std::memset(d, 0, length);
    put16(d + 16, 1);
    d[18] = static_cast<unsigned char>((folder ? 0x02U : 0) | (parent ? 0x08U : 0));
    d[19] = static_cast<unsigned char>(name_length);
    put32(d + 20, BLOCK);
    put32(d + 24, entry);
    if (name_length > 0) {
        d[38] = 8;
        std::memcpy(d + 39, name, name_length - 1);
    }
    tag(d, 257, location, length);
    return length;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("Usage: make_fragmented_udf PATH PIECES\n", stderr);
        return 2;
    }
    const std::uint64_t pieces = std::strtoull(argv[2], nullptr, 10);
    // Descriptors in the file entry, then in each allocation extent block,
    // one of each kept for the pointer to the next block.
    const std::uint64_t in_entry = (BLOCK - 176) / 8 - 1;
    const std::uint64_t per_block = (BLOCK - 24) / 8 - 1;
    const std::uint64_t chain = pieces > in_entry ? (pieces - in_entry + per_block - 1) / per_block : 0;
    const std::uint32_t data = 4 + static_cast<std::uint32_t>(chain); // partition block of the first data block
    const std::uint32_t partition_length = data + DATA_BLOCKS;
    std::vector<Block> image(PARTITION + partition_length + 257, Block{});
    const auto at = [&](std::uint64_t block) { return image[block].data(); };

    // Recognition sequence, anchors, volume descriptors.
    const char* ids[] = {"BEA01", "NSR02", "TEA01"};
    for (std::size_t k = 0; k < 3; ++k) {
        at(16 + k)[1] = 0;
        std::memcpy(at(16 + k) + 1, ids[k], 5);
        at(16 + k)[6] = 1;
    }
    for (const std::uint64_t anchor : {std::uint64_t{256}, image.size() - 1}) {
        unsigned char* d = at(anchor);
        put32(d + 16, 3 * BLOCK);
        put32(d + 20, 32);
        put32(d + 24, 3 * BLOCK);
        put32(d + 28, 48);
        tag(d, 2, static_cast<std::uint32_t>(anchor), 512);
    }
    for (const std::uint32_t first : {32U, 48U}) {
        unsigned char* pd = at(first);
        put16(pd + 22, 0);
        put32(pd + 188, PARTITION);
        put32(pd + 192, partition_length);
        tag(pd, 5, first, 512);
        unsigned char* lvd = at(first + 1);
        put32(lvd + 212, BLOCK);
        put32(lvd + 248, BLOCK); // the file set descriptor: partition block 0
        put32(lvd + 264, 6);
        put32(lvd + 268, 1);
        lvd[440] = 1;
        lvd[441] = 6;
        put16(lvd + 442, 1);
        tag(lvd, 6, first + 1, 446);
        tag(at(first + 2), 8, first + 2, 512);
    }
    // The file set, the root folder with its identifiers in its entry, and
    // the file's entry and its chain of descriptors.
    put32(at(PARTITION) + 400, BLOCK);
    put32(at(PARTITION) + 404, 1);
    tag(at(PARTITION), 256, 0, 512);
    unsigned char* root = at(PARTITION + 1);
    root[27] = 4;
    put16(root + 34, 3);
    std::size_t ids_length = identifier(root + 176, 1, "", true, true, 1);
    ids_length += identifier(root + 176 + ids_length, 1, "frag.bin", false, false, 2);
    put32(root + 56, ids_length);
    put32(root + 172, ids_length);
    tag(root, 261, 1, 176 + ids_length);
    unsigned char* file = at(PARTITION + 2);
    file[27] = 5;
    put32(file + 56, pieces * BLOCK);
    put32(file + 60, (pieces * BLOCK) >> 32U);
    std::uint64_t written = 0;
    const auto descriptors = [&](unsigned char* ads, std::uint64_t room, std::uint32_t next) {
        std::size_t length = 0;
        for (std::uint64_t k = 0; k < room && written < pieces; ++k, ++written, length += 8) {
            put32(ads + length, BLOCK);
            put32(ads + length + 4, data + 2 * (written % (DATA_BLOCKS / 2)));
        }
        if (written < pieces) {
            put32(ads + length, (3U << 30U) | BLOCK);
            put32(ads + length + 4, next);
            length += 8;
        }
        return length;
    };
    const std::size_t entry_ads = descriptors(file + 176, in_entry, 3);
    put32(file + 172, entry_ads);
    tag(file, 261, 2, 176 + entry_ads);
    for (std::uint64_t k = 0; k < chain; ++k) {
        unsigned char* aed = at(PARTITION + 3 + k);
        const std::size_t length = descriptors(aed + 24, per_block, static_cast<std::uint32_t>(4 + k));
        put32(aed + 20, length);
        tag(aed, 258, static_cast<std::uint32_t>(3 + k), 24 + length);
    }
    for (std::uint32_t k = 0; k < DATA_BLOCKS; ++k)
        std::memset(at(PARTITION + data + k), 'd', BLOCK);

    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    for (const Block& block : image)
        std::fwrite(block.data(), 1, BLOCK, out);
    if (std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
