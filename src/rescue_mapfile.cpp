// Writing the ddrescue mapfile, and putting it in place only when complete.
#include "rescue_mapfile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

#include "fatal_signals.h"

namespace {

// A temporary name ends in a dot and this many random letters.
constexpr std::size_t SUFFIX = 6;
// The most of the mapfile's own name kept in the temporary name, so that it
// fits a file system's 255 bytes however long the mapfile's name is.
constexpr std::size_t KEPT_NAME = 200;

// A new file beside `path`, named like it with a random suffix, for writing
// with the mode of a file created by `>` (0666 less the umask). Returns its
// descriptor, or -1 with errno set, and its name in `name`.
int create_beside(const std::string& path, std::string& name)
{
    const std::size_t slash = path.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    const std::string stem = path.substr(0, base + std::min(KEPT_NAME, path.size() - base)) + ".";
    constexpr char LETTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 16; ++attempt) {
        unsigned char random[SUFFIX] = {};
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            for (std::size_t k = 0; k < SUFFIX; ++k) // no random bytes to be had: vary by process and attempt
                random[k] = static_cast<unsigned char>(getpid() >> (4 * k)) ^ static_cast<unsigned char>(attempt * 37);
        }
        name = stem;
        for (const unsigned char r : random)
            name += LETTERS[r % (sizeof LETTERS - 1)];
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Why `path` cannot take the mapfile, if it exists and cannot.
Failure check_target(const std::string& path, int image_fd)
{
    struct stat existing {};
    if (stat(path.c_str(), &existing) != 0) {
        // A name that ends in a slash names a folder, which is not there.
        return path.back() == '/' ? errno_failure() : Failure{};
    }
    if (S_ISDIR(existing.st_mode))
        return Failure{EISDIR};
    if (!S_ISREG(existing.st_mode))
        return Failure{0, "not a regular file, which the mapfile would replace"};
    struct stat image {};
    if (fstat(image_fd, &image) == 0 && image.st_dev == existing.st_dev && image.st_ino == existing.st_ino)
        return Failure{0, "this is the image itself"};
    return {};
}

// "0x" and `value` in upper-case hexadecimal, at least eight digits, as
// ddrescue writes positions; returns the end.
char* put_hex(char* out, std::uint64_t value)
{
    char digits[16];
    char* const end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
    *out++ = '0';
    *out++ = 'x';
    for (auto count = end - digits; count < 8; ++count)
        *out++ = '0';
    return std::transform(digits, end, out, [](char c) { return static_cast<char>(std::toupper(c)); });
}

} // namespace

RescueMapfile::RescueMapfile(const char* path, int image_fd, const char* image_path) : path_(path)
{
    failure_ = check_target(path_, image_fd);
    if (failure_)
        return;
    const int fd = create_beside(path_, temp_path_);
    if (fd < 0) {
        failure_ = errno_failure();
        temp_path_.clear();
        return;
    }
    // A signal that ends the scan removes it; only SIGKILL leaves it behind.
    set_file_to_remove(temp_path_.c_str());
    catch_fatal_signals(true);
    out_ = fdopen(fd, "w");
    if (out_ == nullptr) {
        failure_ = errno_failure();
        close(fd);
        return;
    }
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
    std::fprintf(out_,
                 "# Mapfile. Created by sectorscan " SECTORSCAN_VERSION "\n"
                 "# Image: %s\n"
                 "# The areas marked ? are the runs of empty sectors in sectorscan's report,\n"
                 "# for ddrescue to read again from the original disc; + areas are done.\n"
                 "# current_pos  current_status  current_pass\n"
                 "0x00000000     ?               1\n"
                 "#      pos        size  status\n",
                 image.c_str());
}

RescueMapfile::~RescueMapfile()
{
    if (out_ != nullptr)
        std::fclose(out_);
    if (!temp_path_.empty())
        unlink(temp_path_.c_str());
    set_file_to_remove(nullptr);
}

void RescueMapfile::write_block()
{
    if (block_size_ == 0)
        return;
    char line[48];
    char* end = put_hex(line, block_pos_);
    end = std::copy_n("  ", 2, end);
    end = put_hex(end, block_size_);
    end = std::copy_n("  ", 2, end);
    *end++ = block_status_;
    *end++ = '\n';
    std::fwrite(line, 1, static_cast<std::size_t>(end - line), out_);
    block_size_ = 0;
}

void RescueMapfile::add_block(std::uint64_t size, char status)
{
    if (size == 0)
        return;
    if (block_size_ == 0 || block_status_ != status) {
        write_block();
        block_pos_ = covered_;
        block_status_ = status;
    }
    block_size_ += size;
    covered_ += size;
}

Failure RescueMapfile::run_closed(const ClosedRun& run)
{
    const std::uint64_t from = run.first * SECTOR_SIZE;
    const std::uint64_t to = (run.last + 1) * SECTOR_SIZE;
    add_block(from - std::min(from, covered_), '+');
    add_block(to - std::min(to, covered_), '?');
    // A failed write shows in the stream's error flag, which commit reads.
    return {};
}

Failure RescueMapfile::commit(std::uint64_t settled, std::uint64_t end)
{
    settled = std::min(settled, end);
    add_block(settled - std::min(settled, covered_), '+');
    add_block(end - std::min(end, covered_), '?');
    write_block();
    // A write that failed during the scan shows only in the stream's error
    // flag, its errno long gone: then the cause is EIO, not a stale errno.
    errno = 0;
    Failure failure;
    if (std::fflush(out_) != 0 || std::ferror(out_) != 0 || fsync(fileno(out_)) != 0)
        failure = errno_failure();
    if (std::fclose(out_) != 0 && !failure)
        failure = errno_failure();
    out_ = nullptr;
    if (!failure && rename(temp_path_.c_str(), path_.c_str()) != 0)
        failure = errno_failure();
    if (!failure) {
        // A signal from here on would remove a name that is gone: harmless.
        set_file_to_remove(nullptr);
        temp_path_.clear();
    }
    return failure;
}
