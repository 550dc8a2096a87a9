// Opening, measuring and reading the image.
#include "scan/image_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <new>
#include <string>

#include "scan/mapped_pages.h"
#include "support/descriptors.h"

namespace {

// Read buffers start on a huge page and are offered to the kernel for
// transparent huge pages, which makes its copy from the page cache cheaper.
constexpr std::size_t HUGE_PAGE_SIZE = std::size_t{2} << 20U;

// Waits until `fd` has bytes (or its end) to hand out, or until the scan is
// stopped. False when it was stopped.
bool wait_for_stream(int fd, const ReadStop& stop)
{
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop.wake_fd, POLLIN, 0}};
    const nfds_t count = stop.wake_fd >= 0 ? 2 : 1;
    for (;;) {
        if (poll(fds, count, -1) >= 0)
            return count == 1 || (fds[1].revents & POLLIN) == 0;
        if (errno != EINTR)
            return true; // cannot wait here: let the read itself decide
    }
}

struct Filled {
    std::size_t bytes = 0;
    ReadEnd end = ReadEnd::more;
    int error = 0;
};

// Reads `count` bytes at `offset` (a stream: its next bytes) into `buffer`
// until all are there or the image ends. A pipe hands out a few KiB per read
// and a signal may cut a read short, so it reads again.
Filled fill(const ImageInput& input, std::uint64_t offset, unsigned char* buffer, std::size_t count,
            const ReadStop& stop)
{
    const bool stream = !input.size();
    Filled filled;
    while (filled.bytes < count) {
        // A stream is waited for before its read, so that a stop can end the
        // wait for a stalled writer.
        if ((stop.stop != nullptr && stop.stop->load(std::memory_order_relaxed)) ||
            (stream && stop.wake_fd >= 0 && !wait_for_stream(input.fd(), stop))) {
            filled.end = ReadEnd::stopped;
            return filled;
        }
        // What was read of a stream to look at it comes first.
        if (stream) {
            if (const std::size_t kept = input.take_head(buffer + filled.bytes, count - filled.bytes); kept > 0) {
                filled.bytes += kept;
                continue;
            }
        }
        const ssize_t n = stream ? read(input.fd(), buffer + filled.bytes, count - filled.bytes)
                                 : pread(input.fd(), buffer + filled.bytes, count - filled.bytes,
                                         static_cast<off_t>(offset + filled.bytes));
        // A stream that does not block (a socket set so by whoever handed it
        // over) is waited for like one that does.
        const bool would_block = n < 0 && stream && (errno == EAGAIN || errno == EWOULDBLOCK);
        if (would_block && !wait_for_stream(input.fd(), stop)) {
            filled.end = ReadEnd::stopped;
            return filled;
        }
        if (would_block || (n < 0 && errno == EINTR))
            continue;
        if (n <= 0) {
            filled.end = n < 0 ? ReadEnd::read_failed : stream ? ReadEnd::image_end : ReadEnd::shrank;
            filled.error = n < 0 ? errno : 0;
            return filled;
        }
        filled.bytes += static_cast<std::size_t>(n);
    }
    return filled;
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

// Whether the block device `device` is a disc drive (SCSI type 5, as sr
// devices are) or says it rotates, itself or as the disk a partition is of.
bool reads_in_order(dev_t device)
{
    const std::string at = "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    const auto first_char = [](const std::string& path) {
        char c = 0;
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            if (read(fd, &c, 1) != 1)
                c = 0;
            close(fd);
        }
        return c;
    };
    if (first_char(at + "/device/type") == '5' || first_char(at + "/../device/type") == '5')
        return true;
    const char rotational = first_char(at + "/queue/rotational");
    return (rotational != 0 ? rotational : first_char(at + "/../queue/rotational")) == '1';
}

} // namespace

std::size_t ImageInput::read_head(std::size_t count)
{
    head_.resize(count);
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = read(fd_, head_.data() + got, count - got);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (errno != EINTR) {
                pollfd wait{fd_, POLLIN, 0};
                poll(&wait, 1, -1);
            }
            continue;
        }
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    head_.resize(got);
    return got;
}

