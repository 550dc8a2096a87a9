// UDF (DVD-Video, Blu-ray, packet-written discs), read from its descriptors:
// the anchor, the volume descriptor sequence (or its reserve copy), the
// partitions (plain, sparable, and the metadata partition of UDF 2.50 and
// later, or its mirror), the file set, and then each folder once by its
// file entry. Every descriptor is checked by its tag (checksum, CRC and the
// place it says it lies at) before anything in it is believed; a file's
// pieces come from its allocation descriptors in one pass.
#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "files/file_system_walk.h"
#include "support/printable.h"

namespace {

constexpr std::uint64_t BLOCK = FileMap::BLOCK;
// Blocks of a descriptor sequence read at most, and pointers to further
// sequences followed.
constexpr std::uint64_t MAX_SEQUENCE = 256;
constexpr unsigned MAX_SEQUENCE_POINTERS = 8;
// Blocks of allocation descriptors followed for one file.
constexpr unsigned MAX_ALLOCATION_BLOCKS = 4096;

enum : std::uint16_t {
    TAG_PRIMARY = 1,
    TAG_ANCHOR = 2,
    TAG_POINTER = 3,
    TAG_PARTITION = 5,
    TAG_LOGICAL_VOLUME = 6,
    TAG_TERMINATOR = 8,
    TAG_FILE_SET = 256,
    TAG_IDENTIFIER = 257,
    TAG_ALLOCATION = 258,
    TAG_FILE_ENTRY = 261,
    TAG_EXTENDED_FILE_ENTRY = 266,
};

std::uint32_t le16(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0] | p[1] << 8U);
}
std::uint32_t le32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0] | p[1] << 8U | p[2] << 16U) | static_cast<std::uint32_t>(p[3]) << 24U;
}
std::uint64_t le64(const unsigned char* p)
{
    return le32(p) | std::uint64_t{le32(p + 4)} << 32U;
}

// CRC-ITU-T (polynomial 0x1021, from 0, not reflected), as tags use it.
constexpr std::array<std::uint16_t, 256> make_crc16_table()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned n = 0; n < 256; ++n) {
        auto c = static_cast<std::uint16_t>(n << 8U);
        for (int bit = 0; bit < 8; ++bit)
            c = static_cast<std::uint16_t>((c & 0x8000U) != 0 ? (c << 1U) ^ 0x1021U : c << 1U);
        table[n] = c;
    }
    return table;
}
constexpr std::array<std::uint16_t, 256> CRC16_TABLE = make_crc16_table();

std::uint16_t crc16(const unsigned char* data, std::size_t length)
{
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < length; ++i)
        crc = static_cast<std::uint16_t>(crc << 8U) ^ CRC16_TABLE[((crc >> 8U) ^ data[i]) & 0xFFU];
    return crc;
}

// Whether the `available` bytes at `d` begin with a tag of `id` that says
// it lies at `location`, with a right checksum and CRC.
bool tag_is(const unsigned char* d, std::size_t available, std::uint16_t id, std::uint32_t location)
{
    if (available < 16 || le16(d) != id || le32(d + 12) != location)
        return false;
    unsigned sum = 0;
    for (std::size_t i = 0; i < 16; ++i)
        sum += i == 4 ? 0 : d[i];
    if ((sum & 0xFFU) != d[4])
        return false;
    const std::size_t crc_length = le16(d + 10);
    return 16 + crc_length > available || crc16(d + 16, crc_length) == le16(d + 8);
}

// A file's or folder's entry: which partition and block.
struct Icb {
    std::uint16_t partition = 0;
    std::uint32_t block = 0;
};
Icb long_ad(const unsigned char* p)
{
    return Icb{static_cast<std::uint16_t>(le16(p + 8)), le32(p + 4)};
}

// Blocks of the metadata partition, and where they lie in the physical one.
struct MetadataPiece {
    std::uint32_t first = 0; // in the metadata partition
    std::uint32_t count = 0;
    std::uint32_t physical = 0; // in the physical partition
};

struct Partition {
    enum class Kind { physical, metadata, unsupported } kind = Kind::unsupported;
    std::uint16_t number = 0;
    std::uint64_t start = 0; // in the image, from the partition descriptor
    std::uint64_t length = 0;
    std::uint32_t metadata_file = 0; // in the physical partition
    std::uint32_t mirror_file = 0;
    std::vector<MetadataPiece> pieces;
    std::string why; // of one that is not supported
};

