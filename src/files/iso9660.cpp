// ISO 9660 (CDs, data discs, the other half of a DVD's UDF bridge): the
// primary tree with its Rock Ridge names, the Joliet tree, and each tree's
// path table, which gives every folder's place apart from the folders'
// records. Folders are read sector by sector: a record never crosses a
// sector's end, so a sector that is lost costs only its own records.
#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "files/file_system_walk.h"
#include "support/printable.h"

namespace {

constexpr std::uint64_t BLOCK = FileMap::BLOCK;
constexpr std::uint64_t FIRST_DESCRIPTOR = 16;
// Volume descriptors are looked for up to here, where UDF's anchor lies.
constexpr std::uint64_t LAST_DESCRIPTOR = 256;
// Continuation areas followed for one record, as the Linux kernel allows.
constexpr unsigned MAX_CONTINUATIONS = 32;
// The longest Rock Ridge name kept, in bytes.
constexpr std::size_t MAX_NAME = 1024;
// The largest path table read: 16 000 folders take about 400 KiB.
constexpr std::uint64_t MAX_PATH_TABLE = std::uint64_t{16} << 20U;
// A record's fixed part; its name follows.
constexpr std::size_t RECORD_HEAD = 33;

std::uint32_t le16(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0] | p[1] << 8U);
}
std::uint32_t le32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0] | p[1] << 8U | p[2] << 16U) | static_cast<std::uint32_t>(p[3]) << 24U;
}
std::uint32_t be16(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[1] | p[0] << 8U);
}
std::uint32_t be32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[3] | p[2] << 8U | p[1] << 16U) | static_cast<std::uint32_t>(p[0]) << 24U;
}

struct Volume {
    std::uint64_t root = 0; // block of the root's records
    std::uint64_t root_size = 0;
    std::uint64_t path_table_size = 0;
    // Type L, its copy, type M, its copy; 0 where absent.
    std::array<std::uint32_t, 4> path_tables{};
};

struct Descriptors {
    std::optional<Volume> primary;
    std::optional<Volume> joliet;
};

Volume volume_of(const unsigned char* descriptor)
{
    Volume volume;
    volume.root = le32(descriptor + 158);
    volume.root_size = le32(descriptor + 166);
    volume.path_table_size = le32(descriptor + 132);
    volume.path_tables = {le32(descriptor + 140), le32(descriptor + 144), be32(descriptor + 148),
                          be32(descriptor + 152)};
    return volume;
}

// The volume descriptors from sector 16 on, UDF's recognition sequence after
// them included, all named as such in the map.
Descriptors read_descriptors(FileSystemWalk& walk)
{
    Descriptors found;
    std::array<unsigned char, BLOCK> block{};
    std::uint64_t end = FIRST_DESCRIPTOR;
    for (std::uint64_t at = FIRST_DESCRIPTOR; at < LAST_DESCRIPTOR; ++at) {
        std::string why;
        if (walk.read_blocks(at, 1, block.data(), why) != 1)
            break;
        const std::string_view id(reinterpret_cast<const char*>(block.data() + 1), 5);
        const bool iso = id == "CD001";
        if (!iso && id != "BEA01" && id != "NSR02" && id != "NSR03" && id != "TEA01" && id != "BOOT2" && id != "CDW02")
            break;
        end = at + 1;
        if (!iso)
            continue;
        if (block[0] == 1 && !found.primary) {
            if (le16(block.data() + 128) != BLOCK)
                walk.note("ISO 9660: blocks of " + std::to_string(le16(block.data() + 128)) +
                          " bytes are not supported");
            else
                found.primary = volume_of(block.data());
        }
        const bool joliet_escape =
            block[88] == '%' && block[89] == '/' && (block[90] == '@' || block[90] == 'C' || block[90] == 'E');
        if (block[0] == 2 && joliet_escape && !found.joliet && le16(block.data() + 128) == BLOCK)
            found.joliet = volume_of(block.data());
    }
    if (end > FIRST_DESCRIPTOR)
        walk.map().add_structure(FileMap::Label::volume_descriptors, FIRST_DESCRIPTOR * BLOCK,
                                 (end - FIRST_DESCRIPTOR) * BLOCK);
    return found;
}

// What a record's System Use entries say (Rock Ridge).
struct SystemUse {
    std::string name; // NM, all its parts
    bool named = false;
    bool relocated = false;             // RE: the folder's place is given by a CL elsewhere
    std::optional<std::uint32_t> child; // CL: the folder lies here
};

