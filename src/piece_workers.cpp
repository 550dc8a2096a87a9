// The worker threads, the ring of claims and the read buffers.
#include "piece_workers.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <new>

namespace {

unsigned char* buffer_of(PieceWorkers& workers, unsigned worker)
{
    return &workers.buffers[std::size_t{worker} * workers.plan.piece_size];
}

Filled read_piece(PieceWorkers& workers, std::uint64_t number, unsigned char* buffer, KnownHole& hole,
                  std::vector<SectorSpan>& spans)
{
    return read_fully(workers.input, number * workers.plan.piece_size, buffer, workers.plan.piece_size,
                      ReadStop{&workers.stop, workers.wake[0]}, hole, spans);
}

// Checks the sectors of `piece` that were read (piece.spans) where they lie
// in `buffer`; the others lie in holes and are zeros.
void check_piece(const unsigned char* buffer, const Filled& filled, Piece& piece)
{
    // Every piece but the last is whole sectors; a partial sector at the end
    // of the image is never examined. The sectors of a claim that lies wholly
    // in a hole need no records.
    piece.hole_sectors = filled.hole ? filled.bytes / SECTOR_SIZE : 0;
    piece.records.resize(filled.hole ? 0 : filled.bytes / SECTOR_SIZE);
    constexpr SectorRecord ZEROS{0, 0, true};
    std::size_t k = 0;
    for (const SectorSpan& span : piece.spans) {
        for (; k < span.first && k < piece.records.size(); ++k)
            piece.records[k] = ZEROS;
        for (; k < span.end && k < piece.records.size(); ++k)
            piece.records[k] = check_sector(buffer + k * SECTOR_SIZE);
    }
    for (; k < piece.records.size(); ++k)
        piece.records[k] = ZEROS;
    piece.bytes = filled.bytes;
    piece.end = filled.end;
    piece.error = filled.error;
}

// What a worker or the scanning thread takes on: entry `entry` of the ring,
// for `count` pieces from piece `first` on.
struct Claim {
    std::uint64_t entry = 0;
    std::uint64_t first = 0;
    std::uint64_t count = 1;
    bool in_hole = false; // all of it lies in a hole the claimer knows of
};

// How many pieces from `first` on lie wholly in `hole`, which the claimer
// learned of with an earlier piece.
std::uint64_t pieces_in_hole(const PieceWorkers& workers, std::uint64_t first, const KnownHole& hole)
{
    if (!workers.input.may_have_holes || !workers.input.size || first >= workers.end)
        return 0;
    const std::uint64_t size = *workers.input.size;
    const std::uint64_t from = first * workers.plan.piece_size;
    // The last piece is never among them: a hole to the end is known short
    // of the last byte.
    return std::min(hole_ahead(hole, from, size) / workers.plan.piece_size, workers.end - first);
}

// Takes the next claim; the caller holds the lock. A stretch that the
// claimer knows lies in a hole is taken whole, so that a long hole costs one
// hand-over, not one per piece.
Claim claim_pieces(PieceWorkers& workers, const KnownHole& hole)
{
    Claim claim;
    claim.entry = workers.claimed++;
    claim.first = workers.next_piece;
    const std::uint64_t in_hole = pieces_in_hole(workers, claim.first, hole);
    claim.in_hole = in_hole > 0;
    claim.count = std::max<std::uint64_t>(1, in_hole);
    workers.next_piece += claim.count;
    return claim;
}

// Reads the pieces of `claim` into `buffer`, the sectors read listed in
// `spans`.
Filled take_claim(PieceWorkers& workers, const Claim& claim, unsigned char* buffer, KnownHole& hole,
                  std::vector<SectorSpan>& spans)
{
    if (!claim.in_hole)
        return read_piece(workers, claim.first, buffer, hole, spans);
    spans.clear();
    const std::uint64_t size = *workers.input.size;
    const std::uint64_t from = claim.first * workers.plan.piece_size;
    Filled filled;
    filled.bytes = static_cast<std::size_t>(std::min(from + claim.count * workers.plan.piece_size, size) - from);
    filled.hole = true;
    if (from + filled.bytes == size)
        filled.end = ReadEnd::image_end;
    return filled;
}

// Reads and checks the pieces of `claim` and hands them to the scanning
// thread. `order`, held for a stream, is let go once the read is done.
void complete_claim(PieceWorkers& workers, const Claim& claim, unsigned char* buffer, KnownHole& hole,
                    std::unique_lock<std::mutex>& order)
{
    // The claim's entry of the ring is this claimer's until it is ready.
    Piece& piece = workers.ring[claim.entry % workers.ring.size()];
    const Filled filled = take_claim(workers, claim, buffer, hole, piece.spans);
    if (filled.end != ReadEnd::more) {
        // The image ends here or cannot be read on: nothing after these
        // pieces is read.
        {
            const std::lock_guard guard(workers.lock);
            workers.end = std::min(workers.end, claim.first + claim.count);
        }
        workers.slot_free.notify_all();
    }
    if (order.owns_lock())
        order.unlock();
    check_piece(buffer, filled, piece);
    {
        const std::lock_guard guard(workers.lock);
        piece.ready = claim.entry + 1;
    }
    workers.piece_ready.notify_one();
}

void run_worker(PieceWorkers& workers, unsigned char* buffer)
{
    const bool stream = !workers.input.size;
    KnownHole hole; // each worker's own: it takes pieces in increasing order
    for (;;) {
        std::unique_lock order(workers.read_order, std::defer_lock);
        if (stream)
            order.lock();
        Claim claim;
        {
            std::unique_lock guard(workers.lock);
            // A worker a whole ring ahead of the scanning thread waits.
            workers.slot_free.wait(guard, [&] {
                return workers.stop || workers.next_piece >= workers.end ||
                       workers.claimed - workers.released < workers.ring.size();
            });
            if (workers.stop || workers.next_piece >= workers.end)
                return;
            claim = claim_pieces(workers, hole);
        }
        complete_claim(workers, claim, buffer, hole, order);
    }
}

// The buffers and the ring for workers.plan.workers workers; false, with
// nothing taken, when the memory cannot be had.
bool allocate(PieceWorkers& workers)
{
    const ReadPlan& plan = workers.plan;
    const std::size_t bytes = std::size_t{plan.workers} * plan.piece_size;
    workers.buffers = static_cast<unsigned char*>(
        std::aligned_alloc(HUGE_PAGE_SIZE, (bytes + HUGE_PAGE_SIZE - 1) / HUGE_PAGE_SIZE * HUGE_PAGE_SIZE));
    if (workers.buffers == nullptr)
        return false;
#ifdef MADV_HUGEPAGE
    // Only advice: where the kernel offers no huge pages it is ignored.
    madvise(workers.buffers, bytes, MADV_HUGEPAGE);
#endif
    try {
        workers.ring.resize(std::size_t{plan.workers} * RING_PIECES_PER_WORKER);
        for (Piece& piece : workers.ring) {
            piece.records.reserve(plan.piece_size / SECTOR_SIZE);
            piece.spans.reserve(plan.piece_size / SECTOR_SIZE / 2 + 1);
        }
        workers.threads.reserve(plan.workers);
    } catch (const std::bad_alloc&) {
        workers.ring = {};
        std::free(workers.buffers);
        workers.buffers = nullptr;
        return false;
    }
    return true;
}

} // namespace