// What a file entry says.
struct Entry {
    bool folder = false;
    std::uint64_t size = 0;
    std::vector<FileExtent> extents;
    std::string why;  // of one that cannot be read
    bool cut = false; // more pieces than are taken
};

class UdfReader {
public:
    UdfReader(FileSystemWalk& walk, Tree& tree) : walk_(walk), tree_(tree) {}

    // Reads the volume's descriptors: false when there is no UDF volume.
    bool open();
    void read_tree();

private:
    struct Folder {
        Icb icb;
        FileMap::Entry entry = FileMap::ROOT;
        unsigned depth = 0;
    };

    std::optional<std::uint64_t> anchor();
    bool read_sequence(std::uint64_t first, std::uint64_t blocks);
    void take_logical_volume(const unsigned char* d);
    bool map_metadata(Partition& metadata, std::uint32_t file_block);
    std::optional<std::uint64_t> image_block(Icb icb, std::string& why) const;
    void place(std::uint16_t partition, std::uint32_t block, std::uint64_t length, std::uint64_t file_offset,
               std::vector<FileExtent>& out, std::string& why) const;
    Entry read_entry(Icb icb, FileMap::Entry entry, FileMap::Label label, bool allow_metadata = false);
    void take_descriptors(const unsigned char* ads, std::size_t length, unsigned type, Icb icb, FileMap::Entry entry,
                          Entry& file, std::uint64_t& offset, unsigned& blocks);
    void read_folder(const Folder& folder);
    void read_file(const unsigned char* identifier, FileMap::Entry parent, std::string_view name);

    FileSystemWalk& walk_;
    Tree& tree_;
    std::vector<Partition> partitions_; // by partition reference number
    std::vector<std::pair<std::uint16_t, std::pair<std::uint64_t, std::uint64_t>>>
        descriptors_; // number, start, length
    std::optional<Icb> file_set_;
    bool logical_volume_ = false;
    std::optional<Icb> root_;
    std::vector<Folder> queue_;
};

std::optional<std::uint64_t> UdfReader::anchor()
{
    // At block 256, or 256 from the end, or at the end.
    const std::uint64_t blocks = walk_.blocks();
    std::optional<std::uint64_t> found;
    std::array<unsigned char, BLOCK> d{};
    for (const std::uint64_t at : {std::uint64_t{256}, blocks - std::min<std::uint64_t>(blocks, 256),
                                   blocks - std::min<std::uint64_t>(blocks, 1)}) {
        std::string why;
        if (at < 256 || at >= blocks || walk_.read_blocks(at, 1, d.data(), why) != 1 ||
            !tag_is(d.data(), BLOCK, TAG_ANCHOR, static_cast<std::uint32_t>(at)))
            continue;
        walk_.map().add_structure(FileMap::Label::udf_anchor, at * BLOCK, BLOCK);
        if (!found)
            found = at;
    }
    return found;
}

bool UdfReader::open()
{
    const std::optional<std::uint64_t> at = anchor();
    if (!at) {
        // A recognition sequence that names UDF (NSR02, NSR03) with no
        // anchor to be read is a UDF volume lost.
        std::array<unsigned char, BLOCK> d{};
        for (std::uint64_t b = 16; b < 64; ++b) {
            std::string why;
            if (walk_.read_blocks(b, 1, d.data(), why) != 1)
                break;
            const std::string_view id(reinterpret_cast<const char*>(d.data() + 1), 5);
            if (id == "NSR02" || id == "NSR03") {
                walk_.note("UDF: no anchor of the volume can be read");
                return false;
            }
        }
        return false;
    }
    std::array<unsigned char, BLOCK> d{};
    std::string why;
    walk_.read_blocks(*at, 1, d.data(), why);
    // The main sequence, and its reserve copy where the main one fails.
    const std::uint64_t main_blocks = std::min<std::uint64_t>(le32(d.data() + 16) / BLOCK, MAX_SEQUENCE);
    const std::uint64_t reserve_blocks = std::min<std::uint64_t>(le32(d.data() + 24) / BLOCK, MAX_SEQUENCE);
    const std::uint32_t main = le32(d.data() + 20);
    const std::uint32_t reserve = le32(d.data() + 28);
    for (const auto& [first, blocks] : {std::pair{main, main_blocks}, std::pair{reserve, reserve_blocks}})
        walk_.map().add_structure(FileMap::Label::udf_volume_descriptors, first * BLOCK,
                                  walk_.within_image(first * BLOCK, blocks * BLOCK));
    if (!read_sequence(main, main_blocks) && !read_sequence(reserve, reserve_blocks)) {
        walk_.note("UDF: neither copy of the volume descriptors can be read");
        return false;
    }
    return true;
}