class IsoTreeReader {
public:
    // `rock_ridge`: the bytes before the System Use entries of every record,
    // where the tree has Rock Ridge names.
    IsoTreeReader(FileSystemWalk& walk, Tree& tree, const Volume& volume, bool joliet,
                  std::optional<std::size_t> rock_ridge)
        : walk_(walk), tree_(tree), volume_(volume), joliet_(joliet), rock_ridge_(rock_ridge.has_value()),
          skip_(rock_ridge.value_or(0))
    {
    }

    void read();

private:
    struct Folder {
        std::uint64_t block = 0;
        std::uint64_t size = 0; // 0: not known yet, from its own "." record
        FileMap::Entry entry = FileMap::ROOT;
        unsigned depth = 0;
    };
    // A file whose records carry the multi-extent flag, not yet ended.
    struct Chain {
        std::string name;
        std::vector<FileExtent> extents;
        std::uint64_t offset = 0;
    };

    void drain();
    void read_folder(const Folder& folder);
    static bool parses(const unsigned char* sector);
    void take_records(const unsigned char* sector, const Folder& folder, Chain& chain);
    void end_chain(Chain& chain, FileMap::Entry parent);
    SystemUse system_use(const unsigned char* record);
    const unsigned char* continuation(std::uint32_t block, std::uint32_t offset, std::uint32_t length);
    std::string name_of(const unsigned char* record, bool folder) const;
    void path_table_folders();

    FileSystemWalk& walk_;
    Tree& tree_;
    const Volume& volume_;
    const bool joliet_;
    bool rock_ridge_ = false;
    std::size_t skip_ = 0; // bytes before the System Use entries of every record
    std::vector<Folder> queue_;
    std::size_t next_ = 0;
    std::vector<unsigned char> bytes_; // a folder's records
    std::uint64_t continuation_block_ = UINT64_MAX;
    std::array<unsigned char, BLOCK> continuation_{};
    std::unordered_set<std::uint64_t> continuations_named_;
    std::unordered_map<std::uint64_t, unsigned> depths_; // of the folders entered, by their place
};

// Where a record's System Use area starts: after its name and the byte that
// makes the name's length even.
std::size_t system_use_at(const unsigned char* record)
{
    const std::size_t name = record[32];
    return RECORD_HEAD + name + (name % 2 == 0 ? 1 : 0);
}

// Whether the root's "." record announces Rock Ridge with SUSP's SP entry,
// at the start of its System Use area or 14 bytes on, where XA attributes
// come first: how many bytes to skip in every record's System Use area. The
// entry says so itself (genisoimage -XA says 14), or else the XA
// attributes are skipped.
std::optional<std::size_t> rock_ridge_skip(FileSystemWalk& walk, const Volume& volume)
{
    std::array<unsigned char, BLOCK> sector{};
    std::string why;
    if (volume.root >= walk.blocks() || walk.read_blocks(volume.root, 1, sector.data(), why) != 1)
        return std::nullopt;
    const unsigned char* dot = sector.data();
    const std::size_t length = dot[0];
    if (length < RECORD_HEAD + 1 || dot[32] == 0 || RECORD_HEAD + dot[32] > length)
        return std::nullopt;
    const std::size_t at = system_use_at(dot);
    for (const std::size_t offset : {std::size_t{0}, std::size_t{14}}) {
        const unsigned char* sp = dot + at + offset;
        if (at + offset + 7 <= length && sp[0] == 'S' && sp[1] == 'P' && sp[2] >= 7 && sp[4] == 0xBE && sp[5] == 0xEF)
            return std::max<std::size_t>(offset, sp[6]);
    }
    return std::nullopt;
}

void IsoTreeReader::read()
{
    queue_.push_back(Folder{volume_.root, volume_.root_size, FileMap::ROOT, 0});
    drain();
    path_table_folders();
}

void IsoTreeReader::drain()
{
    // Each folder is read once, by its place; its subfolders wait their turn.
    while (next_ < queue_.size()) {
        const Folder folder = queue_[next_++];
        read_folder(folder);
    }
    queue_.clear();
    next_ = 0;
}

bool IsoTreeReader::parses(const unsigned char* sector)
{
    // Records from the sector's start until one of length 0, whose rest is
    // padding; each within the sector, with a name within the record.
    if (sector[0] == 0)
        return false; // no record at all: a lost sector, not an empty one
    for (std::size_t at = 0; at < BLOCK && sector[at] != 0; at += sector[at]) {
        const std::size_t length = sector[at];
        if (length < RECORD_HEAD + 1 || at + length > BLOCK)
            return false;
        const std::size_t name = sector[at + 32];
        if (name == 0 || RECORD_HEAD + name > length)
            return false;
    }
    return true;
}

