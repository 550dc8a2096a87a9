// What reading a file system needs, whichever it is: the image, the bounds
// on what an untrusted file system may make the tool do, the folders
// entered so far, and the messages.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "files/file_map.h"
#include "scan/image_input.h"

// Folders below this depth are not entered: ISO 9660 allows 8 levels, and
// no disc needs 64.
inline constexpr unsigned MAX_DEPTH = 64;
// Files and folders taken at most; the map takes about 100 bytes for each.
inline constexpr std::size_t MAX_ENTRIES = 1000000;
// The largest folder read: a folder of 10 000 files takes under 2 MiB.
inline constexpr std::uint64_t MAX_FOLDER_BYTES = std::uint64_t{8} << 20U;

class FileSystemWalk {
public:
    FileSystemWalk(const ImageInput& input, const char* image_path, FileMap& map);

    int fd() const { return fd_; }
    const std::string& image_path() const { return image_path_; }
    std::uint64_t image_size() const { return image_size_; }
    FileMap& map() { return map_; }

    // Keeps a message for standard error, once for each message: said by
    // say_notes as "sectorscan: IMAGE: --files: MESSAGE", after the
    // libraries have had their say (see LibraryMessages).
    void note(const std::string& message);
    void say_notes() const;
    // A folder whose data is found at `key` is entered as `entry`: false,
    // and noted, when a folder there was entered before (a loop, or a second
    // name), which is then not entered again.
    bool enter(std::uint64_t key, FileMap::Entry entry);
    // The same without a word: for what stands for a folder already entered.
    void entered(std::uint64_t key, FileMap::Entry entry) { entered_.emplace(key, entry); }
    // Room for one more file or folder: false, said once, when there is none.
    bool room_for_entry();
    // The image's bytes of an extent that starts at `offset` and holds
    // `length` bytes: none past the image's end.
    std::uint64_t within_image(std::uint64_t offset, std::uint64_t length) const;

private:
    int fd_;
    std::uint64_t image_size_;
    std::string image_path_;
    FileMap& map_;
    std::unordered_map<std::uint64_t, FileMap::Entry> entered_;
    std::vector<std::string> notes_;
    bool full_ = false;
};

// The two readers: each returns false, having said nothing, when the image
// has no such file system.
bool read_udf(FileSystemWalk& walk);
bool read_iso9660(FileSystemWalk& walk);