bool UdfReader::read_sequence(std::uint64_t first, std::uint64_t blocks)
{
    partitions_.clear();
    descriptors_.clear();
    file_set_.reset();
    logical_volume_ = false;
    std::array<unsigned char, BLOCK> d{};
    std::vector<unsigned char> logical;
    for (unsigned pointers = 0; pointers <= MAX_SEQUENCE_POINTERS;) {
        bool moved = false;
        for (std::uint64_t b = first; b < first + blocks && b < walk_.blocks(); ++b) {
            std::string why;
            if (walk_.read_blocks(b, 1, d.data(), why) != 1)
                break;
            const auto location = static_cast<std::uint32_t>(b);
            if (tag_is(d.data(), BLOCK, TAG_TERMINATOR, location))
                break;
            if (tag_is(d.data(), BLOCK, TAG_PARTITION, location)) {
                descriptors_.push_back(
                    {static_cast<std::uint16_t>(le16(d.data() + 22)), {le32(d.data() + 188), le32(d.data() + 192)}});
            } else if (tag_is(d.data(), BLOCK, TAG_LOGICAL_VOLUME, location) && !logical_volume_) {
                logical.assign(d.begin(), d.end());
                logical_volume_ = true;
            } else if (tag_is(d.data(), BLOCK, TAG_POINTER, location)) {
                // The sequence goes on elsewhere.
                blocks = std::min<std::uint64_t>(le32(d.data() + 20) / BLOCK, MAX_SEQUENCE);
                first = le32(d.data() + 24);
                walk_.map().add_structure(FileMap::Label::udf_volume_descriptors, first * BLOCK,
                                          walk_.within_image(first * BLOCK, blocks * BLOCK));
                moved = true;
                ++pointers;
                break;
            } else if (!tag_is(d.data(), BLOCK, static_cast<std::uint16_t>(le16(d.data())), location) ||
                       le16(d.data()) > TAG_TERMINATOR) {
                break;
            }
        }
        if (!moved)
            break;
    }
    if (!logical_volume_ || descriptors_.empty())
        return false;
    take_logical_volume(logical.data());
    return file_set_.has_value();
}

