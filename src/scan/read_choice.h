// How a reader takes in its claims: read into its buffer, or mapped and
// checked where they lie in the page cache. Which costs less depends on the
// machine (copying a page against entering it in the page tables, which
// under shadow paging costs several times more), so each reader measures
// both as it goes and keeps to the cheaper; the decision is here, fed with
// costs, and tested without timing anything.
#pragma once

#include <array>
#include <cstdint>

enum class ReadWay : std::uint8_t { read, map };

class ReadChoice {
public:
    // How to take in the next claim: all of it `way`, or, for a probe, its
    // first slice the other way and the rest `way`, so that one claim costs
    // both ways under the same conditions and the other way costs little.
    struct Take {
        ReadWay way = ReadWay::read;
        bool probe = false;
    };

    // Claims at the start that are probes, before a choice is made.
    static constexpr unsigned LEARNING = 2;
    // After that, one claim in this many is a probe, so that a change of
    // conditions (a file that becomes warm, a page cache under pressure) is
    // followed: one in 32 where the two cost about the same, and the more
    // the other way costs, the fewer, so that a probe costs under a quarter
    // of a percent of the time: up to one in 1024, where it costs eight
    // times as much.
    static constexpr unsigned PROBE_EVERY = 32;
    static constexpr unsigned PROBE_AT_MOST_EVERY = 1024;
    // The other way must be this much cheaper to be taken instead, so that
    // two ways of one cost do not take turns.
    static constexpr double MARGIN = 0.95;

    // Without `can_map`, every claim is read.
    explicit ReadChoice(bool can_map) : can_map_(can_map) {}

    Take next();
    // What taking in `bytes` `way` cost: `nanoseconds` of the reader's own
    // CPU time.
    void record(ReadWay way, std::uint64_t bytes, std::uint64_t nanoseconds);
    // Mapping failed where reading does not: every claim is read from now on.
    void cannot_map() { can_map_ = false; }
    bool can_map() const { return can_map_; }

    ReadWay preferred() const { return preferred_; }
    // How many claims go by between two probes, now.
    unsigned probe_every() const;

private:
    static std::size_t at(ReadWay way) { return way == ReadWay::read ? 0 : 1; }
    static ReadWay other(ReadWay way) { return way == ReadWay::read ? ReadWay::map : ReadWay::read; }

    bool can_map_;
    std::array<double, 2> cost_{};      // nanoseconds a byte, by way
    std::array<unsigned, 2> samples_{}; // parts measured, by way
    ReadWay preferred_ = ReadWay::read;
    std::uint64_t since_probe_ = 0; // claims since the last probe
};
