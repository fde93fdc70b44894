// The CPU engine's choice of how to count a filter (cpu/CountPlan.h), on a
// day of 100 million points spread evenly over the day (walk 40M, bus 30M,
// car 26M, subway 4M) with 49 checkpoints, as the engine places them for so
// many points. Each case is a user's step whose cheapest way can be told by
// hand; every plan, whichever way is forced, must count exactly the window.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cpu/CountPlan.h"

namespace {

using engine::CountInputs;
using engine::CountPath;
using engine::CountPlan;
using engine::CountWay;
using engine::kCountGroups;

constexpr int kWalk = 1;
constexpr int kBus = 3;
constexpr int kCar = 4;
constexpr int kSubway = 5;
using engine::GroupSet;
GroupSet bit(int g) { return GroupSet{}.set(static_cast<std::size_t>(g)); }
const GroupSet kAllGroups = GroupSet{}.set();
constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kDay = 86400;

// A filter: its groups and its window [from, to) in seconds of the day.
struct Filter {
    GroupSet groups;
    std::int64_t from;
    std::int64_t to;
};

struct Day {
    std::array<std::size_t, kCountGroups> points{};
    std::size_t checkpoints = 49;
    std::array<std::vector<std::size_t>, kCountGroups> checkIndex;

    Day() {
        points[kWalk] = 40'000'000;
        points[kBus] = 30'000'000;
        points[kCar] = 26'000'000;
        points[kSubway] = 4'000'000;
        for (int g = 0; g < kCountGroups; ++g)
            for (std::size_t k = 0; k <= checkpoints; ++k) checkIndex[g].push_back(points[g] * k / checkpoints);
    }
    // The points of group g earlier than `second`.
    std::size_t before(int g, std::int64_t second) const {
        return static_cast<std::size_t>(points[g] * static_cast<unsigned long long>(second) / kDay);
    }
    engine::GroupWindows windows(const Filter& filter) const {
        engine::GroupWindows w{};
        for (int g = 0; g < kCountGroups; ++g)
            if ((filter.groups & bit(g)).any()) w[g] = {before(g, filter.from), before(g, filter.to)};
        return w;
    }
    // The checkpoint nearest a time of the day.
    std::size_t checkpointAt(std::int64_t second) const {
        return static_cast<std::size_t>((second * static_cast<std::int64_t>(checkpoints) + kDay / 2) / kDay);
    }
};

const Day& day() {
    static const Day instance;
    return instance;
}

struct Step {
    const char* name;
    std::optional<Filter> last;  // the counts held, if any
    Filter now;
    GroupSet checkGroups;        // what the checkpoints hold
    std::size_t carOwnStride;    // car's own checkpoints every this many (0: none)
};

CountInputs inputsFor(const Step& step, CountPath preferred = CountPath::cheapest) {
    const Day& d = day();
    CountInputs in;
    in.groups = step.now.groups;
    in.timeFilter = true;
    in.now = d.windows(step.now);
    in.haveLast = step.last.has_value();
    if (step.last) {
        in.lastGroups = step.last->groups;
        in.last = d.windows(*step.last);
    }
    in.points = d.points;
    for (std::size_t n : d.points) in.countedPoints += n;
    in.checkIndex = &d.checkIndex;
    in.checkpointsBuilt = true;
    in.checkGroups = step.checkGroups;
    for (int g = 0; g < kCountGroups; ++g) in.wholeDay[g] = d.points[g] > 0;
    if (step.carOwnStride > 0) {
        in.ownStride = step.carOwnStride;
        in.ownGrids[kCar] = (d.checkpoints - 1) / step.carOwnStride;
    }
    in.preferred = preferred;
    return in;
}

const Filter kMorning{bit(kWalk) | bit(kBus) | bit(kCar), 7 * kHour, 9 * kHour};

const Step kOneSecondDrag{"one second more at the window's end", kMorning,
                          {kMorning.groups, 7 * kHour, 9 * kHour + 1}, kAllGroups, 0};
const Step kJumpToEvening{"a jump from the morning to the evening",
                          Filter{kMorning.groups, 7 * kHour, 8 * kHour},
                          {kMorning.groups, 18 * kHour, 19 * kHour}, kMorning.groups, 0};
const Step kTickCarAllDay{"car ticked over the whole day", Filter{bit(kWalk) | bit(kBus), 0, kDay},
                          {kMorning.groups, 0, kDay}, kAllGroups, 0};
const Step kUntickCarAllDay{"car unticked over the whole day", Filter{kMorning.groups, 0, kDay},
                            {bit(kWalk) | bit(kBus), 0, kDay}, kAllGroups, 0};
const Step kFirstMinute{"the first compute, a minute of walking", std::nullopt,
                        {bit(kWalk), 8 * kHour, 8 * kHour + 60}, kAllGroups, 0};
const Step kTickCarAfternoon{"car ticked under 12:00-20:00, car's own checkpoints every 4th",
                             Filter{bit(kWalk) | bit(kBus), 12 * kHour, 20 * kHour},
                             {kMorning.groups, 12 * kHour, 20 * kHour}, kAllGroups, 4};

std::size_t runPoints(const CountPlan& plan) {
    std::size_t total = 0;
    for (const auto& run : plan.runs) total += run.last - run.first;
    return total;
}

// What each step is cheapest counted by, reasoned from the costs: a point
// costs 1, a pass over a count grid a quarter of its 1128^2 cells (318,096).
TEST(CountPlan, EachStepTakesItsCheapestWay) {
    const Day& d = day();
    {
        // 1111 points entered; anything else passes over a grid at least.
        SCOPED_TRACE(kOneSecondDrag.name);
        const CountPlan plan = planCounts(inputsFor(kOneSecondDrag));
        EXPECT_EQ(plan.way, CountWay::incremental);
        EXPECT_TRUE(plan.grids.empty());
        std::size_t entered = 0;
        for (int g : {kWalk, kBus, kCar}) entered += d.before(g, 9 * kHour + 1) - d.before(g, 9 * kHour);
        EXPECT_EQ(runPoints(plan), entered);
        for (const auto& run : plan.runs) EXPECT_EQ(run.sign, 1);
    }
    {
        // 88M points moved, 4M in the window, about 0.9M between the window's
        // ends and the checkpoints nearest them plus two grids: checkpoints.
        // A stretch between checkpoints holds 2M points, more than this jump
        // costs, so the checkpoints stay as they are.
        SCOPED_TRACE(kJumpToEvening.name);
        const CountPlan plan = planCounts(inputsFor(kJumpToEvening));
        EXPECT_EQ(plan.way, CountWay::checkpoints);
        EXPECT_FALSE(plan.followSelection);
        EXPECT_EQ(plan.start, d.checkpointAt(18 * kHour));
        EXPECT_EQ(plan.end, d.checkpointAt(19 * kHour));
        EXPECT_TRUE(plan.grids.empty());
        EXPECT_LT(runPoints(plan), std::size_t{1'000'000});
    }
    {
        // Car's whole-day counts, one grid, against four grids from scratch
        // or two from the checkpoints, which hold the subway too.
        SCOPED_TRACE(kTickCarAllDay.name);
        const CountPlan plan = planCounts(inputsFor(kTickCarAllDay));
        EXPECT_EQ(plan.way, CountWay::incremental);
        ASSERT_EQ(plan.grids.size(), 1u);
        EXPECT_EQ(plan.grids[0].group, kCar);
        EXPECT_EQ(plan.grids[0].grid, 1u);  // no own checkpoints: grid 1 is the whole day
        EXPECT_EQ(plan.grids[0].sign, 1);
        EXPECT_TRUE(plan.runs.empty());
    }
    {
        SCOPED_TRACE(kUntickCarAllDay.name);
        const CountPlan plan = planCounts(inputsFor(kUntickCarAllDay));
        EXPECT_EQ(plan.way, CountWay::incremental);
        ASSERT_EQ(plan.grids.size(), 1u);
        EXPECT_EQ(plan.grids[0].group, kCar);
        EXPECT_EQ(plan.grids[0].sign, -1);
        EXPECT_TRUE(plan.runs.empty());
    }
    {
        // 27,777 points and one grid; the checkpoints would have to take
        // away the bus, car and subway.
        SCOPED_TRACE(kFirstMinute.name);
        const CountPlan plan = planCounts(inputsFor(kFirstMinute));
        EXPECT_EQ(plan.way, CountWay::fromScratch);
        EXPECT_TRUE(plan.grids.empty());
        ASSERT_EQ(plan.runs.size(), 1u);
        EXPECT_EQ(plan.runs[0].group, kWalk);
        EXPECT_EQ(runPoints(plan), d.before(kWalk, 8 * kHour + 60) - d.before(kWalk, 8 * kHour));
    }
    {
        // Car's 8.7M points in the window, or its own checkpoints nearest
        // 12:00 and 20:00 (checkpoints 24 and 40: own grids 6 and 10) and the
        // 0.7M points between them and the window's ends.
        SCOPED_TRACE(kTickCarAfternoon.name);
        const CountPlan plan = planCounts(inputsFor(kTickCarAfternoon));
        EXPECT_EQ(plan.way, CountWay::incremental);
        ASSERT_EQ(plan.grids.size(), 2u);
        EXPECT_EQ(plan.grids[0].group, kCar);
        EXPECT_EQ(plan.grids[0].grid, 10u);
        EXPECT_EQ(plan.grids[0].sign, 1);
        EXPECT_EQ(plan.grids[1].group, kCar);
        EXPECT_EQ(plan.grids[1].grid, 6u);
        EXPECT_EQ(plan.grids[1].sign, -1);
        EXPECT_LT(runPoints(plan), std::size_t{1'000'000});
    }
}

// The net count of each group's positions a plan adds up to: its base, its
// grids and its runs, as intervals of positions with their signs.
std::map<int, std::map<std::size_t, long long>> netCount(const CountInputs& in, const CountPlan& plan) {
    std::map<int, std::map<std::size_t, long long>> net;
    const auto add = [&](int g, std::size_t first, std::size_t last, long long sign) {
        if (first == last) return;
        net[g][first] += sign;
        net[g][last] -= sign;
    };
    if (plan.way == CountWay::incremental) {
        for (int g = 0; g < kCountGroups; ++g)
            if ((in.lastGroups & bit(g)).any()) add(g, in.last[g].first, in.last[g].second, 1);
    } else if (plan.way == CountWay::checkpoints) {
        const GroupSet held = plan.followSelection ? in.groups : in.checkGroups;
        for (int g = 0; g < kCountGroups; ++g)
            if ((held & bit(g)).any()) add(g, (*in.checkIndex)[g][plan.start], (*in.checkIndex)[g][plan.end], 1);
    }
    for (const auto& term : plan.grids) {
        // Grid j holds the points before checkpoint j * ownStride, the last one the whole day.
        const std::size_t held = term.grid == in.ownGrids[term.group] + 1
                                     ? in.points[term.group]
                                     : (*in.checkIndex)[term.group][term.grid * in.ownStride];
        add(term.group, 0, held, term.sign);
    }
    for (const auto& run : plan.runs) add(run.group, run.first, run.last, run.sign);
    for (auto& [g, deltas] : net)
        for (auto it = deltas.begin(); it != deltas.end();) it = it->second == 0 ? deltas.erase(it) : std::next(it);
    return net;
}

// Whatever way is taken, forced or chosen, the counts are those of the new
// window: a wrong sign, a run from the wrong end or a base the plan does not
// start from counts some point twice or never.
TEST(CountPlan, EveryWayCountsExactlyTheWindow) {
    for (const Step* step : {&kOneSecondDrag, &kJumpToEvening, &kTickCarAllDay, &kUntickCarAllDay, &kFirstMinute,
                             &kTickCarAfternoon})
        for (CountPath path : {CountPath::cheapest, CountPath::incremental, CountPath::fromScratch,
                               CountPath::checkpoints, CountPath::checkpointsFollowing}) {
            SCOPED_TRACE(std::string(step->name) + ", way " + std::to_string(static_cast<int>(path)));
            const CountInputs in = inputsFor(*step, path);
            const CountPlan plan = planCounts(in);
            std::map<int, std::map<std::size_t, long long>> expected;
            for (int g = 0; g < kCountGroups; ++g)
                if ((in.groups & bit(g)).any() && in.now[g].first < in.now[g].second)
                    expected[g] = {{in.now[g].first, 1}, {in.now[g].second, -1}};
            auto net = netCount(in, plan);
            std::erase_if(net, [](const auto& entry) { return entry.second.empty(); });
            EXPECT_EQ(net, expected);
        }
}

// A way asked for is the way taken, except incremental without counts to
// start from.
TEST(CountPlan, ForcedWaysAreTaken) {
    const struct {
        CountPath path;
        const Step* step;
        CountWay way;
        bool follows;
    } cases[] = {
        {CountPath::incremental, &kJumpToEvening, CountWay::incremental, false},
        {CountPath::incremental, &kFirstMinute, CountWay::fromScratch, false},
        {CountPath::fromScratch, &kOneSecondDrag, CountWay::fromScratch, false},
        {CountPath::checkpoints, &kOneSecondDrag, CountWay::checkpoints, false},
        {CountPath::checkpointsFollowing, &kFirstMinute, CountWay::checkpoints, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step->name);
        const CountPlan plan = planCounts(inputsFor(*c.step, c.path));
        EXPECT_EQ(plan.way, c.way);
        EXPECT_EQ(plan.followSelection, c.follows);
    }
}

}  // namespace
