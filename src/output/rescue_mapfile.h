// A GNU ddrescue mapfile of the image: the reported runs of empty sectors as
// areas not yet tried ("?"), everything else as done ("+"), so that ddrescue
// reads exactly those areas again from the original disc into the image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "support/failure.h"
#include <utility>
#include <vector>

class RescueMapfile {
public:
    // Checks `path` and creates a temporary file beside it that holds the
    // mapfile until commit(), so that an interrupted scan never leaves a
    // partial mapfile and never harms an existing one. A symbolic link is
    // followed: the file it leads to is replaced, the link stays. Writes the
    // header, which names `image_path`. failure() says why the mapfile cannot
    // be written: the folder is missing or not writable, the name is too
    // long, `path` is a directory, no regular file, a link that leads
    // nowhere, the image itself (`image_fd`), the file that standard output
    // or standard error writes to, or another user's in a sticky folder.
    RescueMapfile(const char* path, int image_fd, const char* image_path);
    // Removes the temporary file unless it was committed.
    ~RescueMapfile();
    RescueMapfile(const RescueMapfile&) = delete;
    RescueMapfile& operator=(const RescueMapfile&) = delete;

    Failure failure() const { return failure_; }
    const std::string& path() const { return path_; }

    // Bytes [from, to) of the image are to be read again: a reported run's
    // frames, or damaged ones. They may come in any order, so long as none
    // starts before the last point settle() was told.
    void mark(std::uint64_t from, std::uint64_t to);
    // No area to be marked will start before byte `settled`: the areas
    // before it are written out.
    void settle(std::uint64_t settled);

    // Closes the block list of an image of `end` bytes, done up to `settled`
    // and not tried from there on (a scan cut short knows nothing of those
    // bytes), writes it to disk and puts it in place of `path`. On failure
    // `path` is left as it was.
    Failure commit(std::uint64_t settled, std::uint64_t end);

private:
    void add_block(std::uint64_t size, char status);
    void write_block();
    void write_marked(std::uint64_t before);

    std::string path_;      // as given
    std::string target_;    // the file replaced: path_, or where its link leads
    std::string temp_path_; // empty once committed or given up
    std::FILE* out_ = nullptr;
    Failure failure_;
    Failure write_failure_;     // the first block that could not be written
    std::uint64_t covered_ = 0; // bytes from 0 that the blocks so far cover
    // The block not yet written, so that a neighbour of the same status can
    // still be merged into it.
    std::uint64_t block_pos_ = 0;
    std::uint64_t block_size_ = 0;
    char block_status_ = '+';
    // Areas marked and not yet written, by their start.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> marked_;
};
