// The CPU engine's index of a sample source: every counted
// point's count-grid cell grouped by mode and day class and sorted by time, with each
// group's index of where every second starts, and the far points apart.
// The usual data (times of the day) takes one pass over the source; any
// other takes three (cpu/IndexDayPass.cpp, cpu/IndexAnyTimes.cpp; the
// memory they need, cpu/IndexMemory.cpp). Here, what both share.
#include "cpu/CountingEngine.h"

#include <algorithm>
#include <cstdint>

namespace engine {

SampleTally CountingEngine::tally(std::uint8_t dayClasses) const {
    SampleTally chosen;
    for (int c = 0; c < kDayClasses; ++c)
        if ((dayClasses >> c) & 1) chosen.merge(classTallies_[static_cast<std::size_t>(c)]);
    return chosen;
}

std::size_t CountingEngine::Group::earlierThan(std::int64_t time) const {
    if (!times.empty())
        return static_cast<std::size_t>(
            std::lower_bound(times.begin(), times.end(), time,
                             [](std::int32_t a, std::int64_t b) { return std::int64_t{a} < b; }) -
            times.begin());
    if (before.empty()) return 0;
    const std::int64_t second = time - firstSecond;
    if (second <= 0) return 0;
    if (second >= static_cast<std::int64_t>(before.size()) - 1) return count;
    return static_cast<std::size_t>(before[static_cast<std::size_t>(second)]);
}

bool CountingEngine::onCountGrid(const Datapoint& point, int dayClass, kde::Cell& cell, std::vector<FarPoint>& far) {
    cell = kde::cell_of(point);
    const kde::Place place = kde::place_of(cell);
    if (place == kde::Place::far)
        far.push_back(FarPoint{cell.row, cell.col, static_cast<std::int32_t>(point.mode), point.time, dayClass});
    return place == kde::Place::counted;
}

}  // namespace engine
