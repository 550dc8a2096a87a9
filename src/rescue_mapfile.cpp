// Writing the ddrescue mapfile, and putting it in place only when complete.
#include "rescue_mapfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The folder that will hold `path`.
std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A file in the folder of `path` that no other name refers to: an unnamed
// one (O_TMPFILE) where the file system has them, which vanishes with the
// process however it ends; else a named one beside `path`. Returns its
// descriptor, or -1 with errno set.
int open_temporary(RescueMapfile& map)
{
    const int fd = open(folder_of(map.path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR))
        return fd;
    std::string name = map.path + ".XXXXXX";
    const int named = mkostemp(name.data(), O_CLOEXEC);
    if (named < 0)
        return -1;
    map.temp_path = name;
    // mkostemp makes it private; a mapfile gets the usual mode.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(named, 0666 & ~mask);
    return named;
}

// Gives the unnamed temporary file `fd` the name `name`.
int link_unnamed(int fd, const std::string& name)
{
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return 0;
    if (errno == ENOENT && linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0)
        return 0; // no /proc: this way needs privileges, but may work
    return errno;
}

// Writes "0x" and `value` in upper-case hexadecimal, at least eight digits,
// as ddrescue writes positions; returns the end. By hand, since a mapfile
// may have millions of lines and printf would cost more than the scan.
char* put_hex(char* out, std::uint64_t value)
{
    char digits[16];
    int count = 0;
    do {
        digits[count++] = "0123456789ABCDEF"[value & 0xFU];
        value >>= 4U;
    } while (value != 0);
    while (count < 8)
        digits[count++] = '0';
    *out++ = '0';
    *out++ = 'x';
    while (count > 0)
        *out++ = digits[--count];
    return out;
}

// "pos  size  status" of the pending block.
void write_block(RescueMapfile& map)
{
    if (map.block_size == 0)
        return;
    char line[48];
    char* end = put_hex(line, map.block_pos);
    *end++ = ' ';
    *end++ = ' ';
    end = put_hex(end, map.block_size);
    *end++ = ' ';
    *end++ = ' ';
    *end++ = map.block_status;
    *end++ = '\n';
    std::fwrite(line, 1, static_cast<std::size_t>(end - line), map.out);
    map.block_size = 0;
}

// Adds the `size` bytes after those covered, merged with the block before
// when it has the same status.
void add_block(RescueMapfile& map, std::uint64_t size, char status)
{
    if (size == 0)
        return;
    if (map.block_size == 0 || map.block_status != status) {
        write_block(map);
        map.block_pos = map.covered;
        map.block_status = status;
    }
    map.block_size += size;
    map.covered += size;
}

} // namespace

const char* mapfile_create(RescueMapfile& map, const char* path, int image_fd, const char* image_path)
{
    map.path = path;
    struct stat existing {};
    if (stat(path, &existing) == 0) {
        struct stat image {};
        if (S_ISDIR(existing.st_mode))
            return std::strerror(EISDIR);
        if (!S_ISREG(existing.st_mode))
            return "not a regular file, which the mapfile would replace";
        if (fstat(image_fd, &image) == 0 && image.st_dev == existing.st_dev && image.st_ino == existing.st_ino)
            return "this is the image itself";
    } else if (map.path.back() == '/') {
        return std::strerror(errno); // a folder that is not there
    }
    const int fd = open_temporary(map);
    if (fd < 0)
        return std::strerror(errno);
    map.out = fdopen(fd, "w");
    if (map.out == nullptr) {
        const int error = errno;
        close(fd);
        mapfile_discard(map);
        return std::strerror(error);
    }
    mapfile_begin(map, map.out, image_path);
    return nullptr;
}

void mapfile_begin(RescueMapfile& map, std::FILE* out, const char* image_path)
{
    map.out = out;
    // One comment line whatever the path holds: control characters escaped.
    std::string image;
    for (const char* c = image_path; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte >= 0x20 && byte != 0x7f && byte != '\\') {
            image += *c;
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        image += escaped;
    }
    std::fprintf(out,
                 "# Mapfile. Created by sectorscan " SECTORSCAN_VERSION "\n"
                 "# Image: %s\n"
                 "# The areas marked ? are the runs of empty sectors in sectorscan's report,\n"
                 "# for ddrescue to read again from the original disc; + areas are done.\n"
                 "# current_pos  current_status  current_pass\n"
                 "0x00000000     ?               1\n"
                 "#      pos        size  status\n",
                 image.c_str());
}

void mapfile_add_run(RescueMapfile& map, std::uint64_t from, std::uint64_t to)
{
    add_block(map, from - std::min(from, map.covered), '+');
    add_block(map, to - std::min(to, map.covered), '?');
}

bool mapfile_end(RescueMapfile& map, std::uint64_t settled, std::uint64_t end)
{
    settled = std::min(settled, end);
    add_block(map, settled - std::min(settled, map.covered), '+');
    add_block(map, end - std::min(end, map.covered), '?');
    write_block(map);
    return std::fflush(map.out) == 0 && std::ferror(map.out) == 0;
}

int mapfile_commit(RescueMapfile& map, std::uint64_t settled, std::uint64_t end)
{
    // A write that failed during the scan shows only in the stream's error
    // flag, its errno long gone: then the cause is EIO, not a stale errno.
    errno = 0;
    if (!mapfile_end(map, settled, end) || fsync(fileno(map.out)) != 0) {
        const int error = errno != 0 ? errno : EIO;
        mapfile_discard(map);
        return error;
    }
    int error = 0;
    if (map.temp_path.empty()) {
        // Named beside `path` for a moment, then renamed over it in one step;
        // a name that is taken is left alone, and another tried.
        error = EEXIST;
        for (int attempt = 0; error == EEXIST && attempt < 100; ++attempt) {
            map.temp_path = map.path + ".sectorscan-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
            error = link_unnamed(fileno(map.out), map.temp_path);
        }
        if (error != 0)
            map.temp_path.clear();
    }
    if (error == 0 && rename(map.temp_path.c_str(), map.path.c_str()) != 0)
        error = errno;
    if (error == 0)
        map.temp_path.clear();
    if (std::fclose(map.out) != 0 && error == 0)
        error = errno;
    map.out = nullptr;
    mapfile_discard(map);
    return error;
}

void mapfile_discard(RescueMapfile& map)
{
    if (map.out != nullptr)
        std::fclose(map.out);
    map.out = nullptr;
    if (!map.temp_path.empty())
        unlink(map.temp_path.c_str());
    map.temp_path.clear();
}
