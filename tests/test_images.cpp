// Test image builders and an in-memory scan.
#include "test_images.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "sector_checks.h"

Bytes image_from_pattern(const std::string& pattern)
{
    Bytes bytes;
    bytes.reserve(pattern.size() * SECTOR_SIZE);
    for (const char c : pattern)
        bytes.insert(bytes.end(), SECTOR_SIZE, c == 'D' ? 0x41 : 0x00);
    return bytes;
}

void fill_cancelling(unsigned char* at)
{
    for (std::size_t b = 0; b < GUARD_BYTES; ++b)
        at[b] = b % 2 == 0 ? 0x01 : 0xFF;
}

Bytes data_image_with_zeros(std::size_t count, std::size_t first, std::size_t last)
{
    Bytes bytes(count * SECTOR_SIZE, 0x41);
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(first * SECTOR_SIZE),
              bytes.begin() + static_cast<std::ptrdiff_t>((last + 1) * SECTOR_SIZE), 0x00);
    return bytes;
}

int memory_file(const Bytes& bytes)
{
    const int fd = memfd_create("image", MFD_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("memfd_create failed");
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw std::runtime_error("write to memfd failed");
        done += static_cast<std::size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

ScanRun scan_input(const ScanInput& input, const ReadPlan& plan)
{
    char* text = nullptr;
    std::size_t length = 0;
    std::FILE* out = open_memstream(&text, &length);
    char* map_text = nullptr;
    std::size_t map_length = 0;
    RescueMapfile map;
    mapfile_begin(map, open_memstream(&map_text, &map_length), "image");
    ScanRun run;
    run.result = scan_image(input, plan, out, {}, &map);
    std::fclose(out);
    mapfile_end(map, run.result.settled_bytes, run.result.image_size);
    std::fclose(map.out);
    run.report.assign(text, length);
    run.mapfile_blocks = mapfile_blocks(std::string(map_text, map_length));
    std::free(text);
    std::free(map_text);
    return run;
}

std::string mapfile_blocks(const std::string& mapfile)
{
    std::string blocks;
    bool status_line = true;
    std::size_t at = 0;
    while (at < mapfile.size()) {
        const std::size_t end = std::min(mapfile.find('\n', at), mapfile.size() - 1);
        const std::string line = mapfile.substr(at, end + 1 - at);
        at = end + 1;
        if (line[0] == '#')
            continue;
        if (!status_line)
            blocks += line;
        status_line = false;
    }
    return blocks;
}

ScanRun scan_bytes(const Bytes& bytes, const ReadPlan& plan, bool as_stream, ReadFunction read_at)
{
    ScanInput input;
    input.fd = memory_file(bytes);
    input.size = as_stream ? std::nullopt : file_size(input.fd);
    input.read_at = read_at;
    ScanRun run = scan_input(input, plan);
    close(input.fd);
    return run;
}

std::string write_temp_file(const std::string& name, const Bytes& bytes)
{
    const char* dir = std::getenv("TMPDIR");
    std::string path =
        std::string(dir != nullptr ? dir : "/tmp") + "/sectorscan-test-" + std::to_string(getpid()) + "-" + name;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::string sparse_file(const char* name, std::size_t size, std::initializer_list<Extent> extents, Bytes& bytes)
{
    bytes.assign(size, 0);
    std::string path = write_temp_file(name, {});
    const int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0)
        throw std::runtime_error("cannot make the sparse file " + path);
    for (const Extent& e : extents) {
        for (std::size_t i = e.offset; i < e.offset + e.length; ++i)
            bytes[i] = i / SECTOR_SIZE % 5 == 3 ? 0 : 0x41;
        if (pwrite(fd, bytes.data() + e.offset, e.length, static_cast<off_t>(e.offset)) !=
            static_cast<ssize_t>(e.length))
            throw std::runtime_error("cannot write the sparse file " + path);
    }
    close(fd);
    return path;
}
