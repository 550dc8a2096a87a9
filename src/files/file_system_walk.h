// What reading a file system needs, whichever it is: the image's blocks, the
// bounds on what an untrusted file system may make the tool do, the folders
// entered so far, the messages, and the trees of names already read, whose
// files a later tree does not name again.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "files/block_source.h"
#include "files/file_map.h"

// Folders more than this many levels below the root are not entered.
inline constexpr unsigned MAX_DEPTH = 64;
// Files and folders taken at most; the map takes about 100 bytes for each.
inline constexpr std::size_t MAX_ENTRIES = 1000000;
// The largest folder read: a folder of 10 000 files takes under 2 MiB.
inline constexpr std::uint64_t MAX_FOLDER_BYTES = std::uint64_t{8} << 20U;
// Pieces of one file, and of all files, taken at most: a file of more is
// left partly unknown. 40 bytes each.
inline constexpr std::size_t MAX_FILE_EXTENTS = std::size_t{1} << 16U;
inline constexpr std::size_t MAX_EXTENTS = std::size_t{2} << 20U;

// A piece of a file: `length` bytes at `image_offset`, which are its bytes
// from `file_offset` on.
struct FileExtent {
    std::uint64_t image_offset = 0;
    std::uint64_t length = 0;
    std::uint64_t file_offset = 0;
};

class FileSystemWalk {
public:
    FileSystemWalk(const BlockSource& blocks, FileMap& map) : blocks_(blocks), map_(map) {}

    FileMap& map() { return map_; }
    std::uint64_t blocks() const { return blocks_.blocks(); }
    // Reads `count` blocks at `block` into `out`: how many were read whole,
    // from the first; `why` says why not all, where not.
    std::size_t read_blocks(std::uint64_t block, std::size_t count, unsigned char* out, std::string& why) const;
    // The image's bytes of an extent that starts at `offset` and holds
    // `length` bytes: none past the image's end.
    std::uint64_t within_image(std::uint64_t offset, std::uint64_t length) const;

    // Keeps a message for standard error, once for each message.
    void note(const std::string& message);
    const std::vector<std::string>& notes() const { return notes_; }

    // Room for one more file or folder: false, said once, when there is none.
    bool room_for_entry();
    // Room for `count` more pieces of files: false, said once, when not.
    bool room_for_extents(std::size_t count);

    // Whether a file with these pieces was named by a tree read before.
    bool named_before(const std::vector<FileExtent>& extents) const;
    // Remembers the files of the tree just read, for the trees after it.
    void remember(const std::vector<FileExtent>& extents);
    void end_tree();

    // Whether a tree has named files, so that the next one only fills in.
    bool has_naming_tree() const { return naming_tree_ != nullptr; }
    const char* naming_tree() const { return naming_tree_; }
    void set_naming_tree(const char* name) { naming_tree_ = name; }

private:
    struct Identity {
        std::uint64_t first = 0; // where its first piece lies
        std::uint64_t hash = 0;  // of all its pieces
        bool operator<(const Identity& other) const
        {
            return first != other.first ? first < other.first : hash < other.hash;
        }
        bool operator==(const Identity& other) const = default;
    };
    static Identity identity(const std::vector<FileExtent>& extents);

    const BlockSource& blocks_;
    FileMap& map_;
    std::vector<std::string> notes_;
    std::vector<Identity> earlier_; // sorted
    std::vector<Identity> current_;
    std::size_t extents_ = 0;
    bool entries_full_ = false;
    bool extents_full_ = false;
    const char* naming_tree_ = nullptr;
};

// One tree of names read into the map: its folders, the folders it entered
// (so that a loop is entered once), whether all of it could be read, and how
// many of its files no tree before it names.
class Tree {
public:
    // `name` as messages say it ("UDF", "Joliet"...); `directory_label` is
    // how its folders' records are named when another tree names the files.
    Tree(FileSystemWalk& walk, const char* name, FileMap::Label directory_label);

    FileSystemWalk& walk() { return walk_; }
    const char* name() const { return name_; }
    // The tree's root has been read: from now on it names files, unless a
    // tree before it does.
    void root_read();
    bool names_files() const { return names_files_; }
    // The label of the tree's folders' own records.
    FileMap::Label folder_label() const { return names_files_ ? FileMap::Label::own : directory_label_; }

    // A folder `name` in `parent`; NONE when there is no room.
    FileMap::Entry add_folder(FileMap::Entry parent, std::string_view name);
    // A file of these pieces (in the order of its bytes) in `parent`, unless
    // a tree before names the same pieces or it has none.
    void add_file(FileMap::Entry parent, std::string_view name, const std::vector<FileExtent>& extents);
    // The pieces of `file`, a node already made (UDF names a file's entry
    // after it before its pieces are known).
    void add_pieces(FileMap::Entry file, const std::vector<FileExtent>& extents);
    // A folder found at `key` is entered as `entry`: false, and noted, when
    // the tree entered a folder there before (a loop, or a second name).
    bool enter(std::uint64_t key, FileMap::Entry entry);
    // Whether a folder was entered at `key`, and as which entry.
    FileMap::Entry entered(std::uint64_t key) const;
    // Whether a folder at `depth` levels below the root may be entered; noted
    // and lost when not.
    bool within_depth(unsigned depth, FileMap::Entry entry);
    // What `entry` holds could not be read, and `why`: noted, and a run over
    // bytes of no known file may hold some of it.
    void lost(FileMap::Entry entry, const std::string& why);

    bool complete() const { return complete_; }
    std::size_t files_named() const { return files_named_; }

private:
    FileSystemWalk& walk_;
    const char* name_;
    FileMap::Label directory_label_;
    bool names_files_ = false;
    bool complete_ = true;
    std::size_t files_named_ = 0;
    std::unordered_map<std::uint64_t, FileMap::Entry> entered_;
};

// The readers, each of its trees: UDF, then the ISO 9660 trees. Each reads
// nothing into the map when the image has no such file system, and says
// whether it found one.
bool read_udf(FileSystemWalk& walk, std::deque<Tree>& trees);
bool read_iso9660(FileSystemWalk& walk, std::deque<Tree>& trees);
