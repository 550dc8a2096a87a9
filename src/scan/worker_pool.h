// Reads the image on several threads, each with a reader of its own, checks
// every sector on the thread that read it while it is still in that core's
// cache, and hands the results to the scanning thread in file order. What
// leaves a reader is a few stretches per claim, not the image's bytes.
#pragma once

#include <pthread.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "scan/image_input.h"
#include "scan/sector_checks.h"

// The most readers a scan runs, the scanning thread among them.
inline constexpr unsigned MAX_READERS = 4;
// A claim of data, in bytes: the unit that readers take in turn. Handing
// claims over then costs nothing next to reading them.
inline constexpr std::size_t PIECE_SIZE = std::size_t{2} << 20U;
// Claims per reader that the ring holds: how far the readers may run ahead
// of the scanning thread.
inline constexpr std::size_t CLAIMS_PER_READER = 4;

struct ReadPlan {
    ReadPlan(std::size_t piece = PIECE_SIZE, unsigned threads = 1, std::optional<ReadWay> one_way = std::nullopt)
        : piece_size(piece), readers(threads), way(one_way)
    {
    }

    // A whole number of 2048-byte sectors; as many raw frames make a piece
    // of a raw image.
    std::size_t piece_size = PIECE_SIZE;
    // Threads that read and check, the scanning thread among them; with one
    // it reads and checks each claim itself, just before it tracks it.
    unsigned readers = 1;
    // How the readers take in their claims: as each finds cheaper (none),
    // or always one way where it can (the tests).
    std::optional<ReadWay> way;
    // For the tests: called after a mapped claim's pages are in and before
    // they are checked.
    std::function<void()> before_mapped_check;
};

// The CPUs this process may run on (so `taskset` limits them), at least 1.
unsigned usable_cpus();

// One reader per CPU, at most MAX_READERS; one alone for a disc drive or a
// rotating disk (see reads_in_order), which several readers would make seek.
ReadPlan plan_reading(unsigned cpus, const ImageInput* input = nullptr);

// A stretch of the image once read and checked.
struct CheckedClaim {
    std::uint64_t offset = 0; // of its first byte, the start of a sector
    // Bytes read or known to be zeros, a partial sector at the end included.
    std::uint64_t bytes = 0;
    // Its whole sectors from the first on. The first stretch, if empty, has
    // no edge sum: the bytes in front of it belong to the claim before.
    std::span<const SectorStretch> stretches;
    // The same frames by their own checks, where those are asked for.
    std::span<const DamageStretch> damage;
    std::int32_t tail_sum = 0; // of the last 16 bytes of its last sector
    ReadEnd end = ReadEnd::more;
    int error = 0; // errno of a failed read
};

// The threads, their readers and the ring of claims between them and the
// scanning thread. The constructor starts the threads and the destructor
// stops and joins them, however the scan ends.
class WorkerPool {
public:
    // Reads the frames of `input` that `geometry` says, in claims. Takes as
    // many readers as `plan` asks for (at most MAX_READERS) while memory and
    // threads are to be had, at least one; with none, failure() says why.
    // With `damage`, each frame's own checks are made too. Nothing is
    // thrown: a memory limit that leaves no room for the buffers may leave
    // none for an exception either.
    WorkerPool(const ImageInput& input, const ReadPlan& plan, const FrameGeometry& geometry = {}, bool damage = false);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    Failure failure() const { return failure_; }

    // The next claim in file order, once it is checked; the claim handed out
    // before is given back. While it is not ready, the scanning thread reads
    // the next claim of a measured image itself. Not to be called again after
    // a claim whose end is not ReadEnd::more.
    const CheckedClaim& next();

private:
    struct Claim {
        std::uint64_t entry = 0; // number of the claim, and so its ring entry
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
    };
    struct RingEntry {
        CheckedClaim claim;
        std::span<SectorStretch> room;        // for the claim's stretches
        std::span<DamageStretch> damage_room; // and its damage, where asked for
        std::uint64_t ready = 0;              // number + 1 of the claim that is ready here
    };

    struct Free {
        void operator()(void* room) const { std::free(room); }
    };
    // A reader, its thread (the last reader's is the scanning thread) and the
    // room for the stretches of its entries of the ring.
    struct Reader {
        WorkerPool* pool = nullptr;
        std::unique_ptr<ImageReader> reader;
        std::unique_ptr<SectorStretch, Free> stretches;
        std::unique_ptr<DamageStretch, Free> damage;
        pthread_t thread{};
    };

    static void* run_worker(void* started);
    bool add_reader();
    bool claim_and_read(ImageReader& reader);
    bool may_claim_locked() const;
    bool scanning_thread_reads_locked() const;

    const ImageInput& input_;
    const FrameGeometry geometry_;
    const ReadWays ways_;
    const std::size_t piece_size_; // bytes: whole frames
    const bool damage_;
    Failure failure_;
    // Readers and the ring, all taken before any thread starts, so that
    // nothing is allocated while they run.
    std::array<Reader, MAX_READERS> readers_;
    std::size_t readers_count_ = 0;
    std::array<RingEntry, MAX_READERS * CLAIMS_PER_READER> ring_;
    std::size_t ring_size_ = 0;

    std::mutex lock_; // guards what follows up to the threads, and the ring entries' `ready`
    std::condition_variable claim_ready_;
    std::condition_variable slot_free_;
    std::uint64_t claimed_ = 0;     // claims made so far, in order
    std::uint64_t released_ = 0;    // claims the scanning thread is done with
    std::uint64_t next_offset_ = 0; // where the next claim starts
    std::uint64_t limit_ = 0;       // no claim starts here or after
    std::atomic<bool> stop_ = false;

    bool handed_out_ = false; // the scanning thread holds claim `released_`

    // A stream has no offsets: one reader at a time claims and reads, so that
    // it is read in order.
    std::mutex stream_order_;
    int wake_[2] = {-1, -1}; // written on stop, for a read waiting on a stream
    std::size_t threads_count_ = 0;
};
