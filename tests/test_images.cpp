// Test image builders and scans through the tool's own sinks.
#include "test_images.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "output/outputs.h"
#include "scan/sector_checks.h"

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

ScanRun scan_path(const std::string& path, const ReadPlan& plan, bool judged)
{
    ImageInput input;
    if (const Failure failure = open_image(path.c_str(), input))
        throw std::runtime_error("cannot open " + path + ": " + failure.what());
    char* text = nullptr;
    std::size_t length = 0;
    std::FILE* out = open_memstream(&text, &length);
    const std::string map_path = write_temp_file("scan.map", {});
    ScanRun run;
    {
        // As with --files on an image without a file system: each run line
        // is followed by one that no run line can be taken for.
        FileMap no_files;
        no_files.finish();
        RescueMapfile map(map_path.c_str(), input.fd(), "image");
        OutputParts parts;
        parts.out = out;
        parts.mapfile = &map;
        parts.files = &no_files;
        Outputs outputs(parts);
        run.result = scan_image(input, plan, outputs);
        if (const Failure failure = map.commit(run.result.settled_bytes, run.result.image_size))
            throw std::runtime_error(std::string("cannot write the mapfile: ") + failure.what());
    }
    std::fclose(out);
    std::istringstream lines(std::string(text, length));
    std::free(text);
    for (std::string line, next; std::getline(lines, line);) {
        if (!std::getline(lines, next) || next != "  (no file)")
            throw std::runtime_error("a run line without its file line: " + line);
        run.report += line + "\n";
    }
    run.mapfile_blocks = mapfile_blocks(read_file(map_path));
    // NOLINTNEXTLINE(cert-env33-c): running ddrescuelog is the point
    static const bool ddrescuelog = std::system("command -v ddrescuelog >/dev/null 2>&1") == 0;
    // NOLINTNEXTLINE(cert-env33-c)
    if (judged && ddrescuelog && std::system(("ddrescuelog -t '" + map_path + "' >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("ddrescuelog does not accept the mapfile of " + path);
    unlink(map_path.c_str());
    return run;
}

ScanRun scan_bytes(const Bytes& bytes, const ReadPlan& plan, bool as_stream)
{
    if (!as_stream) {
        // A file is scanned read and mapped, unless the plan says which:
        // the two must give one report, one mapfile, one end.
        const std::string path = write_temp_file("scan.img", bytes);
        ReadPlan read = plan;
        read.way = plan.way.value_or(ReadWay::read);
        ScanRun run = scan_path(path, read);
        if (!plan.way) {
            ReadPlan mapped = plan;
            mapped.way = ReadWay::map;
            const ScanRun other = scan_path(path, mapped);
            const ScanResult& a = run.result;
            const ScanResult& b = other.result;
            if (other.report != run.report || other.mapfile_blocks != run.mapfile_blocks || a.end != b.end ||
                a.bytes_read != b.bytes_read || a.settled_bytes != b.settled_bytes || a.image_size != b.image_size)
                throw std::runtime_error("read and mapped, the scan differs:\n" + run.report + "against\n" +
                                         other.report);
        }
        unlink(path.c_str());
        return run;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    // Written as a writer would, while the scan reads.
    std::thread writer([&] {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(fds[1], bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        close(fds[1]);
    });
    ScanRun run = scan_path("/dev/fd/" + std::to_string(fds[0]), plan);
    writer.join();
    close(fds[0]);
    return run;
}

std::string mapfile_blocks(const std::string& mapfile)
{
    std::string blocks;
    bool status_line = true;
    std::istringstream lines(mapfile);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        if (!status_line)
            blocks += line + "\n";
        status_line = false;
    }
    return blocks;
}

std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const Bytes& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!file)
        throw std::runtime_error("cannot write " + path);
}

std::string write_temp_file(const std::string& name, const Bytes& bytes)
{
    const char* dir = std::getenv("TMPDIR");
    std::string path =
        std::string(dir != nullptr ? dir : "/tmp") + "/sectorscan-test-" + std::to_string(getpid()) + "-" + name;
    write_file(path, bytes);
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
