// Writing the ddrescue mapfile, and putting it in place only when complete.
#include "output/rescue_mapfile.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

#include "support/descriptors.h"
#include "support/fatal_signals.h"
#include "support/printable.h"

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
        const int fd = off_standard_streams(open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool same_file(const struct stat& file, int fd)
{
    struct stat open {};
    return fstat(fd, &open) == 0 && open.st_dev == file.st_dev && open.st_ino == file.st_ino;
}

// Whether this process may replace files of other users in a sticky folder
// (CAP_FOWNER, which root has).
bool may_replace_others_files()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    return syscall(SYS_capget, &header, data) == 0 && (data[0].effective & (1U << CAP_FOWNER)) != 0;
}

// Where the mapfile goes, in `target`: `path`, or the file a symbolic link
// there leads to, which is replaced while the link stays. Refuses what the
// mapfile must not or cannot replace, before anything is read.
Failure find_target(const std::string& path, int image_fd, std::string& target)
{
    target = path;
    struct stat named {};
    if (lstat(path.c_str(), &named) != 0) {
        // A new file; whether its folder takes it shows when the temporary
        // file is made. A name that ends in a slash names a folder.
        return errno == ENOENT && path.back() != '/' ? Failure{} : errno_failure();
    }
    const bool link = S_ISLNK(named.st_mode);
    struct stat existing {};
    if (stat(path.c_str(), &existing) != 0)
        return link && errno == ENOENT ? Failure{0, "a symbolic link that leads nowhere"} : errno_failure();
    if (S_ISDIR(existing.st_mode))
        return Failure{EISDIR};
    if (same_file(existing, STDOUT_FILENO))
        return Failure{0, "standard output, which holds the report, writes to this file"};
    if (same_file(existing, STDERR_FILENO))
        return Failure{0, "standard error writes to this file"};
    if (!S_ISREG(existing.st_mode))
        return Failure{0, "not a regular file, which the mapfile would replace"};
    if (same_file(existing, image_fd))
        return Failure{0, "this is the image itself"};
    if (link) {
        char* resolved = realpath(path.c_str(), nullptr);
        struct stat followed {};
        const bool found = resolved != nullptr && stat(resolved, &followed) == 0 &&
                           followed.st_dev == existing.st_dev && followed.st_ino == existing.st_ino;
        if (resolved != nullptr)
            target = resolved;
        std::free(resolved);
        if (!found)
            return Failure{0, "a symbolic link whose file cannot be named"};
    }
    // In a folder with the sticky bit (like /tmp), only the owner of a file
    // or of the folder may replace it.
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    struct stat parent {};
    if (stat(folder.c_str(), &parent) == 0 && (parent.st_mode & S_ISVTX) != 0 && existing.st_uid != geteuid() &&
        parent.st_uid != geteuid() && !may_replace_others_files())
        return Failure{0, "it belongs to another user, and its folder lets only owners replace files (sticky)"};
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
    failure_ = find_target(path, image_fd, target_);
    if (failure_)
        return;
    const int fd = create_beside(target_, temp_path_);
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
    // One comment line whatever the path holds.
    const std::string image = printable(image_path);
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
    const auto length = static_cast<std::size_t>(end - line);
    if (std::fwrite(line, 1, length, out_) != length && !write_failure_)
        write_failure_ = errno_failure(); // its errno is gone by the time of commit
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

void RescueMapfile::mark(std::uint64_t from, std::uint64_t to)
{
    const auto at = std::upper_bound(marked_.begin(), marked_.end(), std::pair{from, to});
    marked_.insert(at, {from, to});
}

void RescueMapfile::write_marked(std::uint64_t before)
{
    // In order of their starts, each from where the blocks so far end: one
    // that overlaps the last widens it.
    std::size_t written = 0;
    for (; written < marked_.size() && marked_[written].first < before; ++written) {
        const auto [from, to] = marked_[written];
        add_block(from - std::min(from, covered_), '+');
        add_block(to - std::min(to, covered_), '?');
    }
    marked_.erase(marked_.begin(), marked_.begin() + static_cast<std::ptrdiff_t>(written));
}

void RescueMapfile::settle(std::uint64_t settled)
{
    // A failed write shows in the stream's error flag, which commit reads.
    write_marked(settled);
}

Failure RescueMapfile::commit(std::uint64_t settled, std::uint64_t end)
{
    settled = std::min(settled, end);
    write_marked(UINT64_MAX);
    add_block(settled - std::min(settled, covered_), '+');
    add_block(end - std::min(end, covered_), '?');
    write_block();
    // A write that failed during the scan says why; one that left only the
    // stream's error flag (the header's) says EIO, not a stale errno.
    errno = 0;
    Failure failure = write_failure_;
    if (!failure && (std::fflush(out_) != 0 || std::ferror(out_) != 0 || fsync(fileno(out_)) != 0))
        failure = errno_failure();
    if (std::fclose(out_) != 0 && !failure)
        failure = errno_failure();
    out_ = nullptr;
    if (!failure && rename(temp_path_.c_str(), target_.c_str()) != 0)
        failure = errno_failure();
    if (!failure) {
        // A signal from here on would remove a name that is gone: harmless.
        set_file_to_remove(nullptr);
        temp_path_.clear();
    }
    return failure;
}
