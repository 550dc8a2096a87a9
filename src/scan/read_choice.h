// How a reader takes in its claims: read into its buffer, or mapped and
// checked where they lie in the page cache. Which costs less depends on the
// machine (copying a page against entering it in the page tables, which
// under shadow paging costs far more), so each reader measures both as it
// goes and keeps to the cheaper; the decision is here, fed with costs.
#pragma once

#include <array>
#include <cstdint>

enum class ReadWay : std::uint8_t { read, map };

class ReadChoice {
public:
    // Claims taken each way at the start, before a choice is made.
    static constexpr unsigned LEARNING = 2;
    // Of the claims after that, one in this many is taken the other way, so
    // that a change of conditions (a file that becomes warm, a page cache
    // under pressure) is followed: one in 32 where the two cost about the
    // same, fewer the more the other way costs, so that looking costs under
    // one percent (one in 256 where it costs twice as much or more).
    static constexpr unsigned OTHER_WAY_EVERY = 32;
    static constexpr unsigned OTHER_WAY_AT_MOST_EVERY = 256;
    // The other way must be this much cheaper to be taken instead, so that
    // two ways of one cost do not take turns.
    static constexpr double MARGIN = 0.95;

    // Without `can_map`, every claim is read.
    explicit ReadChoice(bool can_map) : can_map_(can_map) {}

    // The way to take in the next claim.
    ReadWay next();
    // What a claim taken `way` cost: `nanoseconds` of the reader's own CPU
    // time for `bytes`.
    void record(ReadWay way, std::uint64_t bytes, std::uint64_t nanoseconds);
    // Mapping failed where reading does not: every claim is read from now on.
    void cannot_map() { can_map_ = false; }
    bool can_map() const { return can_map_; }

    ReadWay preferred() const { return preferred_; }
    // How many claims go by between two taken the other way, now.
    unsigned other_way_every() const;

private:
    static std::size_t at(ReadWay way) { return way == ReadWay::read ? 0 : 1; }
    static ReadWay other(ReadWay way) { return way == ReadWay::read ? ReadWay::map : ReadWay::read; }

    bool can_map_;
    std::array<double, 2> cost_{};         // nanoseconds a byte, by way
    std::array<unsigned, 2> samples_{};    // claims measured, by way
    ReadWay preferred_ = ReadWay::read;
    std::uint64_t since_other_ = 0; // claims taken the preferred way since the other was
};
