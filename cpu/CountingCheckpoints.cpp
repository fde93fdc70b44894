// The CPU engine's counts that outlive a filter: each group's whole-day
// counts, the checkpoints of a mode selection through the day, and each
// large group's own checkpoints, all built while the samples load.
#include "cpu/CountingEngine.h"

#include <algorithm>
#include <limits>

#include "kde/Parallel.h"

namespace engine {

using kde::kCountCells;

std::vector<std::vector<int>> CountingEngine::shareOut(std::vector<int> groups) const {
    std::sort(groups.begin(), groups.end(), [&](int a, int b) { return groups_[a].count > groups_[b].count; });
    std::vector<std::vector<int>> share(threads_);
    std::vector<std::size_t> load(threads_, 0);
    for (int g : groups) {
        const auto least = static_cast<std::size_t>(std::min_element(load.begin(), load.end()) - load.begin());
        share[least].push_back(g);
        load[least] += groups_[g].count;
    }
    return share;
}

// Counts the whole day of the groups that have none yet, a group per thread
// at a time, the largest first, each to the least loaded thread.
void CountingEngine::buildDayCounts(const GroupSet& groups) {
    std::vector<int> missing;
    for (int g = 0; g < kGroups; ++g)
        if (groups.test(static_cast<std::size_t>(g)) && groups_[g].count > 0 && groups_[g].dayCounts.empty())
            missing.push_back(g);
    if (missing.empty()) return;
    const std::vector<std::vector<int>> share = shareOut(missing);
    runParallel(threads_, [&](unsigned t) {
        for (int g : share[t]) {
            Group& group = groups_[g];
            std::vector<std::uint32_t> day(kCountCells, 0);
            for (std::size_t first = 0; first < group.count; first += kCancelStride) {
                stopIfCancelled();
                const std::size_t last = std::min(group.count, first + kCancelStride);
                for (std::size_t i = first; i < last; ++i) ++day[group.cells[i]];
            }
            group.dayCounts = std::move(day);
        }
    });
}

// Data without dates fills at most one group per mode group, each given its
// whole day as before. Dated data spreads over eight times the groups: a
// grid (5 MiB) for each would cost more than the points themselves below 40
// million, so beyond one a mode group the largest groups get theirs within
// half a byte a point, the others on first use.
GroupSet CountingEngine::dayCountsAtStart() const {
    std::vector<int> occupied;
    for (int g = 0; g < kGroups; ++g)
        if (groups_[g].count > 0) occupied.push_back(g);
    std::sort(occupied.begin(), occupied.end(), [&](int a, int b) { return groups_[a].count > groups_[b].count; });
    const std::size_t budget =
        std::max<std::size_t>(kModeGroups, countedPoints_ / 2 / (kCountCells * sizeof(std::uint32_t)));
    GroupSet chosen;
    for (std::size_t k = 0; k < occupied.size() && k < budget; ++k) chosen.set(static_cast<std::size_t>(occupied[k]));
    return chosen;
}

// Checkpoint times at quantiles of all points' times, so each stretch between
// two holds about the same number of points. Their number grows with the
// points, within about 2.5 bytes per point, so that a jump of the window
// costs at most about 2 million points up to a billion points.
void CountingEngine::placeCheckpoints() {
    const std::size_t gridBytes = kCountCells * 4;
    const std::size_t count = std::clamp<std::size_t>(countedPoints_ * 5 / 2 / gridBytes, 4, kMaxCheckpoints);
    const auto earlier = [&](std::int64_t time) {
        std::size_t total = 0;
        for (const Group& group : groups_) total += group.earlierThan(time);
        return total;
    };
    checkTimes_.assign(count + 1, 0);
    for (std::size_t k = 1; k < count; ++k) {
        // The first time before which at least k / count of the points lie.
        const std::size_t wanted = (countedPoints_ * k + count - 1) / count;
        std::int64_t low = std::numeric_limits<std::int32_t>::min();
        std::int64_t high = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
        while (low < high) {
            const std::int64_t middle = low + (high - low) / 2;
            if (earlier(middle) >= wanted)
                high = middle;
            else
                low = middle + 1;
        }
        checkTimes_[k] = low;
    }
    for (int g = 0; g < kGroups; ++g) {
        auto& index = checkIndex_[g];
        index.assign(count + 1, 0);
        for (std::size_t k = 1; k < count; ++k) index[k] = groups_[g].earlierThan(checkTimes_[k]);
        index[count] = groups_[g].count;
    }
}

// Each large group's own cumulative counts at every stride-th checkpoint,
// within about 1.5 bytes per point (as tuned), so that a window of any group (a mode
// ticked under a narrow window, a jump of a window the checkpoints of all
// modes do not hold) costs two grids and the points to its ends. A running
// grid per group climbs through its points; what it ends with is the
// group's whole-day counts.
void CountingEngine::buildGroupCheckpoints() {
    const std::size_t count = checkTimes_.size() - 1;
    const std::size_t gridBytes = kCountCells * 4;
    const double budget = static_cast<double>(countedPoints_) * tuning_.groupCheckpointBytes / gridBytes;  // grids
    std::vector<int> large;
    for (int g = 0; g < kGroups; ++g)
        if (groups_[g].count > 0 && groups_[g].count >= tuning_.groupCheckpointPoints) large.push_back(g);
    groupStride_ = 0;
    for (std::size_t stride = 1; stride < count && !large.empty(); ++stride)
        if (static_cast<double>(large.size() * ((count - 1) / stride)) <= budget) {
            groupStride_ = stride;
            break;
        }
    if (groupStride_ == 0) return;
    const std::vector<std::vector<int>> share = shareOut(large);
    runParallel(threads_, [&](unsigned t) {
        for (int g : share[t]) {
            Group& group = groups_[g];
            std::vector<std::uint32_t> running(kCountCells, 0);
            for (std::size_t k = 1; k <= count; ++k) {
                stopIfCancelled();
                for (std::size_t i = checkIndex_[g][k - 1]; i < checkIndex_[g][k]; ++i) ++running[group.cells[i]];
                if (k % groupStride_ == 0 && k < count) groupCheckpoints_[g].push_back(running);
            }
            group.dayCounts = std::move(running);
        }
    });
}

const std::uint32_t* CountingEngine::cumulativeGrid(int g, std::size_t j) const {
    return j == groupCheckpoints_[g].size() + 1 ? groups_[g].dayCounts.data() : groupCheckpoints_[g][j - 1].data();
}

// The last checkpoint before which at most half of `total` lies, counting
// the groups' points.
std::size_t CountingEngine::halfwayCheckpoint(const std::vector<int>& groups, std::size_t total) const {
    const std::size_t count = checkTimes_.size() - 1;
    std::size_t split = 0;
    while (split < count) {
        std::size_t below = 0;
        for (int g : groups) below += checkIndex_[g][split + 1];
        if (2 * below > total) break;
        ++split;
    }
    return split;
}

// Brings the checkpoints from the groups they hold to `groups`: the groups
// that differ are added or taken away, one running count grid climbing from
// the start of the day and, on a second thread, one descending from its end.
void CountingEngine::updateCheckpoints(const GroupSet& groups) {
    const std::size_t count = checkTimes_.size() - 1;
    // Current again only once every grid holds `groups`: an allocation that
    // fails or a cancel part-way leaves them to be built from scratch, never
    // half updated and taken as current.
    const bool wasValid = checkpointsValid_;
    checkpointsValid_ = false;
    if (!wasValid) {
        checkGroups_.reset();
        checkpoints_.resize(count);
        for (auto& grid : checkpoints_) grid.assign(kCountCells, 0);
    }
    const GroupSet changed = groups ^ checkGroups_;
    std::vector<int> changedGroups;
    std::size_t total = 0;
    for (int g = 0; g < kGroups; ++g)
        if (changed.test(static_cast<std::size_t>(g)) && groups_[g].count > 0) {
            changedGroups.push_back(g);
            total += groups_[g].count;
        }
    if (!changedGroups.empty()) addToCheckpoints(groups, changedGroups, total);
    checkGroups_ = groups;
    checkpointsValid_ = true;
}

// Adds the changed groups' points to the checkpoints (+1 for those in
// `groups`, -1 for the others).
void CountingEngine::addToCheckpoints(const GroupSet& groups, const std::vector<int>& changedGroups,
                                      std::size_t total) {
    const std::size_t count = checkTimes_.size() - 1;
    const auto signOf = [&](int g) { return groups.test(static_cast<std::size_t>(g)) ? 1u : ~0u; };  // +1 or -1, wrapping
    // The climbing thread takes checkpoints 1..split, the other the rest,
    // starting from the changed groups' whole day: their whole-day counts
    // where held, else their points once more, which the split weighs. (A
    // whole-day grid for each of the 96 groups of dated data would cost
    // more than the points.)
    std::size_t recounted = 0;
    for (int g : changedGroups)
        if (groups_[g].dayCounts.empty()) recounted += groups_[g].count;
    const std::size_t split = threads_ > 1 ? halfwayCheckpoint(changedGroups, total + recounted) : count;
    scratch_.resize(std::max<std::size_t>(scratch_.size(), 2));
    const auto addSlice = [&](std::vector<std::uint32_t>& running, std::size_t k, bool add) {
        stopIfCancelled();
        for (int g : changedGroups) {
            const std::uint32_t sign = add ? signOf(g) : 0u - signOf(g);
            const std::uint32_t* cells = groups_[g].cells;
            for (std::size_t i = checkIndex_[g][k - 1]; i < checkIndex_[g][k]; ++i) running[cells[i]] += sign;
        }
    };
    const auto addTo = [](std::vector<std::uint32_t>& target, const std::vector<std::uint32_t>& running) {
        std::uint32_t* out = target.data();
        const std::uint32_t* in = running.data();
        for (std::size_t i = 0; i < kCountCells; ++i) out[i] += in[i];
    };
    runParallel(threads_ > 1 ? 2u : 1u, [&](unsigned t) {
        std::vector<std::uint32_t>& running = scratch_[t];
        if (t == 0) {
            running.assign(kCountCells, 0);
            for (std::size_t k = 1; k <= split; ++k) {
                addSlice(running, k, true);
                addTo(checkpoints_[k - 1], running);
            }
        } else {
            running.assign(kCountCells, 0);
            for (int g : changedGroups) {
                const std::uint32_t sign = signOf(g);
                const Group& group = groups_[g];
                if (group.dayCounts.empty()) {
                    for (std::size_t first = 0; first < group.count; first += kCancelStride) {
                        stopIfCancelled();
                        const std::size_t last = std::min(group.count, first + kCancelStride);
                        for (std::size_t i = first; i < last; ++i) running[group.cells[i]] += sign;
                    }
                    continue;
                }
                const std::uint32_t* day = group.dayCounts.data();
                for (std::size_t i = 0; i < kCountCells; ++i) running[i] += sign * day[i];
            }
            for (std::size_t k = count; k > split; --k) {
                addTo(checkpoints_[k - 1], running);
                addSlice(running, k, false);
            }
        }
    });
}

}  // namespace engine