void UdfReader::take_logical_volume(const unsigned char* d)
{
    if (le32(d + 212) != BLOCK) {
        walk_.note("UDF: logical blocks of " + std::to_string(le32(d + 212)) + " bytes are not supported");
        return;
    }
    const std::uint64_t integrity_blocks = std::min<std::uint64_t>(le32(d + 432) / BLOCK, MAX_SEQUENCE);
    const std::uint64_t integrity = le32(d + 436);
    walk_.map().add_structure(FileMap::Label::udf_integrity, integrity * BLOCK,
                              walk_.within_image(integrity * BLOCK, integrity_blocks * BLOCK));
    const auto descriptor_of = [&](std::uint16_t number) -> const std::pair<std::uint64_t, std::uint64_t>* {
        for (const auto& [n, extent] : descriptors_) {
            if (n == number)
                return &extent;
        }
        return nullptr;
    };
    // The partition maps, within the descriptor and the length it gives them.
    const std::size_t end = std::min<std::size_t>(440 + le32(d + 264), BLOCK);
    const std::uint32_t count = le32(d + 268);
    std::size_t at = 440;
    for (std::uint32_t k = 0; k < count && at + 2 <= end; ++k) {
        const unsigned type = d[at];
        const std::size_t length = d[at + 1];
        if (length < 6 || at + length > end)
            break;
        Partition partition;
        const std::string_view id(reinterpret_cast<const char*>(d + at + 5), type == 2 && length >= 64 ? 23 : 0);
        if (type == 1) {
            partition.kind = Partition::Kind::physical;
            partition.number = static_cast<std::uint16_t>(le16(d + at + 4));
        } else if (type == 2 && length >= 64 && id.starts_with("*UDF Sparable Partition")) {
            // Its sparing tables move defective packets elsewhere; where a
            // block was moved, its old place is named.
            partition.kind = Partition::Kind::physical;
            partition.number = static_cast<std::uint16_t>(le16(d + at + 38));
        } else if (type == 2 && length >= 64 && id.starts_with("*UDF Metadata Partition")) {
            partition.kind = Partition::Kind::metadata;
            partition.number = static_cast<std::uint16_t>(le16(d + at + 38));
            partition.metadata_file = le32(d + at + 40);
            partition.mirror_file = le32(d + at + 44);
        } else {
            partition.why = id.starts_with("*UDF Virtual Partition")
                                ? "its virtual partition (a packet-written CD-R's VAT) is not supported"
                                : "a partition of a kind that is not supported";
        }
        if (const auto* extent = descriptor_of(partition.number)) {
            partition.start = extent->first;
            partition.length = extent->second;
            if (partition.start >= walk_.blocks() && partition.kind != Partition::Kind::unsupported) {
                partition.kind = Partition::Kind::unsupported;
                partition.why = "its partition lies beyond the end of the image";
            }
        } else if (partition.kind != Partition::Kind::unsupported) {
            partition.kind = Partition::Kind::unsupported;
            partition.why = "a partition without its descriptor";
        }
        partitions_.push_back(std::move(partition));
        at += length;
    }
    for (Partition& p : partitions_) {
        if (p.kind != Partition::Kind::metadata)
            continue;
        if (!map_metadata(p, p.metadata_file) && !map_metadata(p, p.mirror_file)) {
            p.kind = Partition::Kind::unsupported;
            p.why = "neither its metadata file nor its mirror can be read";
        }
    }
    file_set_ = long_ad(d + 248);
}

bool UdfReader::map_metadata(Partition& metadata, std::uint32_t file_block)
{
    // The metadata file lies in the physical partition of the same number.
    for (std::size_t ref = 0; ref < partitions_.size(); ++ref) {
        const Partition& physical = partitions_[ref];
        if (physical.kind != Partition::Kind::physical || physical.number != metadata.number)
            continue;
        const Entry file = read_entry(Icb{static_cast<std::uint16_t>(ref), file_block}, FileMap::NONE,
                                      FileMap::Label::udf_metadata, true);
        if (!file.why.empty())
            return false;
        metadata.pieces.clear();
        for (const FileExtent& e : file.extents) {
            const std::uint64_t first = e.image_offset / BLOCK - physical.start;
            metadata.pieces.push_back(MetadataPiece{static_cast<std::uint32_t>(e.file_offset / BLOCK),
                                                    static_cast<std::uint32_t>((e.length + BLOCK - 1) / BLOCK),
                                                    static_cast<std::uint32_t>(first)});
        }
        std::sort(metadata.pieces.begin(), metadata.pieces.end(),
                  [](const MetadataPiece& a, const MetadataPiece& b) { return a.first < b.first; });
        return !metadata.pieces.empty();
    }
    return false;
}

std::optional<std::uint64_t> UdfReader::image_block(Icb icb, std::string& why) const
{
    std::vector<FileExtent> placed;
    place(icb.partition, icb.block, BLOCK, 0, placed, why);
    if (placed.empty())
        return std::nullopt;
    return placed.front().image_offset / BLOCK;
}

