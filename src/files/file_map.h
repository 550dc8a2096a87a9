// Which files of the image's file system lie where: their names, as a tree,
// and the stretches of the image that hold their bytes, for finding the
// files that a run of empty sectors damages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class FileMap {
public:
    using Entry = std::uint32_t;
    static constexpr Entry ROOT = 0;

    FileMap();

    // A file or folder named `name` in folder `parent`.
    Entry add(Entry parent, std::string_view name, bool folder);
    // Bytes `file_offset` on of `entry` lie at `image_offset` on, `length`
    // of them, all of them its own: none past its end.
    void add_extent(Entry entry, std::uint64_t image_offset, std::uint64_t length, std::uint64_t file_offset);
    // Sorts what was added for the questions below; nothing is added after.
    void finish();

    std::size_t entries() const { return entries_.size(); }
    std::size_t extents() const { return extents_.size(); }

    // Where `entry` lies in the tree: "/DATA/VIDEO.VOB", a folder with a
    // slash at its end ("/DATA/"), the root "/". Names as they are given.
    std::string path(Entry entry) const;

    struct Hit {
        Entry entry = ROOT;
        std::uint64_t first_in_image = 0; // where the run first meets its bytes
        std::uint64_t first = 0;          // its first and last byte in the run,
        std::uint64_t last = 0;           // as offsets within it
    };
    // The files whose bytes lie in the image's bytes [from, to), one hit
    // each, in the order in which they first appear there (ties by path).
    // O(log extents) and the hits.
    std::vector<Hit> files_in(std::uint64_t from, std::uint64_t to) const;

private:
    struct Node {
        Entry parent = ROOT;
        std::uint32_t name_at = 0;
        std::uint32_t name_length = 0;
        bool folder = false;
    };
    struct Extent {
        std::uint64_t from = 0; // in the image
        std::uint64_t to = 0;
        std::uint64_t file_offset = 0;
        Entry entry = ROOT;
    };
    void visit(std::size_t node, std::size_t lo, std::size_t hi, std::uint64_t from, std::uint64_t to,
               std::vector<Hit>& hits) const;

    std::vector<Node> entries_;
    std::string names_; // every name, one after the other
    std::vector<Extent> extents_;
    // The greatest end of the extents below each node of an implicit tree
    // over extents_, which is sorted by start.
    std::vector<std::uint64_t> max_to_;
};

// `name` with every control character (below 0x20, 0x7f, and the C1 codes
// U+0080 to U+009F as UTF-8) and every backslash written as \xHH, so that no
// name can pass for a line of the report or move the cursor.
std::string escaped_name(std::string_view name);
