#pragma once
// How the CPU engine counts the points of a new filter per cell: the cost
// model that picks the cheapest of its ways, and the steps that way takes.
// The ways: correct the last filter's counts by the points that entered or
// left it (incremental), count from nothing (from scratch), or start from
// the difference of two checkpoints of the day and correct that by the
// points between each checkpoint and each end of the window and by the
// groups selected but not held there, or held but not selected. Wherever it
// pays, a group's window is the difference of two of its cumulative grids
// (its own checkpoints, its whole day) rather than point by point.
//
// A pure function of plain data (where each group's window lies, what the
// last counts and the checkpoints hold), so its choices are tested apart
// from the engine that carries them out (cpu/CountingEngine.cpp).
#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "model/Datapoint.h"
#include "model/SampleDays.h"

namespace engine {

// The groups the engine keeps its points in: each mode group (the eleven
// modes, then every other mode value) split by day class (model/SampleDays.h),
// so a choice of weekdays is a choice of groups like a choice of modes.
// Group g is mode group g / kDayClasses, day class g % kDayClasses; data
// without dates fills only the unknown-date class. Bit g of a group set
// stands for group g.
inline constexpr int kModeGroups = kModeCount + 1;
inline constexpr int kCountGroups = kModeGroups * kDayClasses;
using GroupSet = std::bitset<kCountGroups>;
constexpr int countGroupOf(int modeGroup, int dayClass) { return modeGroup * kDayClasses + dayClass; }

// Points [first, last) of a group, in time order.
using PointRange = std::pair<std::size_t, std::size_t>;
using GroupWindows = std::array<PointRange, kCountGroups>;

// How the counts of a new filter are found: the cheapest way (the default),
// or always one way, for tests and benchmarks: from the last counts, from
// scratch, from the checkpoints as they are, or from checkpoints brought to
// the selection first.
enum class CountPath { cheapest, incremental, fromScratch, checkpoints, checkpointsFollowing };

// What the cost model weighs. The windows are positions in each group's
// time-sorted points.
struct CountInputs {
    // The new filter: its groups and each selected group's window.
    GroupSet groups;
    bool timeFilter = false;
    GroupWindows now{};
    // The last filter's counts, when they are held.
    bool haveLast = false;
    GroupSet lastGroups;
    GroupWindows last{};
    // Points of each group, and of every group together.
    std::array<std::size_t, kCountGroups> points{};
    std::size_t countedPoints = 0;
    // The checkpoints of the day: (*checkIndex)[g][k] is the number of group
    // g's points before checkpoint k, for k = 0 (none) .. the last (all of
    // them); never null. When built, they hold the counts of the groups
    // checkGroups.
    const std::array<std::vector<std::size_t>, kCountGroups>* checkIndex = nullptr;
    bool checkpointsBuilt = false;
    GroupSet checkGroups;
    // A group's cumulative grids, j = 0 .. ownGrids[g] + 1 where it has its
    // whole-day counts (wholeDay[g]), none otherwise: grid 0 is empty, grid
    // j holds its points before checkpoint j * ownStride, the last its whole
    // day.
    std::array<bool, kCountGroups> wholeDay{};
    std::array<std::size_t, kCountGroups> ownGrids{};
    std::size_t ownStride = 0;
    CountPath preferred = CountPath::cheapest;
};

enum class CountWay { incremental, fromScratch, checkpoints };

// Points [first, last) of a group, added (sign 1) or taken away (-1).
struct CountRun {
    int group;
    std::size_t first;
    std::size_t last;
    std::int32_t sign;
};
// A group's cumulative grid (see CountInputs), added (sign 1) or taken away (-1).
struct GridTerm {
    int group;
    std::size_t grid;
    std::int32_t sign;
};

// The counts are: the base of the way (the last counts; nothing; or
// checkpoint `end` less checkpoint `start`, checkpoint 0 being empty, after
// the checkpoints are brought to the new groups when followSelection), plus
// the grids, plus the runs.
struct CountPlan {
    CountWay way = CountWay::fromScratch;
    bool followSelection = false;
    std::size_t start = 0;
    std::size_t end = 0;
    std::vector<GridTerm> grids;
    std::vector<CountRun> runs;
};

CountPlan planCounts(const CountInputs& in);

}  // namespace engine