std::size_t ImageInput::take_head(unsigned char* buffer, std::size_t count) const
{
    const std::size_t take = std::min(count, head_.size() - head_taken_);
    std::copy_n(head_.data() + head_taken_, take, buffer);
    head_taken_ += take;
    return take;
}

ImageInput::~ImageInput()
{
    if (fd_ >= 0)
        close(fd_);
}

std::optional<std::uint64_t> file_size(int fd)
{
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0 || lseek(fd, 0, SEEK_SET) < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(end);
}

Failure open_image(const char* path, ImageInput& input)
{
    int fd = off_standard_streams(open(path, O_RDONLY | O_CLOEXEC));
    // A socket cannot be opened by name (ENXIO), but standard input may be
    // one (inetd, socket activation, some shells' pipes): read it as it is.
    // Only a path that names descriptor 0 itself is: any other that cannot
    // be opened fails.
    if (fd < 0 && errno == ENXIO && names_descriptor(path, STDIN_FILENO))
        fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (fd < 0)
        return errno_failure();
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        const Failure failure = S_ISDIR(info.st_mode) ? Failure{EISDIR} : errno_failure();
        close(fd);
        return failure;
    }
    input.fd_ = fd;
    // Only a regular file or a block device has a length that seeking can
    // tell. A character device such as /dev/zero or a tape seeks to 0 or
    // fails: it is read to its end, like a pipe.
    if (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode))
        input.size_ = file_size(fd);
    input.regular_ = S_ISREG(info.st_mode);
    input.in_order_ = S_ISBLK(info.st_mode) && reads_in_order(info.st_rdev);
    input.may_have_holes_ = input.regular_ && input.size_ && info.st_blocks * 512 < info.st_size;
    // Sequential read-ahead; fails harmlessly on a pipe.
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return {};
}

ImageReader::ImageReader(const ImageInput& input, std::size_t slice_size, const FrameGeometry& geometry,
                         const ReadWays& ways, unsigned char* buffer)
    : input_(input), slice_size_(slice_size), geometry_(geometry), ways_(ways),
      // Only a regular file without holes is mapped: a stream cannot be, a
      // device's size fstat does not tell, and holes are not read at all.
      choice_(input.regular() && input.size() && !input.may_have_holes() && ways.way != ReadWay::read), buffer_(buffer)
{
}

std::uint64_t ImageReader::round_down(std::uint64_t byte) const
{
    const std::uint64_t size = geometry_.layout.size;
    return byte < geometry_.base ? geometry_.base : geometry_.base + (byte - geometry_.base) / size * size;
}

std::uint64_t ImageReader::round_up(std::uint64_t byte) const
{
    const std::uint64_t size = geometry_.layout.size;
    return byte < geometry_.base ? geometry_.base : geometry_.base + (byte - geometry_.base + size - 1) / size * size;
}

std::unique_ptr<ImageReader> ImageReader::create(const ImageInput& input, std::size_t slice_size,
                                                 const FrameGeometry& geometry, const ReadWays& ways)
{
    const std::size_t bytes = (slice_size + HUGE_PAGE_SIZE - 1) / HUGE_PAGE_SIZE * HUGE_PAGE_SIZE;
    auto* buffer = static_cast<unsigned char*>(std::aligned_alloc(HUGE_PAGE_SIZE, bytes));
    if (buffer == nullptr)
        return nullptr;
#ifdef MADV_HUGEPAGE
    // Only advice: where the kernel offers no huge pages it is ignored.
    madvise(buffer, bytes, MADV_HUGEPAGE);
#endif
    auto* reader = new (std::nothrow) ImageReader(input, slice_size, geometry, ways, buffer);
    if (reader == nullptr)
        std::free(buffer);
    return std::unique_ptr<ImageReader>(reader);
}

std::uint64_t ImageReader::known_zeros(std::uint64_t offset) const
{
    return offset >= hole_from_ && offset < hole_to_ ? hole_to_ - offset : 0;
}

