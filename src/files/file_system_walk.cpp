// The bounds every file system reader keeps to, and its messages.
#include "files/file_system_walk.h"

#include <algorithm>

#include "support/failure.h"

FileSystemWalk::FileSystemWalk(const ImageInput& input, const char* image_path, FileMap& map)
    : fd_(input.fd()), image_size_(input.size().value_or(0)), image_path_(image_path), map_(map)
{
}

void FileSystemWalk::note(const std::string& message)
{
    if (std::find(notes_.begin(), notes_.end(), message) == notes_.end())
        notes_.push_back(message);
}

void FileSystemWalk::say_notes() const
{
    for (const std::string& message : notes_)
        print_message("%s: --files: %s", image_path_.c_str(), message.c_str());
}

bool FileSystemWalk::enter(std::uint64_t key, FileMap::Entry entry)
{
    const auto [at, added] = entered_.emplace(key, entry);
    if (!added) {
        note("the directory " + escaped_name(map_.path(entry)) + " is " + escaped_name(map_.path(at->second)) +
             " again: not entered again");
    }
    return added;
}

bool FileSystemWalk::room_for_entry()
{
    if (map_.entries() < MAX_ENTRIES)
        return true;
    if (!full_)
        note("more than " + std::to_string(MAX_ENTRIES) + " files and directories: the rest are left out");
    full_ = true;
    return false;
}

std::uint64_t FileSystemWalk::within_image(std::uint64_t offset, std::uint64_t length) const
{
    return offset >= image_size_ ? 0 : std::min(length, image_size_ - offset);
}
