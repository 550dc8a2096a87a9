// Reading the blocks of a cooked image.
#include "files/block_source.h"

#include <algorithm>

#include "files/file_map.h"
#include "support/read_fully.h"

std::uint64_t CookedBlocks::blocks() const
{
    return bytes_ / FileMap::BLOCK;
}

std::size_t CookedBlocks::read(std::uint64_t block, std::size_t count, unsigned char* out, int& error) const
{
    error = 0;
    if (block >= blocks())
        return 0;
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, blocks() - block));
    const ReadResult result = read_fully(fd_, block * FileMap::BLOCK, out, count * FileMap::BLOCK);
    error = result.error;
    return result.bytes / FileMap::BLOCK;
}
