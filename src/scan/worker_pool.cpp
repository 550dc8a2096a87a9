// The readers' threads and the ring of claims between them and the scanning
// thread.
#include "scan/worker_pool.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "support/descriptors.h"

unsigned usable_cpus()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

ReadPlan plan_reading(unsigned cpus, const ImageInput* input)
{
    ReadPlan plan;
    plan.readers = input != nullptr && input->reads_in_order() ? 1 : std::clamp(cpus, 1U, MAX_READERS);
    return plan;
}

bool WorkerPool::add_reader()
{
    Reader& added = readers_[readers_count_];
    added.pool = this;
    const std::size_t frame = geometry_.layout.size;
    // Slices of as many frames as a slice has 2048-byte sectors: whole
    // pages of the page cache too (256 raw frames are 147 pages).
    added.reader =
        ImageReader::create(input_, std::min(SLICE_SIZE / SECTOR_SIZE * frame, piece_size_), geometry_, ways_);
    // A claim of a piece has a stretch per frame at most, and one of a
    // known hole just one.
    const std::size_t room = piece_size_ / frame + 1;
    added.stretches.reset(static_cast<SectorStretch*>(std::calloc(room * CLAIMS_PER_READER, sizeof(SectorStretch))));
    if (damage_)
        added.damage.reset(static_cast<DamageStretch*>(std::calloc(room * CLAIMS_PER_READER, sizeof(DamageStretch))));
    if (!added.reader || !added.stretches || (damage_ && !added.damage)) {
        added = Reader{};
        return false;
    }
    for (std::size_t k = 0; k < CLAIMS_PER_READER; ++k) {
        RingEntry& entry = ring_[ring_size_++];
        entry.room = std::span(added.stretches.get() + k * room, room);
        if (damage_)
            entry.damage_room = std::span(added.damage.get() + k * room, room);
    }
    ++readers_count_;
    return true;
}

namespace {

// Where the frames end: where the geometry says, or at the image's end.
std::uint64_t frames_end(const ImageInput& input, const FrameGeometry& geometry)
{
    if (input.size())
        return std::max<std::uint64_t>(std::min(geometry.end.value_or(*input.size()), *input.size()), 1);
    return geometry.end.value_or(UINT64_MAX);
}

} // namespace

WorkerPool::WorkerPool(const ImageInput& input, const ReadPlan& plan, const FrameGeometry& geometry, bool damage)
    : input_(input), geometry_(geometry), ways_{plan.way, plan.before_mapped_check},
      piece_size_(std::max<std::size_t>(plan.piece_size / SECTOR_SIZE, 1) * geometry.layout.size), damage_(damage),
      next_offset_(geometry.base), limit_(frames_end(input, geometry))
{
    // One fallback for memory and threads alike: readers are added while
    // their buffers, their entries of the ring and then their threads are
    // to be had, down to the scanning thread's own.
    const std::size_t wanted = std::clamp<std::size_t>(plan.readers, 1, MAX_READERS);
    while (readers_count_ < wanted && add_reader()) {
    }
    if (readers_count_ == 0) {
        failure_ = Failure{ENOMEM};
        return;
    }
    if (!input.size() && readers_count_ > 1 && pipe2(wake_, O_CLOEXEC) == 0) {
        wake_[0] = off_standard_streams(wake_[0]);
        wake_[1] = off_standard_streams(wake_[1]);
    }
    if (wake_[0] < 0 || wake_[1] < 0) {
        // Then a stalled writer is waited for.
        for (int& fd : wake_) {
            if (fd >= 0)
                close(fd);
            fd = -1;
        }
    }
    // The last reader is the scanning thread's; readers whose thread cannot
    // be started are given up (their entries of the ring stay, as room).
    while (threads_count_ + 1 < readers_count_ &&
           pthread_create(&readers_[threads_count_].thread, nullptr, run_worker, &readers_[threads_count_]) == 0)
        ++threads_count_;
    if (threads_count_ + 1 < readers_count_) {
        readers_[threads_count_].reader = std::move(readers_[readers_count_ - 1].reader);
        for (std::size_t r = threads_count_ + 1; r < readers_count_; ++r)
            readers_[r].reader.reset();
        readers_count_ = threads_count_ + 1;
    }
}

