// The image being scanned: opening and measuring it, and reading it as
// segments, either bytes read or sectors known to be zeros. All that is
// known of a file's holes lives here.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "scan/read_choice.h"
#include "scan/sector_checks.h"
#include "support/failure.h"

// The open image, closed with the object.
class ImageInput {
public:
    ImageInput() = default;
    ImageInput(const ImageInput&) = delete;
    ImageInput& operator=(const ImageInput&) = delete;
    ~ImageInput();

    int fd() const { return fd_; }
    // Bytes to scan, measured once when the image was opened; none for an
    // input that cannot seek (a pipe), which is read to its end.
    const std::optional<std::uint64_t>& size() const { return size_; }
    // A regular file with fewer bytes allocated than its length: it may have
    // holes, which read as zeros, and only its data is read. Never so for a
    // dense file, which is read without asking where its data lies
    // (SEEK_DATA can be slow while a file has unwritten changes).
    bool may_have_holes() const { return may_have_holes_; }
    // A regular file, whose size fstat tells while it is read (a device's
    // it does not).
    bool regular() const { return regular_; }
    // A disc drive or a rotating disk: read in order by one reader, since
    // several reading a few MiB apart would make it seek.
    bool reads_in_order() const { return in_order_; }

    // Of a stream: reads up to `count` of its first bytes (fewer where it
    // ends or fails) and keeps them, for a look at them before the scan;
    // the scan's reads hand them out again first. Returns how many it holds.
    std::size_t read_head(std::size_t count);
    const std::vector<unsigned char>& head() const { return head_; }
    // Copies up to `count` of the kept bytes not yet handed out to `buffer`;
    // how many. Only one reader reads a stream at a time.
    std::size_t take_head(unsigned char* buffer, std::size_t count) const;

private:
    friend Failure open_image(const char* path, ImageInput& input);
    int fd_ = -1;
    std::optional<std::uint64_t> size_;
    bool may_have_holes_ = false;
    bool regular_ = false;
    bool in_order_ = false;
    std::vector<unsigned char> head_;
    mutable std::size_t head_taken_ = 0;
};

// Opens `path` for reading and measures it if it is a regular file or a
// block device. A directory fails with EISDIR.
Failure open_image(const char* path, ImageInput& input);

// Length of the file by seeking to its end and back to the start; none when
// it cannot seek.
std::optional<std::uint64_t> file_size(int fd);

// How reading a stretch of the image ended.
enum class ReadEnd {
    more,        // all of it was read and the image goes on
    image_end,   // the image ends with these bytes
    read_failed, // a read failed
    shrank,      // a measured image ended early: it shrank while being read
    stopped,     // the scan was stopped
};

struct ReadOutcome {
    // Bytes taken in from the stretch's start, read or known to be zeros,
    // a partial sector at the end of the image included.
    std::uint64_t bytes = 0;
    ReadEnd end = ReadEnd::more;
    int error = 0; // errno of a failed read
};

// What a read checks before it starts: `stop`, set when the scan ends early,
// and for a stream `wake_fd` (or -1), which becomes readable at the same
// moment, so that a read that would wait for a stalled writer is never begun.
struct ReadStop {
    const std::atomic<bool>* stop = nullptr;
    int wake_fd = -1;
};

// The most one read takes in: its bytes are checked while they are still in
// the core's cache, before the next read replaces them.
inline constexpr std::size_t SLICE_SIZE = std::size_t{512} << 10U;

// Where the sectors a reader checks lie in the image: frames of `layout`
// from byte `base` on, the first at disc address `first`, up to byte `end`
// (none: the image's end).
struct FrameGeometry {
    std::uint64_t base = 0;
    SectorLayout layout;
    std::uint64_t first = 0;
    std::optional<std::uint64_t> end;
};

// How a reader takes in its claims: chosen as it goes (no `way`), or
// always one way where it can; `before_mapped_check`, for the tests.
struct ReadWays {
    std::optional<ReadWay> way;
    std::function<void()> before_mapped_check;
};

// One thread's reader of the image: its buffer, the way it takes in claims,
// and the last hole it was told of, which spares the questions for the rest
// of a long hole.
class ImageReader {
public:
    // A reader whose reads take in at most `slice_size` bytes, a whole number
    // of frames; nullptr when its buffer cannot be had. Nothing is thrown:
    // under a memory limit tight enough, not even an exception can be had.
    static std::unique_ptr<ImageReader> create(const ImageInput& input, std::size_t slice_size,
                                               const FrameGeometry& geometry = {}, const ReadWays& ways = {});

    // How many bytes from `offset` on are known to be zeros from an earlier
    // answer of the file system. Never the image's last byte, so that its end
    // is always asked about and a file that shrank is found out.
    std::uint64_t known_zeros(std::uint64_t offset) const;

    // Takes in the `length` bytes at `offset`, the start of a frame (of a
    // stream: its next bytes) and hands them to `checker` in file order, in
    // slices: the frames read or mapped, and those that lie wholly in holes
    // as zeros, unread. A frame partly in a hole is read whole. Stops early
    // at the end of the frames or the image, at a failed read, when the
    // file is cut short under it, or when stopped; the frames before are
    // handed on. Of a regular file with no holes the claim is read or
    // mapped, whichever this reader has found cheaper (see read_choice.h).
    ReadOutcome read(std::uint64_t offset, std::uint64_t length, const ReadStop& stop, StretchBuilder& checker);

    // The way this reader prefers, for the tests.
    ReadWay preferred_way() const { return choice_.preferred(); }

private:
    ImageReader(const ImageInput& input, std::size_t slice_size, const FrameGeometry& geometry, const ReadWays& ways,
                unsigned char* buffer);
    std::uint64_t round_down(std::uint64_t byte) const;
    std::uint64_t round_up(std::uint64_t byte) const;
    std::uint64_t frames_end(std::uint64_t offset, std::uint64_t length) const;
    ReadOutcome take(ReadWay way, std::uint64_t offset, std::uint64_t end, const ReadStop& stop,
                     StretchBuilder& checker, bool timed);
    ReadOutcome read_sliced(std::uint64_t offset, std::uint64_t end, const ReadStop& stop, StretchBuilder& checker);
    ReadOutcome read_mapped(std::uint64_t offset, std::uint64_t end, const ReadStop& stop, StretchBuilder& checker,
                            bool& mapped);
    void settle_shrink(std::uint64_t offset, ReadOutcome& outcome, StretchBuilder& checker) const;

    struct DataExtent {
        std::uint64_t from = 0;
        std::uint64_t to = 0;
    };
    DataExtent next_data(std::uint64_t from, std::uint64_t to);

    struct FreeBuffer {
        void operator()(unsigned char* buffer) const { std::free(buffer); }
    };
    const ImageInput& input_;
    std::size_t slice_size_;
    FrameGeometry geometry_;
    ReadWays ways_;
    ReadChoice choice_;
    std::unique_ptr<unsigned char, FreeBuffer> buffer_;
    // The bytes from `hole_from` up to `hole_to` lie in a hole.
    std::uint64_t hole_from_ = 0;
    std::uint64_t hole_to_ = 0;
};