void UdfReader::place(std::uint16_t partition, std::uint32_t block, std::uint64_t length, std::uint64_t file_offset,
                      std::vector<FileExtent>& out, std::string& why) const
{
    if (partition >= partitions_.size()) {
        why = "it lies in a partition the volume does not have";
        return;
    }
    const Partition& p = partitions_[partition];
    const std::uint64_t blocks = (length + BLOCK - 1) / BLOCK;
    if (p.kind == Partition::Kind::unsupported) {
        why = p.why;
        return;
    }
    if (p.kind == Partition::Kind::physical) {
        if (block >= p.length || blocks > p.length - block) {
            why = "it lies beyond the end of its partition";
            return;
        }
        const std::uint64_t at = (p.start + block) * BLOCK;
        if (walk_.within_image(at, length) == 0) {
            why = "it lies beyond the end of the image";
            return;
        }
        out.push_back(FileExtent{at, walk_.within_image(at, length), file_offset});
        return;
    }
    // In the metadata partition: piece by piece of the metadata file.
    std::uint64_t done = 0;
    while (done < length) {
        const std::uint64_t b = block + done / BLOCK;
        auto it = std::upper_bound(p.pieces.begin(), p.pieces.end(), b,
                                   [](std::uint64_t value, const MetadataPiece& piece) { return value < piece.first; });
        if (it == p.pieces.begin() || b >= std::prev(it)->first + std::uint64_t{std::prev(it)->count}) {
            why = "it lies beyond the end of the metadata partition";
            return;
        }
        const MetadataPiece& piece = *std::prev(it);
        const std::uint64_t take = std::min(length - done, (piece.first + std::uint64_t{piece.count} - b) * BLOCK);
        // The physical partition of the same number holds the piece.
        for (const Partition& physical : partitions_) {
            if (physical.kind == Partition::Kind::physical && physical.number == p.number) {
                const std::uint64_t at = (physical.start + piece.physical + (b - piece.first)) * BLOCK;
                out.push_back(FileExtent{at, walk_.within_image(at, take), file_offset + done});
                break;
            }
        }
        done += take;
    }
}

Entry UdfReader::read_entry(Icb icb, FileMap::Entry entry, FileMap::Label label, bool allow_metadata)
{
    Entry file;
    const std::optional<std::uint64_t> at = image_block(icb, file.why);
    if (!at)
        return file;
    walk_.map().add_extent(entry, *at * BLOCK, BLOCK, 0, label);
    std::array<unsigned char, BLOCK> d{};
    if (walk_.read_blocks(*at, 1, d.data(), file.why) != 1)
        return file;
    const bool extended = tag_is(d.data(), BLOCK, TAG_EXTENDED_FILE_ENTRY, icb.block);
    if (!extended && !tag_is(d.data(), BLOCK, TAG_FILE_ENTRY, icb.block)) {
        file.why = "its file entry is not one";
        return file;
    }
    const unsigned type = d[27];
    // Metadata files (250, 251) are read only as such.
    if ((type == 250 || type == 251) != allow_metadata) {
        file.why = "its file entry is of the wrong kind";
        return file;
    }
    file.folder = type == 4;
    file.size = le64(d.data() + 56);
    const std::size_t base = extended ? 216 : 176;
    const std::uint64_t attributes = le32(d.data() + (extended ? 208 : 168));
    const std::uint64_t descriptors = le32(d.data() + (extended ? 212 : 172));
    if (base + attributes + descriptors > BLOCK) {
        file.why = "its file entry runs past its block";
        file.size = 0;
        return file;
    }
    const unsigned ad_type = le16(d.data() + 34) & 7U;
    const std::size_t ads = base + attributes;
    if (ad_type == 3) {
        // The data lies in the file entry itself.
        const std::uint64_t length = std::min<std::uint64_t>(descriptors, file.size);
        if (length > 0)
            file.extents.push_back(FileExtent{*at * BLOCK + ads, length, 0});
        return file;
    }
    std::uint64_t offset = 0;
    unsigned blocks = 0;
    take_descriptors(d.data() + ads, descriptors, ad_type, icb, entry, file, offset, blocks);
    if (offset < file.size && file.why.empty() && !file.cut)
        file.why = "its allocation descriptors end before its data";
    return file;
}

