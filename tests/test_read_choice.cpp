// The choice between reading and mapping, fed with costs: no clock.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "scan/read_choice.h"

namespace {

// Takes `claims` claims of 4 slices through the choice, each costing what
// `cost` says (nanoseconds a byte, by claim and way). The claims taken each
// way (by the way most of each was taken) after the first `settled`, the
// probes, the times the preferred way changed, and the way preferred at the
// end.
struct Outcome {
    std::size_t read = 0, mapped = 0, probes = 0, switches = 0;
    ReadWay last = ReadWay::read;
};

Outcome run(bool can_map, std::size_t claims, std::size_t settled,
            const std::function<double(std::size_t, ReadWay)>& cost)
{
    constexpr std::uint64_t SLICE = 512 << 10;
    ReadChoice choice(can_map);
    Outcome out;
    ReadWay preferred = choice.preferred();
    for (std::size_t k = 0; k < claims; ++k) {
        const ReadChoice::Take take = choice.next();
        if (take.probe) {
            ++out.probes;
            const ReadWay other = take.way == ReadWay::read ? ReadWay::map : ReadWay::read;
            choice.record(other, SLICE, static_cast<std::uint64_t>(cost(k, other) * SLICE));
            choice.record(take.way, 3 * SLICE, static_cast<std::uint64_t>(cost(k, take.way) * 3 * SLICE));
        }
        if (k >= settled)
            ++(take.way == ReadWay::read ? out.read : out.mapped);
        if (choice.preferred() != preferred)
            ++out.switches;
        preferred = choice.preferred();
    }
    out.last = preferred;
    return out;
}

} // namespace

TEST(ReadChoice, KeepsToTheCheaperWayAndFollowsAChange)
{
    std::mt19937 random(7); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same noise every run
    std::uniform_real_distribution<double> noise(0.8, 1.2);
    const struct {
        const char* what;
        bool can_map;
        std::function<double(std::size_t, ReadWay)> cost;
        ReadWay last;
        std::size_t most_probes; // of 2000 claims
        std::size_t most_switches;
        std::size_t least_of_last; // claims of 1500 after the first 500 taken the way preferred at the end
    } cases[] = {
        {"mapping cheaper, as on most machines", true,
         [](std::size_t, ReadWay w) { return w == ReadWay::map ? 0.7 : 1.0; }, ReadWay::map, 2 + 2000 / 64, 1, 1500},
        {"reading cheaper, mapping 8 times as costly (shadow paging)", true,
         [](std::size_t, ReadWay w) { return w == ReadWay::map ? 8.0 : 1.0; }, ReadWay::read, 2 + 2000 / 1024, 0, 1500},
        {"the same cost: no turns taken", true, [](std::size_t, ReadWay) { return 1.0; }, ReadWay::read, 2 + 2000 / 32,
         0, 1500},
        {"mapping cheaper within the margin", true,
         [](std::size_t, ReadWay w) { return w == ReadWay::map ? 0.97 : 1.0; }, ReadWay::read, 2 + 2000 / 32, 0, 1500},
        {"mapping cheaper, then twice as costly halfway", true,
         [](std::size_t k, ReadWay w) { return w == ReadWay::read ? 1.0
                                               : k < 1000         ? 0.7
                                                                  : 2.0; }, ReadWay::read,
         2 + 2000 / 32, 2, 1000 - 2 * 64},
        {"mapping cheaper, under noise", true,
         [&](std::size_t, ReadWay w) { return (w == ReadWay::map ? 0.75 : 1.0) * noise(random); }, ReadWay::map,
         2 + 2000 / 32, 3, 1400},
        {"nothing to map", false, [](std::size_t, ReadWay w) { return w == ReadWay::map ? 0.1 : 1.0; }, ReadWay::read,
         0, 0, 1500},
    };
    for (const auto& c : cases) {
        const Outcome o = run(c.can_map, 2000, 500, c.cost);
        EXPECT_EQ(o.last, c.last) << c.what;
        EXPECT_LE(o.probes, c.most_probes) << c.what;
        EXPECT_LE(o.switches, c.most_switches) << c.what;
        EXPECT_GE(c.last == ReadWay::read ? o.read : o.mapped, c.least_of_last) << c.what;
    }
    // The rarer the cheaper the other way is not, between 32 and 1024.
    ReadChoice choice(true);
    for (int k = 0; k < 2; ++k) {
        choice.next();
        choice.record(ReadWay::read, 1000, 1000);
        choice.record(ReadWay::map, 1000, 3000);
    }
    EXPECT_EQ(choice.probe_every(), 256U);
}
