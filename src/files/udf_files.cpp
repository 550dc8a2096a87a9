// UDF (DVD-Video, Blu-ray, packet-written discs) through libudfread, which
// reads the image through the tool's own block reader with pread.
#include <udfread/blockinput.h>
#include <udfread/udfread.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "files/file_system_walk.h"
#include "files/library_messages.h"

namespace {

constexpr std::uint64_t BLOCK = UDF_BLOCK_SIZE;

// The image as libudfread reads it: blocks by pread, none past its end, and
// every block read noted, which tells where a folder lies when it is opened.
struct BlockReader {
    udfread_block_input input{};
    int fd = -1;
    std::uint64_t blocks = 0;
    std::vector<std::uint32_t> read; // since last cleared

    static int read_blocks(udfread_block_input* input, std::uint32_t lba, void* buffer, std::uint32_t count,
                           int /*flags*/)
    {
        auto* self = reinterpret_cast<BlockReader*>(input);
        if (lba >= self->blocks)
            return -1;
        count = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, self->blocks - lba));
        std::size_t done = 0;
        const std::size_t want = count * BLOCK;
        while (done < want) {
            const ssize_t n =
                pread(self->fd, static_cast<char*>(buffer) + done, want - done, static_cast<off_t>(lba * BLOCK + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        const auto whole = static_cast<std::uint32_t>(done / BLOCK);
        for (std::uint32_t k = 0; k < whole; ++k)
            self->read.push_back(lba + k);
        return whole > 0 ? static_cast<int>(whole) : -1;
    }

    static std::uint32_t size(udfread_block_input* input)
    {
        const auto* self = reinterpret_cast<BlockReader*>(input);
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(self->blocks, UINT32_MAX));
    }
};
static_assert(offsetof(BlockReader, input) == 0);

struct CloseUdf {
    void operator()(udfread* udf) const { udfread_close(udf); }
};
struct CloseDir {
    void operator()(UDFDIR* dir) const { udfread_closedir(dir); }
};
struct CloseFile {
    void operator()(UDFFILE* file) const { udfread_file_close(file); }
};

class UdfWalk {
public:
    // Files may claim `budget` blocks in all: a file system that claims the
    // image many times over is not walked to its end.
    UdfWalk(FileSystemWalk& walk, BlockReader& reader, std::uint64_t budget)
        : walk_(walk), reader_(reader), budget_(budget)
    {
    }

    void folder(UDFDIR* dir, FileMap::Entry parent, unsigned depth);

private:
    void file(UDFDIR* dir, const char* name, FileMap::Entry parent);
    void subfolder(UDFDIR* dir, const char* name, FileMap::Entry parent, unsigned depth);