void IsoTreeReader::read_folder(const Folder& folder)
{
    if (folder.block >= walk_.blocks()) {
        tree_.lost(folder.entry, "it lies beyond the end of the image");
        return;
    }
    // Entered first, so that the path table does not offer a folder too
    // deep again, as a child of the folder Rock Ridge moved it to.
    if (!tree_.enter(folder.block, folder.entry))
        return;
    depths_.emplace(folder.block, folder.depth);
    if (!tree_.within_depth(folder.depth, folder.entry))
        return;
    std::string why;
    bytes_.resize(BLOCK);
    if (walk_.read_blocks(folder.block, 1, bytes_.data(), why) != 1) {
        tree_.lost(folder.entry, why);
        return;
    }
    const unsigned char* first = bytes_.data();
    const bool first_lost = std::all_of(first, first + BLOCK, [](unsigned char b) { return b == 0; });
    std::uint64_t size = folder.size;
    if (!first_lost) {
        // A folder's records begin with its own, ".": one that does not is
        // no folder, whatever points to it.
        if (!parses(first) || first[32] != 1 || first[33] != 0 || le32(first + 2) != folder.block) {
            tree_.lost(folder.entry, "it does not begin with its own record");
            return;
        }
        if (size == 0)
            size = le32(first + 10);
    } else if (size == 0) {
        tree_.lost(folder.entry, "its first sector, which says how large it is, is zeroed");
        return;
    }
    if (size > MAX_FOLDER_BYTES) {
        tree_.lost(folder.entry, "it takes more than " + std::to_string(MAX_FOLDER_BYTES >> 20U) + " MiB");
        return;
    }
    const std::uint64_t sectors = (size + BLOCK - 1) / BLOCK;
    const std::uint64_t held = walk_.within_image(folder.block * BLOCK, sectors * BLOCK) / BLOCK;
    tree_.root_read();
    walk_.map().add_extent(folder.entry, folder.block * BLOCK, held * BLOCK, 0, tree_.folder_label());
    bytes_.resize(held * BLOCK);
    const std::size_t read =
        held > 1 ? 1 + walk_.read_blocks(folder.block + 1, held - 1, bytes_.data() + BLOCK, why) : 1;
    std::uint64_t lost = first_lost ? 1 : 0;
    Chain chain;
    for (std::size_t s = first_lost ? 1 : 0; s < read; ++s) {
        const unsigned char* sector = bytes_.data() + s * BLOCK;
        if (parses(sector))
            take_records(sector, folder, chain);
        else
            ++lost;
    }
    end_chain(chain, folder.entry);
    if (read < held)
        tree_.lost(folder.entry, "sectors " + std::to_string(read) + " on: " + why);
    else if (held < sectors)
        tree_.lost(folder.entry, "it runs past the end of the image");
    if (lost == sectors)
        tree_.lost(folder.entry, sectors == 1 ? "its sector holds no records" : "none of its sectors holds records");
    else if (lost > 0)
        tree_.lost(folder.entry, std::to_string(lost) + " of its " + std::to_string(sectors) +
                                     " sectors hold no records; the others are read");
}

void IsoTreeReader::take_records(const unsigned char* sector, const Folder& folder, Chain& chain)
{
    for (std::size_t at = 0; at < BLOCK && sector[at] != 0; at += sector[at]) {
        const unsigned char* record = sector + at;
        const std::size_t name_length = record[32];
        if (name_length == 1 && record[33] <= 1)
            continue; // "." and ".."
        const SystemUse use = rock_ridge_ ? system_use(record) : SystemUse{};
        if (use.relocated)
            continue; // the folder is entered through its child link
        const unsigned flags = record[25];
        const bool is_folder = (flags & 0x02U) != 0 || use.child.has_value();
        const std::string name = use.named ? printable(use.name) : name_of(record, is_folder);
        if (is_folder) {
            end_chain(chain, folder.entry);
            const FileMap::Entry sub = tree_.add_folder(folder.entry, name);
            if (sub != FileMap::NONE)
                queue_.push_back(Folder{use.child.value_or(le32(record + 2)), use.child ? 0 : le32(record + 10), sub,
                                        folder.depth + 1});
            continue;
        }
        // A file's data follows its extended attribute record, if any. A
        // file of several extents is a row of records, each but the last
        // with the multi-extent flag; its name is its first record's.
        if (chain.extents.empty())
            chain.name = name;
        const std::uint64_t start = (std::uint64_t{le32(record + 2)} + record[1]) * BLOCK;
        const std::uint64_t size = le32(record + 10);
        chain.extents.push_back(FileExtent{start, walk_.within_image(start, size), chain.offset});
        chain.offset += size;
        if ((flags & 0x80U) == 0)
            end_chain(chain, folder.entry);
    }
}

