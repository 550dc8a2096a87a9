// Opening, measuring and reading the image.
#include "image_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

ssize_t read_or_pread(int fd, void* buffer, std::size_t count, off_t offset)
{
    return offset < 0 ? read(fd, buffer, count) : pread(fd, buffer, count, offset);
}

// Waits until the stream has bytes (or its end) to hand out, or the scan is
// stopped. False when it was stopped.
bool wait_for_stream(int fd, const ReadStop& stop)
{
    if (stop.wake_fd < 0)
        return true;
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop.wake_fd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) >= 0)
            return (fds[1].revents & POLLIN) == 0;
        if (errno != EINTR)
            return true; // cannot wait here: let the read itself decide
    }
}

// True when the file system says that the `count` bytes at `offset` lie in a
// hole. False whenever that cannot be told: no SEEK_DATA (EINVAL), any other
// failure, or a file that no longer holds these bytes, so that reading finds
// out what happened.
bool in_hole(const ScanInput& input, std::uint64_t offset, std::size_t count, KnownHole& known)
{
    if (offset >= known.from && offset + count <= known.to)
        return true;
    const SeekFunction seek = input.seek_data != nullptr ? input.seek_data : lseek;
    const off_t data = seek(input.fd, static_cast<off_t>(offset), SEEK_DATA);
    if (data >= 0) {
        if (static_cast<std::uint64_t>(data) < offset + count)
            return false;
        known = KnownHole{offset, static_cast<std::uint64_t>(data)};
        return true;
    }
    if (errno != ENXIO)
        return false;
    // No data from `offset` on: a hole to the end, or a file that shrank.
    struct stat info {};
    if (fstat(input.fd, &info) != 0 || static_cast<std::uint64_t>(info.st_size) < offset + count)
        return false;
    // Remembered up to one byte short of the end, so that the last piece is
    // always asked about and a file that shrinks meanwhile is found out.
    const std::uint64_t end = std::min(static_cast<std::uint64_t>(info.st_size), input.size.value_or(0));
    if (end > offset + count)
        known = KnownHole{offset, end - 1};
    return true;
}

} // namespace

std::optional<std::uint64_t> file_size(int fd)
{
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0 || lseek(fd, 0, SEEK_SET) < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(end);
}

int open_image(const char* path, ScanInput& input)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        const int error = S_ISDIR(info.st_mode) ? EISDIR : errno;
        close(fd);
        return error;
    }
    input.fd = fd;
    // Only a regular file or a block device has a length that seeking can
    // tell. A character device such as /dev/zero or a tape seeks to 0 or
    // fails: it is read to its end, like a pipe.
    if (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode))
        input.size = file_size(fd);
    input.may_have_holes = S_ISREG(info.st_mode) && info.st_blocks * 512 < info.st_size;
    // Sequential read-ahead; fails harmlessly on a pipe.
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return 0;
}

Filled read_fully(const ScanInput& input, std::uint64_t offset, unsigned char* buffer, std::size_t count,
                  const ReadStop& stop, KnownHole& hole)
{
    const ReadFunction read_at = input.read_at != nullptr ? input.read_at : read_or_pread;
    std::size_t want = count;
    if (input.size)
        want = static_cast<std::size_t>(std::min<std::uint64_t>(count, *input.size - std::min(offset, *input.size)));
    Filled filled;
    if (input.may_have_holes && input.size && want > 0 && in_hole(input, offset, want, hole)) {
        filled.bytes = want;
        filled.hole = true;
        if (offset + want == *input.size)
            filled.end = ReadEnd::image_end;
        return filled;
    }
    while (filled.bytes < want) {
        if (stop.stop != nullptr && stop.stop->load(std::memory_order_relaxed)) {
            filled.end = ReadEnd::stopped;
            return filled;
        }
        const bool stream = !input.size;
        if (stream && !wait_for_stream(input.fd, stop)) {
            filled.end = ReadEnd::stopped;
            return filled;
        }
        const off_t at = stream ? -1 : static_cast<off_t>(offset + filled.bytes);
        const ssize_t n = read_at(input.fd, buffer + filled.bytes, want - filled.bytes, at);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            filled.end = ReadEnd::read_failed;
            filled.error = errno;
            return filled;
        }
        if (n == 0) {
            filled.end = stream ? ReadEnd::image_end : ReadEnd::shrank;
            return filled;
        }
        filled.bytes += static_cast<std::size_t>(n);
    }
    if (input.size && offset + filled.bytes == *input.size)
        filled.end = ReadEnd::image_end;
    return filled;
}