unsigned usable_cpus()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

ReadPlan plan_reading(unsigned cpus)
{
    ReadPlan plan;
    plan.workers = static_cast<unsigned>(std::clamp<std::size_t>(cpus, 1, CHUNK_SIZE / PIECE_SIZE));
    return plan;
}

bool start_workers(PieceWorkers& workers, const ScanInput& input, const ReadPlan& plan)
{
    workers.input = input;
    workers.plan = plan;
    // Under a tight memory limit, fewer workers, down to one.
    while (!allocate(workers)) {
        if (workers.plan.workers == 1) {
            errno = ENOMEM; // a failed allocation need not say why
            return false;
        }
        --workers.plan.workers;
    }
    // A measured image has a known number of pieces, and at least one, so
    // that even an empty image has a last piece.
    workers.end = UINT64_MAX;
    if (input.size)
        workers.end = std::max<std::uint64_t>(1, (*input.size + plan.piece_size - 1) / plan.piece_size);

    if (workers.plan.workers <= 1)
        return true;
    if (!input.size && pipe2(workers.wake, O_CLOEXEC) != 0)
        workers.wake[0] = workers.wake[1] = -1; // then a stalled writer is waited for
    // The last buffer is the scanning thread's, which reads too.
    for (unsigned w = 0; w + 1 < workers.plan.workers; ++w) {
        try {
            workers.threads.emplace_back(run_worker, std::ref(workers), buffer_of(workers, w));
        } catch (const std::exception&) {
            // No more threads to be had (a process or memory limit): go on
            // with those started, or with none, reading in turn.
            break;
        }
    }
    return true;
}

const Piece& next_piece(PieceWorkers& workers)
{
    const std::uint64_t entry = workers.released; // only the scanning thread changes it
    Piece& piece = workers.ring[entry % workers.ring.size()];
    std::unique_lock guard(workers.lock);
    while (piece.ready != entry + 1) {
        // Rather than wait, the scanning thread reads the next piece of a
        // measured image itself while the ring has room: the process then
        // runs one busy thread per CPU, not one more. A stream is left to
        // the workers, if there are any, so that a stalled writer never holds
        // up the report.
        if ((workers.input.size || workers.threads.empty()) && workers.next_piece < workers.end &&
            workers.claimed - workers.released < workers.ring.size()) {
            const Claim claim = claim_pieces(workers, workers.hole);
            guard.unlock();
            std::unique_lock<std::mutex> no_order;
            complete_claim(workers, claim, buffer_of(workers, workers.plan.workers - 1), workers.hole, no_order);
            guard.lock();
            continue;
        }
        workers.piece_ready.wait(guard);
    }
    return piece;
}

void release_piece(PieceWorkers& workers)
{
    {
        const std::lock_guard guard(workers.lock);
        ++workers.released;
    }
    workers.slot_free.notify_one();
}

void stop_workers(PieceWorkers& workers)
{
    {
        const std::lock_guard guard(workers.lock);
        workers.stop = true;
    }
    workers.slot_free.notify_all();
    if (workers.wake[1] >= 0) {
        const char byte = 1;
        while (write(workers.wake[1], &byte, 1) < 0 && errno == EINTR) {
        }
    }
    for (std::thread& thread : workers.threads)
        thread.join();
    workers.threads.clear();
    for (int& fd : workers.wake) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    std::free(workers.buffers);
    workers.buffers = nullptr;
}