ImageReader::DataExtent ImageReader::next_data(std::uint64_t from, std::uint64_t to)
{
    // Where the file system cannot tell (no SEEK_DATA, any failure, an answer
    // that does not move forward, or a file that no longer holds these
    // bytes), all of it is data, so that reading finds out what happened.
    const off_t data = lseek(input_.fd(), static_cast<off_t>(from), SEEK_DATA);
    if (data < 0) {
        if (errno != ENXIO)
            return {from, to};
        // No data from `from` on: a hole to the end, or a file that shrank.
        struct stat info {};
        if (fstat(input_.fd(), &info) != 0 || static_cast<std::uint64_t>(info.st_size) < to)
            return {from, to};
        // Remembered up to one byte short of the end: see known_zeros.
        const std::uint64_t end = std::min(static_cast<std::uint64_t>(info.st_size), input_.size().value_or(0));
        if (end > to) {
            hole_from_ = from;
            hole_to_ = end - 1;
        }
        return {to, to};
    }
    const auto start = static_cast<std::uint64_t>(data);
    if (start < from)
        return {from, to};
    if (start > from) {
        hole_from_ = from;
        hole_to_ = start;
    }
    if (start >= to)
        return {to, to};
    const off_t hole = lseek(input_.fd(), data, SEEK_HOLE);
    if (hole <= data)
        return {start, to};
    return {start, std::min(to, static_cast<std::uint64_t>(hole))};
}

namespace {

// The CPU time this thread has used: what taking in a claim costs it,
// whatever other processes do, and without the time it waited for a disk,
// which is the same either way.
std::uint64_t thread_cpu_ns()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000ULL + static_cast<std::uint64_t>(t.tv_nsec);
}

} // namespace

std::uint64_t ImageReader::frames_end(std::uint64_t offset, std::uint64_t length) const
{
    const std::optional<std::uint64_t>& size = input_.size();
    std::optional<std::uint64_t> limit = geometry_.end;
    if (size)
        limit = std::min(limit.value_or(*size), *size);
    return limit ? offset + std::min(length, *limit - std::min(offset, *limit)) : offset + length;
}

ReadOutcome ImageReader::take(ReadWay way, std::uint64_t offset, std::uint64_t end, const ReadStop& stop,
                              StretchBuilder& checker, bool timed)
{
    // Only a probe is timed: the clock of a thread's CPU time costs a system
    // call, too many to ask at every claim.
    const std::uint64_t start = timed ? thread_cpu_ns() : 0;
    bool mapped = way == ReadWay::map && choice_.can_map();
    const ReadOutcome outcome =
        mapped ? read_mapped(offset, end, stop, checker, mapped) : read_sliced(offset, end, stop, checker);
    if (timed && (outcome.end == ReadEnd::more || outcome.end == ReadEnd::image_end))
        choice_.record(mapped ? ReadWay::map : ReadWay::read, outcome.bytes, thread_cpu_ns() - start);
    return outcome;
}

ReadOutcome ImageReader::read(std::uint64_t offset, std::uint64_t length, const ReadStop& stop, StretchBuilder& checker)
{
    const std::uint64_t end = frames_end(offset, length);
    ReadChoice::Take next = choice_.next();
    if (ways_.way)
        next = ReadChoice::Take{*ways_.way, false};
    ReadOutcome outcome;
    if (next.probe) {
        // The first slice the other way, then the rest as usual.
        const std::uint64_t split = std::min(end, offset + slice_size_);
        outcome = take(next.way == ReadWay::map ? ReadWay::read : ReadWay::map, offset, split, stop, checker, true);
        if (outcome.end == ReadEnd::more && split < end) {
            const ReadOutcome rest = take(next.way, split, end, stop, checker, true);
            outcome.bytes += rest.bytes;
            outcome.end = rest.end;
            outcome.error = rest.error;
        }
    } else {
        outcome = take(next.way, offset, end, stop, checker, false);
    }
    settle_shrink(offset, outcome, checker);
    if (outcome.end == ReadEnd::more && input_.size() && offset + outcome.bytes == frames_end(offset, UINT64_MAX))
        outcome.end = ReadEnd::image_end;
    return outcome;
}