void IsoTreeReader::end_chain(Chain& chain, FileMap::Entry parent)
{
    if (!chain.extents.empty())
        tree_.add_file(parent, chain.name, chain.extents);
    chain = Chain{};
}

const unsigned char* IsoTreeReader::continuation(std::uint32_t block, std::uint32_t offset, std::uint32_t length)
{
    if (block >= walk_.blocks() || offset >= BLOCK || length > BLOCK - offset || length < 4)
        return nullptr;
    if (block != continuation_block_) {
        std::string why;
        continuation_block_ = UINT64_MAX;
        if (walk_.read_blocks(block, 1, continuation_.data(), why) != 1)
            return nullptr;
        continuation_block_ = block;
        if (continuations_named_.insert(block).second)
            walk_.map().add_structure(FileMap::Label::rock_ridge_area, block * BLOCK, BLOCK);
    }
    return continuation_.data() + offset;
}

SystemUse IsoTreeReader::system_use(const unsigned char* record)
{
    SystemUse use;
    const std::size_t start = system_use_at(record) + skip_;
    std::size_t length = record[0] > start ? record[0] - start : 0;
    const unsigned char* area = record + start;
    // A continuation area is read from a buffer that the next one replaces:
    // what it says is taken before that.
    for (unsigned continuations = 0;;) {
        std::optional<std::array<std::uint32_t, 3>> next;
        for (std::size_t at = 0; at + 4 <= length;) {
            const unsigned char* entry = area + at;
            const std::size_t entry_length = entry[2];
            // An entry shorter than its head would never move on.
            if (entry_length < 4 || at + entry_length > length)
                break;
            const std::string_view signature(reinterpret_cast<const char*>(entry), 2);
            if (signature == "ST")
                break;
            if (signature == "NM" && entry_length >= 5 && (entry[4] & 0x06U) == 0) {
                use.named = true;
                const std::size_t room = MAX_NAME - std::min(MAX_NAME, use.name.size());
                use.name.append(reinterpret_cast<const char*>(entry + 5), std::min(entry_length - 5, room));
            } else if (signature == "CE" && entry_length >= 28) {
                next = std::array<std::uint32_t, 3>{le32(entry + 4), le32(entry + 12), le32(entry + 20)};
            } else if (signature == "CL" && entry_length >= 12) {
                use.child = le32(entry + 4);
            } else if (signature == "RE") {
                use.relocated = true;
            }
            at += entry_length;
        }
        if (!next)
            break;
        if (++continuations > MAX_CONTINUATIONS) {
            walk_.note("Rock Ridge: a record continues in more than " + std::to_string(MAX_CONTINUATIONS) +
                       " areas: the rest are not read");
            break;
        }
        area = continuation((*next)[0], (*next)[1], (*next)[2]);
        if (area == nullptr) {
            walk_.note("Rock Ridge: a record continues in an area that cannot be read: its name may be cut");
            break;
        }
        length = (*next)[2];
    }
    return use;
}

std::string IsoTreeReader::name_of(const unsigned char* record, bool folder) const
{
    std::string_view name(reinterpret_cast<const char*>(record + 33), record[32]);
    if (joliet_) {
        // UCS-2 or UTF-16, big-endian; a file's version (";1") goes.
        if (!folder && name.size() % 2 == 0) {
            std::size_t end = name.size();
            while (end >= 2 && name[end - 2] == 0 && name[end - 1] >= '0' && name[end - 1] <= '9')
                end -= 2;
            if (end >= 2 && end < name.size() && name[end - 2] == 0 && name[end - 1] == ';')
                name = name.substr(0, end - 2);
        }
        return printable_utf16be(name);
    }
    if (!folder) {
        // "README.;1" is README: the version goes, and the dot of an empty
        // extension.
        const std::size_t version = name.rfind(';');
        if (version != std::string_view::npos &&
            name.find_first_not_of("0123456789", version + 1) == std::string_view::npos)
            name = name.substr(0, version);
        if (name.size() > 1 && name.back() == '.')
            name.remove_suffix(1);
    }
    return printable(name);
}

