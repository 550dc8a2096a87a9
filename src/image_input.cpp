// Opening, measuring and reading the image.
#include "image_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "sector_checks.h"

namespace {

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

// The data in [from, to) of a file that may have holes: where it starts,
// and where the hole after it starts (at most `to`). No data: both are `to`.
// Where the file system cannot tell (no SEEK_DATA, any failure, or a file
// that no longer holds these bytes), all of it is data, so that reading
// finds out what happened.
struct DataExtent {
    std::uint64_t from = 0;
    std::uint64_t to = 0;
};

DataExtent next_data(const ScanInput& input, std::uint64_t from, std::uint64_t to, KnownHole& known)
{
    const SeekFunction seek = input.seek_data != nullptr ? input.seek_data : lseek;
    const off_t data = seek(input.fd, static_cast<off_t>(from), SEEK_DATA);
    if (data < 0) {
        if (errno != ENXIO)
            return {from, to};
        // No data from `from` on: a hole to the end, or a file that shrank.
        struct stat info {};
        if (fstat(input.fd, &info) != 0 || static_cast<std::uint64_t>(info.st_size) < to)
            return {from, to};
        // Remembered up to one byte short of the end, so that the last piece
        // is always asked about and a file that shrinks meanwhile is found out.
        const std::uint64_t end = std::min(static_cast<std::uint64_t>(info.st_size), input.size.value_or(0));
        if (end > to)
            known = KnownHole{from, end - 1};
        return {to, to};
    }
    const auto start = static_cast<std::uint64_t>(data);
    if (start > from)
        known = KnownHole{from, start};
    if (start >= to)
        return {to, to};
    const off_t hole = seek(input.fd, data, SEEK_HOLE);
    return {start, hole < 0 ? to : std::min(to, static_cast<std::uint64_t>(hole))};
}

// Reads `count` bytes at `offset` into `buffer`, as far as they go.
Filled read_range(const ScanInput& input, std::uint64_t offset, unsigned char* buffer, std::size_t count,
                  const ReadStop& stop)
{
    const ReadFunction read_at = input.read_at != nullptr ? input.read_at : read_or_pread;
    const bool stream = !input.size;
    Filled filled;
    while (filled.bytes < count) {
        if (stop.stop != nullptr && stop.stop->load(std::memory_order_relaxed)) {
            filled.end = ReadEnd::stopped;
            return filled;
        }
        if (stream && !wait_for_stream(input.fd, stop)) {
            filled.end = ReadEnd::stopped;
            return filled;
        }
        const off_t at = stream ? -1 : static_cast<off_t>(offset + filled.bytes);
        const ssize_t n = read_at(input.fd, buffer + filled.bytes, count - filled.bytes, at);
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
    return filled;
}

// Adds the whole sectors of buffer bytes [from, to) to `spans`, joined to the
// last span where they touch it.
void add_span(std::vector<SectorSpan>& spans, std::size_t from, std::size_t to)
{
    const SectorSpan span{from / SECTOR_SIZE, to / SECTOR_SIZE};
    if (span.first == span.end)
        return;
    if (!spans.empty() && spans.back().end == span.first)
        spans.back().end = span.end;
    else
        spans.push_back(span);
}

// True when `path` names what is open on descriptor `fd`, as /dev/stdin and
// /proc/self/fd/0 name descriptor 0.
bool names_descriptor(const char* path, int fd)
{
    struct stat named {};
    struct stat open {};
    return stat(path, &named) == 0 && fstat(fd, &open) == 0 && named.st_dev == open.st_dev &&
           named.st_ino == open.st_ino;
}

} // namespace

ssize_t read_or_pread(int fd, void* buffer, std::size_t count, off_t offset)
{
    return offset < 0 ? read(fd, buffer, count) : pread(fd, buffer, count, offset);
}

std::optional<std::uint64_t> file_size(int fd)
{
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0 || lseek(fd, 0, SEEK_SET) < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(end);
}

int open_image(const char* path, ScanInput& input)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    // A socket cannot be opened by name (ENXIO), but standard input may be
    // one (inetd, socket activation, some shells' pipes): read it as it is.
    if (fd < 0 && errno == ENXIO && names_descriptor(path, STDIN_FILENO))
        fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
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

std::uint64_t hole_ahead(const KnownHole& hole, std::uint64_t from, std::uint64_t to)
{
    if (from < hole.from || from >= hole.to || from >= to)
        return 0;
    return std::min(to, hole.to) - from;
}

Filled read_fully(const ScanInput& input, std::uint64_t offset, unsigned char* buffer, std::size_t count,
                  const ReadStop& stop, KnownHole& hole, std::vector<SectorSpan>& spans)
{
    spans.clear();
    std::size_t want = count;
    if (input.size)
        want = static_cast<std::size_t>(std::min<std::uint64_t>(count, *input.size - std::min(offset, *input.size)));
    Filled filled;
    if (!input.may_have_holes || !input.size || want == 0) {
        filled = read_range(input, offset, buffer, want, stop);
        add_span(spans, 0, filled.bytes);
    } else {
        // Only the data, in whole sectors: the sectors between lie wholly in
        // holes and are zeros.
        const std::uint64_t end = offset + want;
        std::uint64_t at = offset;
        while (at < end && filled.end == ReadEnd::more) {
            const DataExtent data = next_data(input, at, end, hole);
            if (data.from == end)
                break;
            // Sectors lie at multiples of SECTOR_SIZE from the image's start,
            // and so from the start of the buffer.
            const std::uint64_t from = std::max(at, data.from / SECTOR_SIZE * SECTOR_SIZE);
            const std::uint64_t to = std::min(end, (data.to + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE);
            const Filled part = read_range(input, from, buffer + (from - offset), to - from, stop);
            add_span(spans, from - offset, from - offset + part.bytes);
            filled.end = part.end;
            filled.error = part.error;
            filled.bytes = static_cast<std::size_t>(from - offset) + part.bytes;
            at = to;
        }
        if (filled.end == ReadEnd::more)
            filled.bytes = want;
        filled.hole = spans.empty() && filled.end == ReadEnd::more;
    }
    if (filled.end == ReadEnd::more && input.size && offset + filled.bytes == *input.size)
        filled.end = ReadEnd::image_end;
    return filled;
}