ReadOutcome ImageReader::read_sliced(std::uint64_t offset, std::uint64_t end, const ReadStop& stop,
                                     StretchBuilder& checker)
{
    const std::uint64_t frame = geometry_.layout.size;
    const auto address = [&](std::uint64_t byte) { return geometry_.first + (byte - geometry_.base) / frame; };
    ReadOutcome outcome;
    std::uint64_t at = offset;
    while (at < end && outcome.end == ReadEnd::more) {
        // Frames lie at multiples of their size from the base.
        std::uint64_t data_from = at;
        std::uint64_t data_to = end;
        if (input_.may_have_holes()) {
            const std::uint64_t zeros = std::min(known_zeros(at), end - at) / frame * frame;
            if (zeros > 0) {
                checker.zeros(zeros / frame);
                at += zeros;
                continue;
            }
            const DataExtent data = next_data(at, end);
            data_from = data.from == end ? end : std::max(at, round_down(data.from));
            data_to = std::min(end, round_up(data.to));
            checker.zeros((data_from - at) / frame);
            at = data_from;
        }
        while (at < data_to) {
            const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(slice_size_, data_to - at));
            const Filled filled = fill(input_, at, buffer_.get(), count, stop);
            checker.check(buffer_.get(), filled.bytes / frame, address(at));
            at += filled.bytes;
            if (filled.end != ReadEnd::more) {
                outcome.end = filled.end;
                outcome.error = filled.error;
                break;
            }
        }
    }
    outcome.bytes = at - offset;
    return outcome;
}

ReadOutcome ImageReader::read_mapped(std::uint64_t offset, std::uint64_t end, const ReadStop& stop,
                                     StretchBuilder& checker, bool& mapped)
{
    ReadOutcome outcome;
    if (stop.stop != nullptr && stop.stop->load(std::memory_order_relaxed)) {
        outcome.end = ReadEnd::stopped;
        return outcome;
    }
    const MappedPages pages(input_.fd(), offset, end - offset);
    if (!pages.ok()) {
        // Bytes the file no longer holds (EFAULT) are found out by reading;
        // anything else that cannot be mapped is read from now on.
        if (pages.error() != EFAULT)
            choice_.cannot_map();
        mapped = false;
        return read_sliced(offset, end, stop, checker);
    }
    if (ways_.before_mapped_check)
        ways_.before_mapped_check();
    // Checked where the pages lie, a slice at a time, each guarded: where
    // the file was cut short under the mapping, the slice's check is undone
    // and the rest of the claim is read, which finds where the file ends
    // now, as reading a file cut short does.
    const std::uint64_t frame = geometry_.layout.size;
    const std::uint64_t frames = (end - offset) / frame;
    const std::uint64_t slice = std::max<std::uint64_t>(slice_size_ / frame, 1);
    std::uint64_t done = 0;
    while (done < frames) {
        if (stop.stop != nullptr && stop.stop->load(std::memory_order_relaxed)) {
            outcome.end = ReadEnd::stopped;
            break;
        }
        const std::uint64_t count = std::min(slice, frames - done);
        const unsigned char* at = pages.data() + done * frame;
        const StretchBuilder::Mark before = checker.mark();
        const std::uint64_t address = geometry_.first + (offset + done * frame - geometry_.base) / frame;
        if (!run_guarded(at, count * frame, [&] { checker.check(at, count, address); })) {
            checker.rewind(before);
            ReadOutcome rest = read_sliced(offset + done * frame, end, stop, checker);
            rest.bytes += done * frame;
            return rest;
        }
        done += count;
    }
    // A partial frame at the image's end is taken in too, unchecked.
    outcome.bytes = done == frames && outcome.end == ReadEnd::more ? end - offset : done * frame;
    return outcome;
}

void ImageReader::settle_shrink(std::uint64_t offset, ReadOutcome& outcome, StretchBuilder& checker) const
{
    // A read that a truncation overtakes may return its full count, zeros
    // past the new end: what the file no longer holds was never read; so
    // also pages mapped and checked before the file was cut short.
    const std::optional<std::uint64_t>& size = input_.size();
    struct stat info {};
    if (size && input_.regular() && outcome.end != ReadEnd::stopped && fstat(input_.fd(), &info) == 0 &&
        static_cast<std::uint64_t>(info.st_size) < offset + outcome.bytes) {
        outcome.bytes = static_cast<std::uint64_t>(std::max<off_t>(info.st_size, static_cast<off_t>(offset))) - offset;
        checker.keep(outcome.bytes / geometry_.layout.size);
        outcome.end = ReadEnd::shrank;
        outcome.error = 0;
    }
}