void UdfReader::take_descriptors(const unsigned char* ads, std::size_t length, unsigned type, Icb icb,
                                 FileMap::Entry entry, Entry& file, std::uint64_t& offset, unsigned& blocks)
{
    const std::size_t step = type == 0 ? 8 : type == 1 ? 16 : type == 2 ? 20 : 0;
    if (step == 0) {
        file.why = "its allocation descriptors are of an unknown kind";
        return;
    }
    std::array<unsigned char, BLOCK> next{};
    for (;;) {
        std::optional<Icb> more;
        for (std::size_t at = 0; at + step <= length && offset < file.size; at += step) {
            const unsigned char* ad = ads + at;
            const std::uint32_t word = le32(ad);
            const std::uint64_t bytes = word & 0x3FFFFFFFU;
            const unsigned kind = word >> 30U;
            if (bytes == 0)
                break;
            Icb where{icb.partition, le32(ad + 4)};
            if (type == 1)
                where = long_ad(ad);
            else if (type == 2)
                where = Icb{static_cast<std::uint16_t>(le16(ad + 16)), le32(ad + 12)};
            if (kind == 3) {
                more = where; // the descriptors go on in that block
                break;
            }
            const std::uint64_t take = std::min(bytes, file.size - offset);
            if (kind == 0) {
                if (file.extents.size() >= MAX_FILE_EXTENTS) {
                    file.cut = true;
                    return;
                }
                std::string why;
                place(where.partition, where.block, take, offset, file.extents, why);
                if (!why.empty() && file.why.empty())
                    file.why = "a piece of it: " + why;
            }
            offset += take; // pieces not recorded read as zeros
        }
        if (!more || offset >= file.size)
            return;
        std::string why;
        const std::optional<std::uint64_t> at = image_block(*more, why);
        if (++blocks > MAX_ALLOCATION_BLOCKS || !at || walk_.read_blocks(*at, 1, next.data(), why) != 1 ||
            !tag_is(next.data(), BLOCK, TAG_ALLOCATION, more->block) || le32(next.data() + 20) > BLOCK - 24) {
            if (file.why.empty())
                file.why = "a block of its allocation descriptors cannot be read";
            return;
        }
        walk_.map().add_extent(entry, *at * BLOCK, BLOCK, 0, FileMap::Label::udf_allocation);
        ads = next.data() + 24;
        length = le32(next.data() + 20);
    }
}

void UdfReader::read_tree()
{
    std::string why;
    std::array<unsigned char, BLOCK> d{};
    const std::optional<std::uint64_t> at = file_set_ ? image_block(*file_set_, why) : std::nullopt;
    if (at)
        walk_.map().add_structure(FileMap::Label::udf_file_set, *at * BLOCK, BLOCK);
    if (!at || walk_.read_blocks(*at, 1, d.data(), why) != 1 ||
        !tag_is(d.data(), BLOCK, TAG_FILE_SET, file_set_->block)) {
        tree_.lost(FileMap::ROOT, why.empty() ? "its file set descriptor cannot be read" : why);
        return;
    }
    queue_.push_back(Folder{long_ad(d.data() + 400), FileMap::ROOT, 0});
    for (std::size_t next = 0; next < queue_.size(); ++next) {
        const Folder folder = queue_[next];
        read_folder(folder);
    }
}

