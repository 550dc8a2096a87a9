// A GNU ddrescue mapfile of the image: the reported runs of empty sectors as
// areas not yet tried ("?"), everything else as done ("+"), so that ddrescue
// reads exactly those areas again from the original disc into the image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct RescueMapfile {
    std::string path;      // the name it takes once the scan is complete
    std::string temp_path; // a named temporary file; empty for an unnamed one
    std::FILE* out = nullptr;
    std::uint64_t covered = 0; // bytes from 0 that the blocks so far cover
    // The block not yet written, so that a neighbour of the same status
    // can still be merged into it.
    std::uint64_t block_pos = 0;
    std::uint64_t block_size = 0;
    char block_status = '+';
};

// Checks `path` and opens a temporary file beside it that holds the mapfile
// until mapfile_commit, so that an interrupted scan never leaves a partial
// mapfile and never harms an existing one. Returns nullptr, or the cause
// why the mapfile cannot be written: the folder is missing or not writable,
// `path` is a directory or no regular file, or it is the image itself
// (`image_fd`). Writes the header, which names `image_path`.
const char* mapfile_create(RescueMapfile& map, const char* path, int image_fd, const char* image_path);

// Writes the comments and the status line (nothing tried yet) to `out`.
void mapfile_begin(RescueMapfile& map, std::FILE* out, const char* image_path);

// A reported run: the bytes from `from` to `to` (exclusive) are to be read
// again; those since the last run are done. Runs come in file order.
void mapfile_add_run(RescueMapfile& map, std::uint64_t from, std::uint64_t to);

// Closes the block list of an image of `end` bytes: done up to `settled`,
// not tried from there on (a scan cut short knows nothing of those bytes).
// Returns false when the stream failed.
bool mapfile_end(RescueMapfile& map, std::uint64_t settled, std::uint64_t end);

// mapfile_end, then puts the file in place of `path` (written to disk
// first). Returns 0, or the errno of the failure, in which case `path` is
// left as it was.
int mapfile_commit(RescueMapfile& map, std::uint64_t settled, std::uint64_t end);

// Drops the temporary file; `path` is left as it was.
void mapfile_discard(RescueMapfile& map);
