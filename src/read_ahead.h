// Fills the chunk buffer piece by piece on a second thread, so that reading
// the next piece of the image (the kernel's copy out of the page cache, or the
// wait for the disk) overlaps the checks of the piece before it. The checks
// alone cost about a third of a warm read; done one after the other, the two
// would take that much longer than reading the file.
//
// The buffer is a ring of slots, each a whole number of sectors. The
// reader fills them in order and the scanner takes them in the same order;
// a slot is refilled only after the scanner has handed it back, so nothing
// is copied and no byte is read twice.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "scanner_main.h"

// The largest read, and so the largest slot. Big enough that handing slots
// between the threads costs nothing next to filling them, and small enough
// that a chunk holds several, so the reader always has one to fill.
inline constexpr std::size_t READ_PIECE = std::size_t{2} << 20U; // 2 MiB, one huge page

// How a slot's fill ended.
enum class SlotEnd {
    more,        // the slot is full and the image goes on
    image_end,   // the last slot: the image ends with it
    read_failed, // a read failed after `filled` bytes
    shrank,      // a measured image ended early: it shrank while being read
};

struct Slot {
    unsigned char* data = nullptr;
    std::size_t capacity = 0; // a whole number of sectors
    std::size_t filled = 0;
    SlotEnd end = SlotEnd::more;
    int error = 0; // errno of a failed read
};

struct ReadAhead {
    ScanInput input;
    std::vector<Slot> slots;
    std::uint64_t offset = 0; // bytes read so far, by the reader

    // Slot sequence numbers: the reader has filled `filled` slots, the
    // scanner has handed back `released`. Guarded by `lock`.
    std::mutex lock;
    std::condition_variable slot_filled;
    std::condition_variable slot_released;
    std::uint64_t filled = 0;
    std::uint64_t released = 0;
    // Set when the scan ends early (a report line could not be written):
    // the reader gives up at its next read.
    std::atomic<bool> stop = false;

    // False when the chunk has a single slot or no thread could be started:
    // the scanner then fills each slot itself just before it checks it.
    bool threaded = false;
    std::thread reader;
};

// The slot size for a chunk of `chunk_size` bytes (a whole number of
// sectors): half the chunk, rounded up to a whole sector, but at most
// READ_PIECE. The last slot of the ring takes what is left of the chunk.
std::size_t slot_size_for(std::size_t chunk_size);

// Sets up the ring over `buffer` and starts the reader thread.
void start_read_ahead(ReadAhead& ahead, const ScanInput& input, unsigned char* buffer, std::size_t chunk_size);

// The next slot in order, once it is filled. Its data stays put until
// release_slot.
Slot next_slot(ReadAhead& ahead);
void release_slot(ReadAhead& ahead);

// Stops the reader (it finishes the read it is in) and waits for it.
void stop_read_ahead(ReadAhead& ahead);