void UdfReader::read_folder(const Folder& folder)
{
    if (!tree_.within_depth(folder.depth, folder.entry))
        return;
    std::string why;
    const std::optional<std::uint64_t> at = image_block(folder.icb, why);
    if (!at) {
        tree_.lost(folder.entry, why);
        return;
    }
    if (!tree_.enter(*at, folder.entry))
        return;
    const Entry entry = read_entry(folder.icb, folder.entry, FileMap::Label::udf_file_entry);
    if (!entry.why.empty() || entry.cut) {
        tree_.lost(folder.entry, entry.why.empty() ? "it is in too many pieces" : entry.why);
        if (entry.extents.empty())
            return;
    }
    if (!entry.folder) {
        tree_.lost(folder.entry, "its file entry is not a directory's");
        return;
    }
    if (entry.size > MAX_FOLDER_BYTES) {
        tree_.lost(folder.entry, "it takes more than " + std::to_string(MAX_FOLDER_BYTES >> 20U) + " MiB");
        return;
    }
    tree_.root_read();
    // Its records, piece by piece, and which of their blocks could be read.
    std::vector<unsigned char> bytes(entry.size, 0);
    std::vector<bool> read((entry.size + BLOCK - 1) / BLOCK, false);
    for (const FileExtent& e : entry.extents) {
        walk_.map().add_extent(folder.entry, e.image_offset, e.length, e.file_offset, tree_.folder_label());
        if (e.image_offset % BLOCK != 0) {
            // Held within the file entry: the identifiers say its block.
            std::array<unsigned char, BLOCK> d{};
            if (walk_.read_blocks(e.image_offset / BLOCK, 1, d.data(), why) == 1) {
                std::copy_n(d.begin() + static_cast<std::ptrdiff_t>(e.image_offset % BLOCK), e.length, bytes.begin());
                read[0] = true;
            }
            continue;
        }
        const std::uint64_t first = e.file_offset / BLOCK;
        const std::uint64_t count = (e.length + BLOCK - 1) / BLOCK;
        std::vector<unsigned char> chunk(count * BLOCK);
        const std::size_t got = walk_.read_blocks(e.image_offset / BLOCK, count, chunk.data(), why);
        for (std::uint64_t k = 0; k < count && first + k < read.size(); ++k) {
            if (k < got) {
                const std::uint64_t take = std::min<std::uint64_t>(BLOCK, entry.size - (first + k) * BLOCK);
                std::copy_n(chunk.begin() + static_cast<std::ptrdiff_t>(k * BLOCK), take,
                            bytes.begin() + static_cast<std::ptrdiff_t>((first + k) * BLOCK));
                read[first + k] = true;
            }
        }
    }
    // File identifiers, each on a four-byte boundary; one that does not
    // check out (its tag's checksum and CRC) is stepped over to the next
    // that does.
    std::uint64_t skipped = 0;
    std::vector<std::pair<std::string, Icb>> folders;
    for (std::size_t p = 0; p + 38 <= bytes.size();) {
        const unsigned char* fid = bytes.data() + p;
        const std::size_t use = le16(fid + 36);
        const std::size_t length = (38 + use + fid[19] + 3) / 4 * 4;
        const bool whole = p + length <= bytes.size() && read[p / BLOCK] && read[(p + length - 1) / BLOCK];
        if (!whole || le16(fid) != TAG_IDENTIFIER || !tag_is(fid, length, TAG_IDENTIFIER, le32(fid + 12))) {
            skipped += 4;
            p += 4;
            continue;
        }
        p += length;
        const unsigned characteristics = fid[18];
        if ((characteristics & 0x0CU) != 0)
            continue; // deleted, or the parent
        const std::string_view id(reinterpret_cast<const char*>(fid + 38 + use), fid[19]);
        std::string name;
        if (!id.empty() && (id[0] == 8 || id[0] == static_cast<char>(254)))
            name = printable_latin1(id.substr(1));
        else if (!id.empty() && (id[0] == 16 || id[0] == static_cast<char>(255)))
            name = printable_utf16be(id.substr(1));
        else
            name = printable(id);
        if ((characteristics & 0x02U) != 0)
            folders.emplace_back(std::move(name), long_ad(fid + 20));
        else
            read_file(fid, folder.entry, name);
    }
    if (skipped > 0)
        tree_.lost(folder.entry, std::to_string(skipped) + " bytes of its records cannot be read; the others are read");
    for (auto& [name, icb] : folders) {
        const FileMap::Entry sub = tree_.add_folder(folder.entry, name);
        if (sub != FileMap::NONE)
            queue_.push_back(Folder{icb, sub, folder.depth + 1});
    }
}

void UdfReader::read_file(const unsigned char* identifier, FileMap::Entry parent, std::string_view name)
{
    FileMap& map = walk_.map();
    if (!walk_.room_for_entry()) {
        tree_.lost(parent, "");
        return;
    }
    // The file's node comes first: its file entry is named after it.
    const FileMap::Entry node = map.add(parent, name, false);
    Entry file = read_entry(long_ad(identifier + 20), node, FileMap::Label::udf_file_entry);
    if (!file.why.empty())
        tree_.lost(node, file.why);
    if (file.cut)
        tree_.lost(node, "it is in more than " + std::to_string(MAX_FILE_EXTENTS) + " pieces: the rest are left out");
    tree_.add_pieces(node, file.extents);
}

} // namespace

bool read_udf(FileSystemWalk& walk, std::deque<Tree>& trees)
{
    Tree& tree = trees.emplace_back(walk, "UDF", FileMap::Label::own);
    UdfReader reader(walk, tree);
    if (!reader.open()) {
        trees.pop_back();
        return false;
    }
    reader.read_tree();
    walk.end_tree();
    return true;
}
