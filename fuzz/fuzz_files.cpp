// libFuzzer target: arbitrary bytes as a disc image whose UDF and ISO 9660
// file systems are read for --files, as 2048-byte sectors and as raw frames
// (whose own checks are made too), then asked what lies under runs of every
// size. Nothing in the image may crash the tool, make it read outside the
// image, hang it or make it allocate without bound (the fuzzer's -timeout
// and -rss_limit_mb say so). Seeded with images that genisoimage and
// xorriso make, and spoilt copies of them (scripts/fuzz.sh).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "files/file_system.h"
#include "scan/cd_frames.h"

namespace {

std::size_t describe_all(const FileMap& map, std::uint64_t blocks)
{
    std::size_t lines = 0;
    for (std::uint64_t first = 0; first < blocks; first += 7) {
        const std::uint64_t last = std::min(blocks - 1, first + first % 13);
        lines += map.describe(first * FileMap::BLOCK, (last + 1) * FileMap::BLOCK).size();
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const int fd = memfd_create("fuzz-image", MFD_CLOEXEC);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size))
        std::abort();
    std::size_t lines = 0;
    {
        const CookedBlocks blocks(fd, size);
        FileMap map;
        read_file_system(blocks, map);
        lines += describe_all(map, size / FileMap::BLOCK);
    }
    // The same bytes as raw frames, from a disc address the first byte
    // chooses.
    ImageInput input;
    if (open_image(("/proc/self/fd/" + std::to_string(fd)).c_str(), input))
        std::abort();
    ScanArea area;
    area.input = &input;
    area.format = size > 0 && (data[0] & 1U) != 0 ? SectorFormat::raw_subchannel : SectorFormat::raw;
    area.first = size > 0 ? data[0] : 0;
    area.formless = size > 1 && (data[1] & 1U) != 0;
    const FrameBlocks frames(std::span<const ScanArea>(&area, 1));
    FileMap raw_map;
    read_file_system(frames, raw_map);
    lines += describe_all(raw_map, frames.blocks());
    for (std::size_t at = 0; at + RAW_FRAME_SIZE <= size; at += RAW_FRAME_SIZE)
        lines += static_cast<std::size_t>(check_frame(data + at, at / RAW_FRAME_SIZE + area.first, area.formless));
    close(fd);
    return lines == SIZE_MAX ? 1 : 0;
}