void IsoTreeReader::path_table_folders()
{
    // The first copy that holds a whole table, or else the one that holds
    // the most of it before its damage.
    struct PathEntry {
        std::uint32_t block;
        std::uint32_t parent; // index of the parent, before this one
        std::string name;
    };
    std::vector<PathEntry> best;
    const std::uint64_t size = volume_.path_table_size;
    if (size == 0 || size > MAX_PATH_TABLE)
        return;
    const std::uint64_t blocks = (size + BLOCK - 1) / BLOCK;
    std::vector<unsigned char> table(blocks * BLOCK);
    const FileMap::Label label = joliet_ ? FileMap::Label::joliet_path_table : FileMap::Label::path_table;
    for (std::size_t copy = 0; copy < volume_.path_tables.size(); ++copy) {
        const std::uint32_t at = volume_.path_tables[copy];
        if (at == 0 || at >= walk_.blocks())
            continue;
        walk_.map().add_structure(label, at * BLOCK, walk_.within_image(at * BLOCK, blocks * BLOCK));
        std::string why;
        const std::size_t read = walk_.read_blocks(at, blocks, table.data(), why);
        const bool big_endian = copy >= 2;
        std::vector<PathEntry> entries;
        for (std::size_t p = 0; p + 8 <= std::min(size, read * BLOCK);) {
            const std::size_t name = table[p];
            if (name == 0 || p + 8 + name > size)
                break;
            const std::uint32_t parent = big_endian ? be16(&table[p + 6]) : le16(&table[p + 6]);
            // Numbered from 1, the root first as its own parent; a parent
            // comes before its children.
            if (parent < 1 || parent > std::max<std::size_t>(entries.size(), 1))
                break;
            entries.push_back(PathEntry{big_endian ? be32(&table[p + 2]) : le32(&table[p + 2]), parent - 1,
                                        std::string(reinterpret_cast<const char*>(&table[p + 8]), name)});
            p += 8 + name + name % 2;
        }
        if (entries.size() > best.size())
            best = std::move(entries);
    }
    // Folders that the records did not reach (their record, or their
    // parent, lost) are read from their place in the table, under the
    // names it gives them.
    std::vector<FileMap::Entry> nodes(best.size(), FileMap::NONE);
    std::vector<unsigned> depths(best.size(), 0);
    if (!best.empty())
        nodes[0] = FileMap::ROOT;
    for (std::size_t i = 1; i < best.size(); ++i) {
        const PathEntry& e = best[i];
        if (nodes[e.parent] == FileMap::NONE)
            continue;
        if (const FileMap::Entry known = tree_.entered(e.block); known != FileMap::NONE) {
            // Its depth in the tree, not in the table, which has folders
            // that Rock Ridge moved under rr_moved.
            nodes[i] = known;
            depths[i] = depths_.at(e.block);
            continue;
        }
        depths[i] = depths[e.parent] + 1;
        if (depths[i] > MAX_DEPTH)
            continue; // below a folder already left out for its depth
        nodes[i] = tree_.add_folder(nodes[e.parent], joliet_ ? printable_utf16be(e.name) : printable(e.name));
        if (nodes[i] == FileMap::NONE)
            continue;
        queue_.push_back(Folder{e.block, 0, nodes[i], depths[i]});
        drain();
    }
}

} // namespace

bool read_iso9660(FileSystemWalk& walk, std::deque<Tree>& trees)
{
    const Descriptors found = read_descriptors(walk);
    if (!found.primary && !found.joliet)
        return false;
    const auto read = [&](const Volume& volume, const char* name, FileMap::Label label, bool joliet,
                          std::optional<std::size_t> rock_ridge) {
        IsoTreeReader(walk, trees.emplace_back(walk, name, label), volume, joliet, rock_ridge).read();
        walk.end_tree();
    };
    // Rock Ridge names come before Joliet's, and Joliet's before the plain
    // ISO 9660 ones.
    const std::optional<std::size_t> rock_ridge = found.primary ? rock_ridge_skip(walk, *found.primary) : std::nullopt;
    if (rock_ridge)
        read(*found.primary, "Rock Ridge", FileMap::Label::iso_directory, false, rock_ridge);
    if (found.joliet)
        read(*found.joliet, "Joliet", FileMap::Label::joliet_directory, true, std::nullopt);
    if (found.primary && !rock_ridge)
        read(*found.primary, "ISO 9660", FileMap::Label::iso_directory, false, std::nullopt);
    return true;
}
