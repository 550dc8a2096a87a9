// The reader's choice between reading and mapping.
#include "scan/read_choice.h"

#include <algorithm>

ReadChoice::Take ReadChoice::next()
{
    if (!can_map_)
        return {ReadWay::read, false};
    const bool learning = samples_[0] < LEARNING || samples_[1] < LEARNING;
    if (!learning && ++since_probe_ < probe_every())
        return {preferred_, false};
    since_probe_ = 0;
    return {preferred_, true};
}

unsigned ReadChoice::probe_every() const
{
    // Twice as many claims between probes for each step the other way's
    // cost takes: below 1.25 times the preferred way's, 1.5, 2, 4, 8.
    const double ratio = cost_[at(preferred_)] > 0 ? cost_[at(other(preferred_))] / cost_[at(preferred_)] : 1;
    unsigned every = PROBE_EVERY;
    for (const double step : {1.25, 1.5, 2.0, 4.0, 8.0}) {
        if (ratio >= step && every < PROBE_AT_MOST_EVERY)
            every *= 2;
    }
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
        // The least of the first few: the first part of a way pays for
        // things once (its buffer's pages, a cold TLB) that later ones do not.
        cost = samples == 0 ? per_byte : std::min(cost, per_byte);
    } else {
        // Seen once in many claims (at each probe), each way follows by half.
        const double weight = 0.5;
        cost += weight * (per_byte - cost);
    }
    ++samples;
    if (samples_[0] >= LEARNING && samples_[1] >= LEARNING &&
        cost_[at(other(preferred_))] < MARGIN * cost_[at(preferred_)])
        preferred_ = other(preferred_);
}
