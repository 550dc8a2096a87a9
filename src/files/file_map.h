// Which files of the image's file systems lie where: their names, as a tree,
// the stretches of the image that hold their bytes and the file systems' own
// structures, and what could not be read, for naming what a run of empty
// sectors damages.
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
    static constexpr Entry NONE = UINT32_MAX;
    // The unit of the file systems' addresses, and of the runs asked about.
    static constexpr std::uint64_t BLOCK = 2048;

    // What the bytes of an extent are: an entry's own (a file's data, a
    // folder's records in the tree that names the files), or a structure of
    // the file systems, said in parentheses, of an entry or on its own.
    enum class Label : std::uint8_t {
        own,
        volume_descriptors,
        path_table,
        joliet_path_table,
        rock_ridge_area,
        iso_directory,
        joliet_directory,
        udf_anchor,
        udf_volume_descriptors,
        udf_integrity,
        udf_file_set,
        udf_file_entry,
        udf_allocation,
        udf_metadata,
    };

    FileMap();

    // A file or folder named `name` (printable: see support/printable.h) in
    // folder `parent`.
    Entry add(Entry parent, std::string_view name, bool folder);
    // Bytes `file_offset` on of `entry` lie at `image_offset` on, `length` of
    // them, all of them its own: none past its end. With a label other than
    // `own`, the bytes are that structure of `entry` (NONE: of no entry).
    void add_extent(Entry entry, std::uint64_t image_offset, std::uint64_t length, std::uint64_t file_offset,
                    Label label = Label::own);
    void add_structure(Label label, std::uint64_t image_offset, std::uint64_t length)
    {
        add_extent(NONE, image_offset, length, 0, label);
    }
    // The contents of `entry`, a folder or a file, could not be read: a run
    // over bytes of no known file may hold some of them.
    void unreadable(Entry entry) { unreadable_.push_back(entry); }
    // Whether a tree was read completely, or there was no file system: then
    // bytes of no known file are known to be no file's.
    void set_complete(bool complete) { complete_ = complete; }
    // Sorts what was added for the questions below; nothing is added after.
    void finish();

    std::size_t entries() const { return entries_.size(); }
    std::size_t extents() const { return extents_.size(); }

    // Where `entry` lies in the tree: "/DATA/VIDEO.VOB", a folder with a
    // slash at its end ("/DATA/"), the root "/".
    std::string path(Entry entry) const;

    // The lines that name what the image's bytes [from, to) hold, a whole
    // number of blocks: each file or structure once, in the order in which
    // they first appear there (ties by their text), a file as "PATH
    // 0xFIRST-0xLAST" (its first and last byte there, as offsets within it),
    // a structure in parentheses; then, where some block holds nothing
    // known, "(unknown: ... could not be read)" while part of the file
    // systems could not be read; "(no file)" where nothing is known there
    // and all is known.
    std::vector<std::string> describe(std::uint64_t from, std::uint64_t to) const;

private:
    struct Node {
        Entry parent = ROOT;
        std::uint32_t name_at = 0;
        std::uint16_t name_length = 0;
        bool folder = false;
    };
    struct Extent {
        std::uint64_t from = 0; // in the image
        std::uint64_t to = 0;
        std::uint64_t file_offset = 0;
        Entry entry = ROOT;
        Label label = Label::own;
    };
    void visit(std::size_t lo, std::size_t hi, std::uint64_t from, std::uint64_t to,
               std::vector<std::size_t>& found) const;
    std::string text(const Extent& extent, std::uint64_t first, std::uint64_t last) const;

    std::vector<Node> entries_;
    std::string names_; // every name, one after the other
    std::vector<Extent> extents_;
    // An implicit search tree over extents_, sorted by start: the extent in
    // the middle of a range is the range's node, and max_to_ holds the
    // greatest end of the extents in its range.
    std::vector<std::uint64_t> max_to_;
    std::vector<Entry> unreadable_;
    std::string unknown_; // "(unknown: ...)", made by finish()
    bool complete_ = true;
};
