// Reads the image in pieces on worker threads, each into its own buffer, and
// checks every sector on the thread that read it, while it is still in that
// core's cache. What leaves a worker is a few bytes per sector
// (SectorRecord), handed to the scanning thread in file order through a ring
// of claims; the image's bytes stay with the thread that read them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "image_input.h"
#include "sector_checks.h"

// The memory for reading: all read buffers together never take more.
inline constexpr std::size_t CHUNK_SIZE = 0x800000; // 8 MiB
// Read buffers start on a huge page and are offered to the kernel for
// transparent huge pages, which makes its copy from the page cache cheaper.
inline constexpr std::size_t HUGE_PAGE_SIZE = std::size_t{2} << 20U;
// A worker's piece, and its buffer: one huge page. Handing pieces over then
// costs nothing next to reading them, and the kernel copies into a buffer
// that one TLB entry covers; smaller pieces measured slower, larger ones no
// faster.
inline constexpr std::size_t PIECE_SIZE = HUGE_PAGE_SIZE;
// Entries of the ring, per worker: how many claims the workers may run ahead
// of the scanning thread.
inline constexpr std::size_t RING_PIECES_PER_WORKER = 4;

struct ReadPlan {
    std::size_t piece_size = PIECE_SIZE; // a whole number of sectors
    // Threads that read and check, the scanning thread among them; with 1
    // it reads and checks each piece itself, just before it tracks it.
    unsigned workers = 1;
};

// The CPUs this process may run on (so `taskset` limits them), at least 1.
unsigned usable_cpus();

// One worker per CPU, as many as CHUNK_SIZE holds buffers for (4).
ReadPlan plan_reading(unsigned cpus);

// One piece of the image, checked: a record for every whole sector read, or
// none for pieces in a hole, whose sectors are all zeros.
struct Piece {
    std::vector<SectorRecord> records;
    std::vector<SectorSpan> spans;  // the sectors that were read
    std::uint64_t hole_sectors = 0; // whole sectors of pieces in a hole
    std::uint64_t bytes = 0;        // bytes read or in the hole, a partial sector included
    ReadEnd end = ReadEnd::more;
    int error = 0;
    std::uint64_t ready = 0; // entry number + 1 of the claim the piece is of
};

struct PieceWorkers {
    ScanInput input;
    ReadPlan plan;
    unsigned char* buffers = nullptr; // plan.workers buffers of plan.piece_size
    // A claim is one piece, or all the pieces of a stretch that its worker
    // knows lies in a hole; claim n is entry n % ring.size().
    std::vector<Piece> ring;

    // Guards the four counts below, Piece::ready, and the setting of `stop`
    // (which is read without it).
    std::mutex lock;
    std::condition_variable piece_ready;
    std::condition_variable slot_free;
    std::uint64_t claimed = 0;    // claims made so far, in order
    std::uint64_t released = 0;   // claims the scanning thread is done with
    std::uint64_t next_piece = 0; // the first piece of the next claim
    std::uint64_t end = 0;        // no piece from this number on is read
    std::atomic<bool> stop = false;

    // A stream has no offsets: one worker at a time claims and reads its
    // next piece, so that the pieces are read in order.
    std::mutex read_order;
    int wake[2] = {-1, -1}; // written on stop, for a read waiting on a stream
    KnownHole hole;         // of the scanning thread, when it reads itself
    std::vector<std::thread> threads;
};

// Allocates the buffers and starts plan.workers - 1 threads: the scanning
// thread is the last worker (see ReadPlan).
// False, with errno set, when the memory cannot be had.
bool start_workers(PieceWorkers& workers, const ScanInput& input, const ReadPlan& plan);

// The next piece in file order, once it is checked; while it is not, the
// scanning thread reads the next piece of a measured image itself. It stays
// put until release_piece. Not to be called again after a piece whose end
// is not ReadEnd::more.
const Piece& next_piece(PieceWorkers& workers);
void release_piece(PieceWorkers& workers);

// Stops the workers at once: no read starts after this, a read waiting on a
// stream is abandoned, and a worker waiting for the ring gives up. Frees the
// buffers.
void stop_workers(PieceWorkers& workers);
