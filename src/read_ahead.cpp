// The reader thread and the hand-over of slots between it and the scanner.
#include "read_ahead.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "sector_checks.h"

namespace {

// Reads the next piece of the image into `slot`, until the slot is full or
// the image ends: a pipe hands out a few KiB per read, and a signal may cut
// a read short. A measured image is read up to its measured size.
void fill_slot(ReadAhead& ahead, Slot& slot)
{
    const ReadFunction read_some = ahead.input.read_some != nullptr ? ahead.input.read_some : ::read;
    std::size_t want = slot.capacity;
    if (ahead.input.size)
        want = static_cast<std::size_t>(std::min<std::uint64_t>(want, *ahead.input.size - ahead.offset));
    slot.filled = 0;
    slot.end = SlotEnd::more;
    slot.error = 0;
    while (slot.filled < want && !ahead.stop.load(std::memory_order_relaxed)) {
        const ssize_t n = read_some(ahead.input.fd, slot.data + slot.filled, want - slot.filled);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            slot.end = SlotEnd::read_failed;
            slot.error = errno;
            break;
        }
        if (n == 0) {
            slot.end = ahead.input.size ? SlotEnd::shrank : SlotEnd::image_end;
            break;
        }
        slot.filled += static_cast<std::size_t>(n);
    }
    ahead.offset += slot.filled;
    if (slot.end == SlotEnd::more && ahead.input.size && ahead.offset == *ahead.input.size)
        slot.end = SlotEnd::image_end;
}

void run_reader(ReadAhead& ahead)
{
    const std::uint64_t count = ahead.slots.size();
    for (std::uint64_t sequence = 0;; ++sequence) {
        {
            std::unique_lock guard(ahead.lock);
            ahead.slot_released.wait(guard, [&] { return ahead.stop || sequence - ahead.released < count; });
            if (ahead.stop)
                return;
        }
        Slot& slot = ahead.slots[sequence % count];
        fill_slot(ahead, slot);
        const bool last = slot.end != SlotEnd::more;
        {
            const std::lock_guard guard(ahead.lock);
            ahead.filled = sequence + 1;
        }
        ahead.slot_filled.notify_one();
        if (last)
            return;
    }
}

} // namespace

std::size_t slot_size_for(std::size_t chunk_size)
{
    const std::size_t sectors = std::max<std::size_t>(chunk_size / SECTOR_SIZE, 1);
    return std::min(READ_PIECE, (sectors + 1) / 2 * SECTOR_SIZE);
}

void start_read_ahead(ReadAhead& ahead, const ScanInput& input, unsigned char* buffer, std::size_t chunk_size)
{
    ahead.input = input;
    const std::size_t slot_size = slot_size_for(chunk_size);
    for (std::size_t at = 0; at < chunk_size; at += slot_size) {
        Slot slot;
        slot.data = buffer + at;
        slot.capacity = std::min(slot_size, chunk_size - at);
        ahead.slots.push_back(slot);
    }
    ahead.threaded = ahead.slots.size() > 1;
    if (!ahead.threaded)
        return;
    try {
        ahead.reader = std::thread(run_reader, std::ref(ahead));
    } catch (const std::system_error&) {
        // No thread to be had (a process or memory limit): read in turn.
        ahead.threaded = false;
    }
}

Slot next_slot(ReadAhead& ahead)
{
    const std::uint64_t sequence = ahead.released; // only the scanner changes it
    Slot& slot = ahead.slots[sequence % ahead.slots.size()];
    if (!ahead.threaded) {
        fill_slot(ahead, slot);
        return slot;
    }
    std::unique_lock guard(ahead.lock);
    ahead.slot_filled.wait(guard, [&] { return ahead.filled > sequence; });
    return slot;
}

void release_slot(ReadAhead& ahead)
{
    {
        const std::lock_guard guard(ahead.lock);
        ++ahead.released;
    }
    if (ahead.threaded)
        ahead.slot_released.notify_one();
}

void stop_read_ahead(ReadAhead& ahead)
{
    {
        const std::lock_guard guard(ahead.lock);
        ahead.stop = true;
    }
    ahead.slot_released.notify_one();
    if (ahead.reader.joinable())
        ahead.reader.join();
}