WorkerPool::~WorkerPool()
{
    // No read starts after this, a read waiting on a stream is abandoned, and
    // a reader waiting for the ring gives up.
    {
        const std::lock_guard guard(lock_);
        stop_ = true;
    }
    slot_free_.notify_all();
    if (wake_[1] >= 0) {
        const char byte = 1;
        while (write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
        }
    }
    for (std::size_t t = 0; t < threads_count_; ++t)
        pthread_join(readers_[t].thread, nullptr);
    for (const int fd : wake_) {
        if (fd >= 0)
            close(fd);
    }
}

bool WorkerPool::may_claim_locked() const
{
    return !stop_ && next_offset_ < limit_ && claimed_ - released_ < ring_size_;
}

bool WorkerPool::scanning_thread_reads_locked() const
{
    // The scanning thread reads while it waits only where that cannot hold it
    // up: a stream is left to the threads, if there are any, so that a
    // stalled writer never holds up the report.
    return (input_.size() || threads_count_ == 0) && may_claim_locked();
}

bool WorkerPool::claim_and_read(ImageReader& reader)
{
    Claim claim;
    bool ended = false;
    {
        // For a stream, claiming and reading go together, so that its claims
        // are read in order.
        std::unique_lock order(stream_order_, std::defer_lock);
        if (!input_.size())
            order.lock();
        {
            const std::lock_guard guard(lock_);
            if (!may_claim_locked())
                return false;
            claim.entry = claimed_++;
            claim.offset = next_offset_;
            // A stretch that this reader knows to lie in a hole is one claim,
            // so that a long hole costs one hand-over, not one per piece.
            const std::uint64_t frame = geometry_.layout.size;
            claim.length = std::max<std::uint64_t>(piece_size_, reader.known_zeros(claim.offset) / frame * frame);
            next_offset_ += claim.length;
        }
        // The claim's entry of the ring is this reader's until it is ready.
        RingEntry& slot = ring_[claim.entry % ring_size_];
        StretchBuilder checker(slot.room, geometry_.layout, slot.damage_room);
        const ReadOutcome outcome = reader.read(claim.offset, claim.length, ReadStop{&stop_, wake_[0]}, checker);
        slot.claim.offset = claim.offset;
        slot.claim.bytes = outcome.bytes;
        slot.claim.stretches = checker.stretches();
        slot.claim.damage = checker.damage();
        slot.claim.tail_sum = checker.tail_sum();
        slot.claim.end = outcome.end;
        slot.claim.error = outcome.error;
        if (outcome.end != ReadEnd::more) {
            // The image ends here or cannot be read on: no claim after this.
            const std::lock_guard guard(lock_);
            limit_ = std::min(limit_, claim.offset + claim.length);
            ended = true;
        }
    }
    {
        const std::lock_guard guard(lock_);
        ring_[claim.entry % ring_size_].ready = claim.entry + 1;
    }
    claim_ready_.notify_one();
    if (ended)
        slot_free_.notify_all();
    return true;
}

void* WorkerPool::run_worker(void* started)
{
    WorkerPool& pool = *static_cast<Reader*>(started)->pool;
    ImageReader& reader = *static_cast<Reader*>(started)->reader;
    for (;;) {
        {
            std::unique_lock guard(pool.lock_);
            // A reader a whole ring ahead of the scanning thread waits.
            pool.slot_free_.wait(guard, [&] {
                return pool.stop_ || pool.next_offset_ >= pool.limit_ ||
                       pool.claimed_ - pool.released_ < pool.ring_size_;
            });
            if (pool.stop_ || pool.next_offset_ >= pool.limit_)
                return nullptr;
        }
        pool.claim_and_read(reader);
    }
}

const CheckedClaim& WorkerPool::next()
{
    if (handed_out_) {
        {
            const std::lock_guard guard(lock_);
            ++released_;
        }
        slot_free_.notify_one();
        handed_out_ = false;
    }
    const std::uint64_t entry = released_; // only this thread changes it
    const RingEntry& slot = ring_[entry % ring_size_];
    for (;;) {
        {
            std::unique_lock guard(lock_);
            claim_ready_.wait(guard, [&] { return slot.ready == entry + 1 || scanning_thread_reads_locked(); });
            if (slot.ready == entry + 1)
                break;
        }
        // Rather than wait, the scanning thread reads the next claim itself:
        // the process then runs one busy thread per CPU, not one more.
        claim_and_read(*readers_[readers_count_ - 1].reader);
    }
    handed_out_ = true;
    return slot.claim;
}
