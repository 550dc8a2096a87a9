// ISO 9660 (CDs, data discs, the other half of a DVD's UDF bridge) through
// libiso9660: Rock Ridge names where the disc has them, else Joliet's, else
// its own without their ";1" versions.
#include <cdio/iso9660.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "files/file_system_walk.h"
#include "files/library_messages.h"

namespace {

constexpr std::uint64_t BLOCK = ISO_BLOCKSIZE;

enum class Names { rock_ridge, joliet, plain };

struct CloseIso {
    void operator()(iso9660_t* iso) const { iso9660_close(iso); }
};
struct FreeList {
    void operator()(CdioList_t* list) const { iso9660_filelist_free(list); }
};
struct FreeStat {
    void operator()(iso9660_stat_t* stat) const { iso9660_stat_free(stat); }
};

// A record of a folder as the tool keeps it, once the library's list of the
// folder is freed.
struct Record {
    std::string name; // as the library gives it, for finding the folder by path
    bool folder = false;
    bool rock_ridge = false;
    std::uint64_t lsn = 0;
    std::uint64_t size = 0;
};

// Why the records of a folder, `size` bytes at `bytes`, are not fit to hand
// to the library, or nullptr: it trusts them, and a record or a Rock Ridge
// entry that runs past the end of its sector, or a name past its record,
// would make it read beyond what it read.
const char* ill_formed(const unsigned char* bytes, std::size_t size)
{
    for (std::size_t sector = 0; sector < size; sector += BLOCK) {
        const std::size_t end = std::min<std::size_t>(sector + BLOCK, size);
        std::size_t at = sector;
        while (at < end && bytes[at] != 0) { // a length of 0: the rest of the sector is padding
            const std::size_t length = bytes[at];
            const std::size_t name = at + 33 > end ? 0 : bytes[at + 32];
            if (length < 34 || at + length > end)
                return "a record runs past the end of its sector";
            if (name == 0 || 33 + name > length)
                return "a name runs past the end of its record";
            // The System Use area after the name (and a byte to make its
            // length even), in entries of a signature, a length and a version.
            std::size_t entry = at + 33 + name + (name % 2 == 0 ? 1 : 0);
            while (entry + 4 <= at + length && bytes[entry] != 0) {
                const std::size_t entry_length = bytes[entry + 2];
                if (entry_length < 4 || entry + entry_length > at + length)
                    return "a Rock Ridge entry runs past the end of its record";
                entry += entry_length;
            }
            at += length;
        }
    }
    return nullptr;
}

// The name to show: a plain ISO 9660 name without its version (";1") and
// without the dot of an empty extension ("README.;1" is README).
std::string shown_name(const Record& record, Names names)
{
    std::string name = record.name;
    if (record.folder || names == Names::joliet || (names == Names::rock_ridge && record.rock_ridge))
        return name;
    const std::size_t version = name.rfind(';');
    if (version != std::string::npos && name.find_first_not_of("0123456789", version + 1) == std::string::npos)
        name.erase(version);
    if (name.size() > 1 && name.back() == '.')
        name.pop_back();
    return name;
}

class IsoWalk {
public:
    IsoWalk(FileSystemWalk& walk, iso9660_t* iso, Names names) : walk_(walk), iso_(iso), names_(names) {}

    // Reads the folder `entry`, found as `lookup` by the library, whose
    // records take `size` bytes at block `lsn`.
    void folder(const std::string& lookup, std::uint64_t lsn, std::uint64_t size, FileMap::Entry entry, unsigned depth);

private:
    bool read_records(const std::string& lookup, std::uint64_t lsn, FileMap::Entry entry, std::vector<Record>& records);