    FileSystemWalk& walk_;
    BlockReader& reader_;
    std::uint64_t budget_;
    bool budget_said_ = false;
};

void UdfWalk::file(UDFDIR* dir, const char* name, FileMap::Entry parent)
{
    const std::unique_ptr<UDFFILE, CloseFile> file(udfread_file_openat(dir, name));
    FileMap& map = walk_.map();
    if (!file) {
        walk_.note("cannot read the file " + escaped_name(map.path(parent) + name));
        return;
    }
    const std::int64_t size = udfread_file_size(file.get());
    if (size <= 0 || !walk_.room_for_entry())
        return; // an empty file holds no sector to damage
    const FileMap::Entry entry = map.add(parent, name, false);
    // libudfread tells the block of each block of the file; runs of them that
    // follow on in the image are one extent. Block 0 is not a file's: it
    // stands for a block that was never recorded.
    const std::uint64_t blocks = std::min<std::uint64_t>((static_cast<std::uint64_t>(size) + BLOCK - 1) / BLOCK,
                                                         std::min<std::uint64_t>(UINT32_MAX, budget_));
    if (blocks < (static_cast<std::uint64_t>(size) + BLOCK - 1) / BLOCK && !budget_said_) {
        walk_.note("its files claim more blocks than the image holds many times over: the rest are left out");
        budget_said_ = true;
    }
    budget_ -= blocks;
    std::uint64_t run_lba = 0;
    std::uint64_t run_first = 0;
    std::uint64_t run_blocks = 0;
    auto flush = [&] {
        if (run_blocks == 0)
            return;
        const std::uint64_t offset = run_lba * BLOCK;
        const std::uint64_t length = std::min(run_blocks * BLOCK, static_cast<std::uint64_t>(size) - run_first * BLOCK);
        map.add_extent(entry, offset, walk_.within_image(offset, length), run_first * BLOCK);
        run_blocks = 0;
    };
    for (std::uint64_t b = 0; b < blocks; ++b) {
        const std::uint32_t lba = udfread_file_lba(file.get(), static_cast<std::uint32_t>(b));
        if (run_blocks > 0 && lba == run_lba + run_blocks) {
            ++run_blocks;
            continue;
        }
        flush();
        if (lba != 0) {
            run_lba = lba;
            run_first = b;
            run_blocks = 1;
        }
    }
    flush();
}

void UdfWalk::subfolder(UDFDIR* dir, const char* name, FileMap::Entry parent, unsigned depth)
{
    FileMap& map = walk_.map();
    if (!walk_.room_for_entry())
        return;
    const FileMap::Entry entry = map.add(parent, name, true);
    if (depth >= MAX_DEPTH) {
        walk_.note("the directory " + escaped_name(map.path(entry)) + " lies more than " + std::to_string(MAX_DEPTH) +
                   " levels deep: not entered");
        return;
    }
    // The blocks read to open it are its own: its file entry first, then
    // its data. libudfread keeps a folder once opened, so one opened again
    // from the same place reads nothing.
    reader_.read.clear();
    const std::unique_ptr<UDFDIR, CloseDir> sub(udfread_opendir_at(dir, name));
    if (!sub) {
        walk_.note("cannot read the directory " + escaped_name(map.path(entry)));
        return;
    }
    const std::vector<std::uint32_t> blocks = reader_.read;
    if (blocks.empty() || !walk_.enter(blocks.front(), entry))
        return;
    // Its data, in the order read; a folder held within its file entry has
    // that block alone.
    const std::size_t first = blocks.size() > 1 ? 1 : 0;
    for (std::size_t k = first; k < blocks.size(); ++k)
        map.add_extent(entry, blocks[k] * BLOCK, walk_.within_image(blocks[k] * BLOCK, BLOCK), (k - first) * BLOCK);
    folder(sub.get(), entry, depth + 1);
}

void UdfWalk::folder(UDFDIR* dir, FileMap::Entry parent, unsigned depth)
{
    udfread_dirent entry{};
    std::vector<std::string> folders;
    while (udfread_readdir(dir, &entry) != nullptr) {
        if (entry.d_name == nullptr || std::strcmp(entry.d_name, ".") == 0 || std::strcmp(entry.d_name, "..") == 0)
            continue;
        if (entry.d_type == UDF_DT_DIR)
            folders.emplace_back(entry.d_name);
        else
            file(dir, entry.d_name, parent);
    }
    for (const std::string& name : folders)
        subfolder(dir, name.c_str(), parent, depth);
}

} // namespace

bool read_udf(FileSystemWalk& walk)
{
    BlockReader reader;
    reader.input.read = BlockReader::read_blocks;
    reader.input.size = BlockReader::size;
    reader.fd = walk.fd();
    reader.blocks = walk.image_size() / BLOCK;
    // libudfread says what it finds wrong on standard error; its words are
    // held back, and said as the tool's once it is known that this is UDF.
    LibraryMessages messages;
    const std::unique_ptr<udfread, CloseUdf> udf(udfread_init());
    if (!udf || udfread_open_input(udf.get(), &reader.input) < 0)
        return false;
    const std::unique_ptr<UDFDIR, CloseDir> root(udfread_opendir(udf.get(), "/"));
    if (root) {
        // The blocks read with the volume stand for the root folder.
        for (const std::uint32_t block : reader.read)
            walk.entered(block, FileMap::ROOT);
        UdfWalk(walk, reader, 4 * reader.blocks + (std::uint64_t{1} << 20U)).folder(root.get(), FileMap::ROOT, 1);
    }
    for (const std::string& line : messages.take("libudfread"))
        walk.note(line);
    if (!root)
        walk.note("cannot read the UDF root directory");
    return true;
}
