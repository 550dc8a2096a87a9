// Reading the blocks of a cooked image.
#include "files/block_source.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "files/file_map.h"
#include "scan/cd_frames.h"
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

FrameBlocks::FrameBlocks(std::span<const ScanArea> areas) : areas_(areas)
{
    for (const ScanArea& area : areas_) {
        const std::uint64_t size = area.input->size().value_or(0);
        const std::uint64_t frames =
            area.frames.value_or((size - std::min(size, area.offset)) / frame_size(area.format));
        frames_.push_back(frames);
        blocks_ = std::max(blocks_, area.first + frames);
    }
}

std::size_t FrameBlocks::read(std::uint64_t block, std::size_t count, unsigned char* out, int& error) const
{
    error = 0;
    std::array<unsigned char, RAW_SUBCHANNEL_FRAME_SIZE> frame{};
    std::size_t done = 0;
    for (; done < count && block + done < blocks_; ++done) {
        const std::uint64_t address = block + done;
        unsigned char* to = out + done * FileMap::BLOCK;
        std::memset(to, 0, FileMap::BLOCK);
        for (std::size_t a = 0; a < areas_.size(); ++a) {
            const ScanArea& area = areas_[a];
            if (address < area.first || address - area.first >= frames_[a])
                continue;
            const std::size_t size = frame_size(area.format);
            const ReadResult result = read_fully(area.input->fd(), area.offset_of(address), frame.data(), size);
            if (result.bytes < size) {
                error = result.error;
                return done;
            }
            const UserData data =
                area.format == SectorFormat::iso ? UserData{0, FileMap::BLOCK} : user_data(frame.data());
            std::memcpy(to, frame.data() + data.offset, std::min<std::size_t>(data.length, FileMap::BLOCK));
            break;
        }
    }
    return done;
}