    FileSystemWalk& walk_;
    iso9660_t* iso_;
    Names names_;
};

bool IsoWalk::read_records(const std::string& lookup, std::uint64_t lsn, FileMap::Entry entry,
                           std::vector<Record>& records)
{
    const std::string shown = escaped_name(walk_.map().path(entry));
    const std::unique_ptr<CdioList_t, FreeList> list(iso9660_ifs_readdir(iso_, lookup.c_str()));
    if (!list) {
        walk_.note("cannot read the directory " + shown);
        return false;
    }
    for (CdioListNode_t* node = _cdio_list_begin(list.get()); node != nullptr; node = _cdio_list_node_next(node)) {
        const auto* stat = static_cast<const iso9660_stat_t*>(_cdio_list_node_data(node));
        if (stat == nullptr)
            continue;
        Record record;
        record.name = stat->filename;
        record.folder = stat->type == iso9660_stat_s::_STAT_DIR;
        record.rock_ridge = stat->rr.b3_rock == yep;
        record.lsn = stat->lsn;
        record.size = stat->size;
        records.push_back(std::move(record));
    }
    // A folder's records begin with its own, ".": one that does not, such as
    // one of zeros, is unreadable, not empty.
    if (records.empty() || records.front().name != "." || records.front().lsn != lsn) {
        walk_.note("cannot read the directory " + shown + ": it does not begin with its own record");
        return false;
    }
    return true;
}

// Why the folder whose records take `size` bytes at block `lsn` cannot be
// read, or an empty string: it must lie within the image, be of a size a
// disc has, and have records fit to hand to the library.
std::string unfit_folder(const FileSystemWalk& walk, std::uint64_t lsn, std::uint64_t size)
{
    if (walk.within_image(lsn * BLOCK, size) < size)
        return "it lies beyond the end of the image";
    if (size > MAX_FOLDER_BYTES)
        return "it takes more than " + std::to_string(MAX_FOLDER_BYTES >> 20U) + " MiB";
    std::vector<unsigned char> bytes(size);
    errno = 0;
    if (pread(walk.fd(), bytes.data(), size, static_cast<off_t>(lsn * BLOCK)) != static_cast<ssize_t>(size))
        return errno != 0 ? std::strerror(errno) : "the image ended";
    const char* why = ill_formed(bytes.data(), bytes.size());
    return why != nullptr ? why : "";
}

void IsoWalk::folder(const std::string& lookup, std::uint64_t lsn, std::uint64_t size, FileMap::Entry entry,
                     unsigned depth)
{
    FileMap& map = walk_.map();
    const std::string shown = escaped_name(map.path(entry));
    if (depth > MAX_DEPTH) {
        walk_.note("the directory " + shown + " lies more than " + std::to_string(MAX_DEPTH) +
                   " levels deep: not entered");
        return;
    }
    if (!walk_.enter(lsn, entry))
        return;
    if (const std::string why = unfit_folder(walk_, lsn, size); !why.empty()) {
        walk_.note("cannot read the directory " + shown + ": " + why);
        return;
    }
    std::vector<Record> records;
    if (!read_records(lookup, lsn, entry, records))
        return;
    std::vector<std::pair<const Record*, FileMap::Entry>> folders;
    for (std::size_t i = 1; i < records.size(); ++i) {
        const Record& record = records[i];
        if (record.name == "." || record.name == ".." || !walk_.room_for_entry())
            continue;
        if (record.folder) {
            const FileMap::Entry sub = map.add(entry, shown_name(record, names_), true);
            map.add_extent(sub, record.lsn * BLOCK, walk_.within_image(record.lsn * BLOCK, record.size), 0);
            folders.emplace_back(&record, sub);
            continue;
        }
        // A file over 4 GiB is several records of one name in a row, each
        // of an extent that follows on from the one before in the file.
        std::size_t parts = 1;
        std::uint64_t total = record.size;
        while (i + parts < records.size() && !records[i + parts].folder && records[i + parts].name == record.name)
            total += records[i + parts++].size;
        if (total > 0) {
            const FileMap::Entry file = map.add(entry, shown_name(record, names_), false);
            std::uint64_t file_offset = 0;
            for (std::size_t k = 0; k < parts; ++k) {
                const Record& part = records[i + k];
                map.add_extent(file, part.lsn * BLOCK, walk_.within_image(part.lsn * BLOCK, part.size), file_offset);
                file_offset += part.size;
            }
        }
        i += parts - 1;
    }
    for (const auto& [record, sub] : folders)
        folder(lookup + record->name + "/", record->lsn, record->size, sub, depth + 1);
}

// The image opened by the library, with the extensions in `mask`.
std::unique_ptr<iso9660_t, CloseIso> open_iso(const std::string& path, iso_extension_mask_t mask)
{
    return std::unique_ptr<iso9660_t, CloseIso>(iso9660_open_ext(path.c_str(), mask));
}

} // namespace

bool read_iso9660(FileSystemWalk& walk)
{
    // The library reads by name: the image's open descriptor has one.
    std::string path = "/proc/self/fd/" + std::to_string(walk.fd());
    struct stat named {};
    if (stat(path.c_str(), &named) != 0)
        path = walk.image_path();
    LibraryMessages messages;
    // Rock Ridge names live in the primary tree, which the library hides
    // behind a Joliet tree where there is one: the primary tree first.
    std::unique_ptr<iso9660_t, CloseIso> iso = open_iso(path, ISO_EXTENSION_ROCK_RIDGE);
    if (!iso)
        return false;
    // The root's records are looked at before the library reads them.
    std::unique_ptr<iso9660_stat_t, FreeStat> root(iso9660_ifs_stat(iso.get(), "/"));
    std::string unfit = root ? unfit_folder(walk, root->lsn, root->size) : "";
    Names names = Names::plain;
    if (root && unfit.empty()) {
        const std::unique_ptr<CdioList_t, FreeList> list(iso9660_ifs_readdir(iso.get(), "/"));
        CdioListNode_t* first = list ? _cdio_list_begin(list.get()) : nullptr;
        const auto* dot = first != nullptr ? static_cast<const iso9660_stat_t*>(_cdio_list_node_data(first)) : nullptr;
        if (dot != nullptr && dot->rr.b3_rock == yep)
            names = Names::rock_ridge;
    }
    if (names != Names::rock_ridge) {
        if (auto joliet = open_iso(path, ISO_EXTENSION_ALL); joliet && iso9660_ifs_get_joliet_level(joliet.get()) > 0) {
            iso = std::move(joliet);
            names = Names::joliet;
            root.reset(iso9660_ifs_stat(iso.get(), "/"));
        }
    }
    if (root) {
        const std::uint64_t at = static_cast<std::uint64_t>(root->lsn) * BLOCK;
        walk.map().add_extent(FileMap::ROOT, at, walk.within_image(at, root->size), 0);
        IsoWalk(walk, iso.get(), names).folder("/", root->lsn, root->size, FileMap::ROOT, 1);
    }
    for (const std::string& line : messages.take("libiso9660"))
        walk.note(line);
    if (!root)
        walk.note("cannot read the ISO 9660 root directory");
    return true;
}
