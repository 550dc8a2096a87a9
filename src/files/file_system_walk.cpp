// The bounds every file system reader keeps to, its messages, and the trees
// read so far.
#include "files/file_system_walk.h"

#include <algorithm>
#include <cstring>

std::size_t FileSystemWalk::read_blocks(std::uint64_t block, std::size_t count, unsigned char* out,
                                        std::string& why) const
{
    int error = 0;
    const std::size_t read = blocks_.read(block, count, out, error);
    if (read < count)
        why = error != 0 ? std::strerror(error) : "the image ends before it";
    return read;
}

std::uint64_t FileSystemWalk::within_image(std::uint64_t offset, std::uint64_t length) const
{
    const std::uint64_t size = blocks() * FileMap::BLOCK;
    return offset >= size ? 0 : std::min(length, size - offset);
}

void FileSystemWalk::note(const std::string& message)
{
    if (std::find(notes_.begin(), notes_.end(), message) == notes_.end())
        notes_.push_back(message);
}

bool FileSystemWalk::room_for_entry()
{
    if (map_.entries() < MAX_ENTRIES)
        return true;
    if (!entries_full_)
        note("more than " + std::to_string(MAX_ENTRIES) + " files and directories: the rest are left out");
    entries_full_ = true;
    return false;
}

bool FileSystemWalk::room_for_extents(std::size_t count)
{
    if (extents_ + count <= MAX_EXTENTS) {
        extents_ += count;
        return true;
    }
    if (!extents_full_)
        note("the files are in more than " + std::to_string(MAX_EXTENTS) + " pieces: the rest are left out");
    extents_full_ = true;
    return false;
}

FileSystemWalk::Identity FileSystemWalk::identity(const std::vector<FileExtent>& extents)
{
    // FNV-1a over the pieces, as they lie and as they follow in the file.
    std::uint64_t hash = 14695981039346656037ULL;
    for (const FileExtent& e : extents) {
        for (const std::uint64_t value : {e.image_offset, e.length, e.file_offset}) {
            for (unsigned shift = 0; shift < 64; shift += 8) {
                hash ^= (value >> shift) & 0xFFU;
                hash *= 1099511628211ULL;
            }
        }
    }
    return Identity{extents.front().image_offset, hash};
}

bool FileSystemWalk::named_before(const std::vector<FileExtent>& extents) const
{
    return std::binary_search(earlier_.begin(), earlier_.end(), identity(extents));
}

void FileSystemWalk::remember(const std::vector<FileExtent>& extents)
{
    current_.push_back(identity(extents));
}

void FileSystemWalk::end_tree()
{
    earlier_.insert(earlier_.end(), current_.begin(), current_.end());
    current_.clear();
    current_.shrink_to_fit();
    std::sort(earlier_.begin(), earlier_.end());
    earlier_.erase(std::unique(earlier_.begin(), earlier_.end()), earlier_.end());
}

Tree::Tree(FileSystemWalk& walk, const char* name, FileMap::Label directory_label)
    : walk_(walk), name_(name), directory_label_(directory_label)
{
}

void Tree::root_read()
{
    if (walk_.has_naming_tree())
        return;
    walk_.set_naming_tree(name_);
    names_files_ = true;
}

FileMap::Entry Tree::add_folder(FileMap::Entry parent, std::string_view name)
{
    if (!walk_.room_for_entry()) {
        lost(parent, "");
        return FileMap::NONE;
    }
    return walk_.map().add(parent, name, true);
}

namespace {

// Pieces that follow on in the image and in the file are one, so that the
// same file split differently by two trees is known as the same.
std::vector<FileExtent> joined(const std::vector<FileExtent>& extents)
{
    std::vector<FileExtent> out;
    for (const FileExtent& e : extents) {
        if (e.length == 0)
            continue;
        if (!out.empty() && out.back().image_offset + out.back().length == e.image_offset &&
            out.back().file_offset + out.back().length == e.file_offset) {
            out.back().length += e.length;
            continue;
        }
        out.push_back(e);
    }
    return out;
}

} // namespace

void Tree::add_file(FileMap::Entry parent, std::string_view name, const std::vector<FileExtent>& extents)
{
    const std::vector<FileExtent> pieces = joined(extents);
    if (pieces.empty() || walk_.named_before(pieces))
        return; // an empty file holds no sector to damage
    if (!walk_.room_for_entry()) {
        lost(parent, "");
        return;
    }
    add_pieces(walk_.map().add(parent, name, false), pieces);
}

void Tree::add_pieces(FileMap::Entry file, const std::vector<FileExtent>& extents)
{
    std::vector<FileExtent> pieces = joined(extents);
    if (pieces.empty())
        return;
    if (pieces.size() > MAX_FILE_EXTENTS) {
        pieces.resize(MAX_FILE_EXTENTS);
        lost(file, "it is in more than " + std::to_string(MAX_FILE_EXTENTS) + " pieces: the rest are left out");
    }
    walk_.remember(pieces);
    if (!walk_.room_for_extents(pieces.size())) {
        lost(file, "");
        return;
    }
    for (const FileExtent& e : pieces)
        walk_.map().add_extent(file, e.image_offset, e.length, e.file_offset);
    if (!names_files_)
        ++files_named_;
}

bool Tree::enter(std::uint64_t key, FileMap::Entry entry)
{
    const auto [at, added] = entered_.emplace(key, entry);
    if (!added) {
        FileMap& map = walk_.map();
        walk_.note(std::string(name_) + ": the directory " + map.path(entry) + " is " + map.path(at->second) +
                   " again: not entered again");
    }
    return added;
}

FileMap::Entry Tree::entered(std::uint64_t key) const
{
    const auto at = entered_.find(key);
    return at == entered_.end() ? FileMap::NONE : at->second;
}

bool Tree::within_depth(unsigned depth, FileMap::Entry entry)
{
    if (depth <= MAX_DEPTH)
        return true;
    lost(entry, "it lies more than " + std::to_string(MAX_DEPTH) + " levels deep: not entered");
    return false;
}

void Tree::lost(FileMap::Entry entry, const std::string& why)
{
    complete_ = false;
    walk_.map().unreadable(entry);
    if (why.empty())
        return;
    const std::string path = walk_.map().path(entry);
    walk_.note(std::string(name_) + ": cannot read the " + (path.back() == '/' ? "directory " : "file ") + path + ": " +
               why);
}
