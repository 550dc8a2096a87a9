// The reader's choice between reading and mapping.
#include "scan/read_choice.h"

#include <algorithm>

ReadWay ReadChoice::next()
{
    if (!can_map_)
        return ReadWay::read;
    // Both ways in turn until each has its few claims, reading first.
    if (samples_[0] < LEARNING || samples_[1] < LEARNING)
        return samples_[1] < samples_[0] ? ReadWay::map : ReadWay::read;
    if (++since_other_ < other_way_every())
        return preferred_;
    since_other_ = 0;
    return other(preferred_);
}

unsigned ReadChoice::other_way_every() const
{
    // As many times 32 as the other way costs times the preferred one, in
    // powers of two: 32 below 1.25 times, 64 below 1.5, 128 below 2.
    const double ratio = cost_[at(preferred_)] > 0 ? cost_[at(other(preferred_))] / cost_[at(preferred_)] : 1;
    unsigned every = OTHER_WAY_EVERY;
    for (double step = 1.25; every < OTHER_WAY_AT_MOST_EVERY && ratio >= step; step = step == 1.25 ? 1.5 : step * 2)
        every *= 2;
    return every;
}

void ReadChoice::record(ReadWay way, std::uint64_t bytes, std::uint64_t nanoseconds)
{
    if (bytes == 0)
        return;
    const double per_byte = static_cast<double>(nanoseconds) / static_cast<double>(bytes);
    double& cost = cost_[at(way)];
    unsigned& samples = samples_[at(way)];
    if (samples < LEARNING) {
        // The least of the first few: the first claim of a way pays for
        // things once (its buffer's pages, a cold TLB) that later ones do not.
        cost = samples == 0 ? per_byte : std::min(cost, per_byte);
    } else {
        // The way in use follows slowly, over many claims; the other, seen
        // once in many, at once by half.
        const double weight = way == preferred_ ? 0.125 : 0.5;
        cost += weight * (per_byte - cost);
    }
    ++samples;
    if (samples_[0] >= LEARNING && samples_[1] >= LEARNING &&
        cost_[at(other(preferred_))] < MARGIN * cost_[at(preferred_)])
        preferred_ = other(preferred_);
}
