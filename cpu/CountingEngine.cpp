#include "cpu/CountingEngine.h"

#include <algorithm>
#include <utility>

#include "cpu/Convolution.h"
#include "kde/Parallel.h"

// The engine's caches of the last filter and table, the counting a plan
// calls for, the far points and the backend's operations; its other pieces
// are named in cpu/CountingEngine.h.

namespace engine {

using kde::kCountCells;

namespace {

// A mode value standing for each group's mode group when the shared filter is asked.
std::int32_t modeOfGroup(int group) {
    const int modeGroup = group / kDayClasses;
    return modeGroup < kModeCount ? std::int32_t{1} << modeGroup : 0;
}

bool dayClassPasses(int dayClass, std::uint8_t dayClasses) { return ((dayClasses >> dayClass) & 1u) != 0; }

}  // namespace

CountingEngine::CountingEngine(const std::vector<Datapoint>& points, unsigned threads,
                               const std::function<void(float)>& progress, Tuning tuning)
    : CountingEngine(SamplesInMemory::view(points), threads, progress, tuning) {}

CountingEngine::CountingEngine(const SampleSource& samples, unsigned threads,
                               const std::function<void(float)>& progress, Tuning tuning)
    : threads_(std::max(1u, threads)), indexing_(&samples), dated_(samples.hasDays()), tuning_(tuning) {
    const auto report = [&](float fraction) {
        if (progress) progress(fraction);
    };
    if (!indexTimesOfDay(samples, report)) indexAnyTimes(samples, report);
    // What the first computes need, built here, off the frame loop: every
    // group's whole-day counts and the checkpoints of all modes.
    placeCheckpoints();
    buildGroupCheckpoints();
    report(0.88f);
    buildDayCounts(dayCountsAtStart());
    report(0.9f);
    samples.stopIfCancelled();
    updateCheckpoints(GroupSet{}.set());
    samples.stopIfCancelled();
    indexing_ = nullptr;
    // One compute of every mode over the whole day, the usual first view:
    // its counts are ready, and the buffers every compute writes are in
    // memory already, not found page by page by the first frame.
    ControlSettings everything;
    everything.mode_mask = kAllModes;
    compute(everything);
    report(1.0f);
}

std::string CountingEngine::name() const {
    return "CPU, " + std::to_string(threads_) + (threads_ == 1 ? " thread" : " threads");
}

std::size_t CountingEngine::memoryBytes() const {
    std::size_t bytes = countedPoints_ * 4 + far_.capacity() * sizeof(FarPoint) + table_.capacity() * sizeof(float) +
                        (factors_.rows.capacity() + factors_.cols.capacity()) * sizeof(float) + counts_.capacity() * 4 +
                        rows_.capacity() * sizeof(float) + lastDensity_.capacity() * sizeof(float) +
                        checkTimes_.capacity() * sizeof(std::int64_t);
    for (const Group& group : groups_)
        bytes += group.before.capacity() * 4 + group.times.capacity() * 4 +
                 group.dayCounts.capacity() * 4;
    for (const auto& index : checkIndex_) bytes += index.capacity() * sizeof(std::size_t);
    for (const auto& grid : scratch_) bytes += grid.capacity() * 4;
    for (const auto& grid : checkpoints_) bytes += grid.capacity() * 4;
    for (const auto& grids : groupCheckpoints_)
        for (const auto& grid : grids) bytes += grid.capacity() * 4;
    return bytes;
}

void CountingEngine::setKernel(const std::vector<float>& table, int rows, int cols) {
    table_ = table;
    tableRows_ = rows;
    tableCols_ = cols;
    ++tableVersion_;
    factors_ = tableFactors(table_, rows, cols);
}

void CountingEngine::forgetLastCounts() {
    countsValid_ = false;
    densityValid_ = false;
}

void CountingEngine::preferCountPath(CountPath path) {
    preferred_ = path;
    forgetLastCounts();
}

CountingEngine::CountKey CountingEngine::keyOf(const ControlSettings& settings) const {
    CountKey key;
    key.timeFilter = settings.mode_mask != 0;  // the window is ignored with mask 0
    key.minTime = key.timeFilter ? settings.min_time : 0;
    key.maxTime = key.timeFilter ? settings.max_time : 0;
    // Empty groups count too: their far points follow the same filter.
    for (int g = 0; g < kGroups; ++g)
        if (kde::mode_passes(modeOfGroup(g), settings.mode_mask) &&
            dayClassPasses(g % kDayClasses, settings.day_classes))
            key.groups.set(static_cast<std::size_t>(g));
    return key;
}

CountingEngine::Window CountingEngine::windowOf(const CountKey& key) const {
    Window window{};
    for (int g = 0; g < kGroups; ++g) {
        if (!key.groups.test(static_cast<std::size_t>(g))) continue;
        const Group& group = groups_[g];
        if (!key.timeFilter)
            window[g] = {0, group.count};
        else if (key.minTime <= key.maxTime)
            window[g] = {group.earlierThan(key.minTime), group.earlierThan(std::int64_t{key.maxTime} + 1)};
    }
    return window;
}

const std::vector<std::uint32_t>& CountingEngine::countsFor(const ControlSettings& settings) {
    const CountKey key = keyOf(settings);
    if (countsValid_ && key == countKey_) return counts_;
    countByPlan(planCounts(countInputs(key)), key.groups);
    countKey_ = key;
    countsValid_ = true;
    return counts_;
}

// What the cost model weighs for a new filter: its windows, the last
// filter's, and what the checkpoints and each group's cumulative grids hold.
CountInputs CountingEngine::countInputs(const CountKey& key) const {
    CountInputs in;
    in.groups = key.groups;
    in.timeFilter = key.timeFilter;
    in.now = windowOf(key);
    in.haveLast = countsValid_;
    if (countsValid_) {
        in.lastGroups = countKey_.groups;
        in.last = windowOf(countKey_);
    }
    for (int g = 0; g < kGroups; ++g) {
        in.points[g] = groups_[g].count;
        in.wholeDay[g] = !groups_[g].dayCounts.empty();
        in.ownGrids[g] = groupCheckpoints_[g].size();
    }
    in.countedPoints = countedPoints_;
    in.checkIndex = &checkIndex_;
    in.checkpointsBuilt = checkpointsValid_;
    in.checkGroups = checkGroups_;
    in.ownStride = groupStride_;
    in.preferred = preferred_;
    return in;
}

// Carries out a plan for the filter of `groups`: the base its way starts
// from, then its cumulative grids in one pass over the counts, then its runs.
void CountingEngine::countByPlan(const CountPlan& plan, const GroupSet& groups) {
    if (plan.way == CountWay::checkpoints) {
        if (plan.followSelection) updateCheckpoints(groups);
        countBetweenCheckpoints(plan.start, plan.end);
    } else if (plan.way == CountWay::fromScratch) {
        counts_.resize(kCountCells);
    }
    addGrids(plan.grids, plan.way == CountWay::fromScratch);
    applyRuns(plan.runs, counts_.data());
}

// The counts: checkpoint `end` less checkpoint `start` (checkpoint 0 is empty).
void CountingEngine::countBetweenCheckpoints(std::size_t start, std::size_t end) {
    counts_.resize(kCountCells);
    std::uint32_t* out = counts_.data();
    const std::uint32_t* upper = end > 0 ? checkpoints_[end - 1].data() : nullptr;
    const std::uint32_t* lower = start > 0 ? checkpoints_[start - 1].data() : nullptr;
    runParallel(threads_, [&](unsigned t) {
        const Span span = spanOf(kCountCells, t, threads_);
        for (std::size_t i = span.first; i < span.last; ++i)
            out[i] = (upper ? upper[i] : 0u) - (lower ? lower[i] : 0u);
    });
}

// Adds the cumulative grids, with their signs, to the counts (to nothing
// when fromZero) in one pass.
void CountingEngine::addGrids(const std::vector<GridTerm>& grids, bool fromZero) {
    if (grids.empty() && !fromZero) return;
    std::vector<std::pair<const std::uint32_t*, std::uint32_t>> days;
    for (const GridTerm& term : grids)
        days.push_back({cumulativeGrid(term.group, term.grid), static_cast<std::uint32_t>(term.sign)});
    std::uint32_t* out = counts_.data();
    runParallel(threads_, [&](unsigned t) {
        const Span span = spanOf(kCountCells, t, threads_);
        for (std::size_t i = span.first; i < span.last; ++i) {
            std::uint32_t sum = fromZero ? 0u : out[i];
            for (const auto& [day, factor] : days) sum += factor * day[i];
            out[i] = sum;
        }
    });
}

// Adds the runs to target, the points shared out over the threads; every
// thread but the first counts into a grid of its own, summed in afterwards.
void CountingEngine::applyRuns(const std::vector<CountRun>& runs, std::uint32_t* target) {
    std::size_t total = 0;
    for (const CountRun& run : runs) total += run.last - run.first;
    if (total == 0) return;
    const unsigned workers = total < (std::size_t{1} << 16) ? 1u : threads_;
    scratch_.resize(std::max<std::size_t>(scratch_.size(), workers));
    runParallel(workers, [&](unsigned t) {
        std::uint32_t* grid = target;
        if (t > 0) {
            scratch_[t].assign(kCountCells, 0);
            grid = scratch_[t].data();
        }
        const Span share = spanOf(total, t, workers);
        std::size_t seen = 0;
        for (const CountRun& run : runs) {
            const std::size_t length = run.last - run.first;
            const std::size_t from = std::max(share.first, seen);
            const std::size_t to = std::min(share.last, seen + length);
            seen += length;
            if (from >= to) continue;
            const std::uint32_t* cells = groups_[run.group].cells + run.first + (from - (seen - length));
            const std::size_t n = to - from;
            if (run.sign > 0)
                for (std::size_t i = 0; i < n; ++i) ++grid[cells[i]];
            else
                for (std::size_t i = 0; i < n; ++i) --grid[cells[i]];
        }
    });
    if (workers > 1)
        runParallel(threads_, [&](unsigned t) {
            const Span span = spanOf(kCountCells, t, threads_);
            for (unsigned w = 1; w < workers; ++w) {
                const std::uint32_t* own = scratch_[w].data();
                for (std::size_t i = span.first; i < span.last; ++i) target[i] += own[i];
            }
        });
}

void CountingEngine::stampFarPoints(const ControlSettings& settings, std::vector<float>& grid) const {
    kde::AddToGrid add{grid.data()};
    for (const FarPoint& point : far_) {
        if (!kde::mode_passes(point.mode, settings.mode_mask) || !dayClassPasses(point.dayClass, settings.day_classes) ||
            !kde::time_passes(point.time, settings.mode_mask, settings.min_time, settings.max_time))
            continue;
        kde::stamp_far(point.row, point.col, factors_.rows.data(), tableRows_, factors_.cols.data(), tableCols_,
                                kde::kSide, add);
    }
}

std::vector<float> CountingEngine::density(const ControlSettings& settings) {
    const CountKey key = keyOf(settings);
    if (!densityValid_ || key != densityKey_ || densityTable_ != tableVersion_) {
        lastDensity_.resize(kde::kCells);
        convolveCounts(countsFor(settings).data(), factors_.rows, factors_.cols, threads_, rows_, lastDensity_);
        stampFarPoints(settings, lastDensity_);
        densityKey_ = key;
        densityTable_ = tableVersion_;
        densityValid_ = true;
    }
    return lastDensity_;
}

std::vector<float> CountingEngine::compute(const ControlSettings& settings) {
    std::vector<float> grid = density(settings);
    lastMaximum_ = finishGrid(grid, settings.use_log_scale, threads_);
    return grid;
}

std::int64_t CountingEngine::samplesInCell(int row, int col, const ControlSettings& filters) {
    if (row < 0 || row >= kde::kSide || col < 0 || col >= kde::kSide) return 0;
    // Points centred inside the grid are all on the count grid.
    return countsFor(filters)[kde::count_index(kde::Cell{row, col, true})];
}

std::vector<float> CountingEngine::cellCounts(const ControlSettings& filters) {
    const std::uint32_t* counts = countsFor(filters).data();
    std::vector<float> cells(static_cast<std::size_t>(kde::kSide) * kde::kSide);
    for (int row = 0; row < kde::kSide; ++row)
        for (int col = 0; col < kde::kSide; ++col)
            cells[static_cast<std::size_t>(row) * kde::kSide + static_cast<std::size_t>(col)] =
                static_cast<float>(counts[kde::count_index(kde::Cell{row, col, true})]);
    return cells;
}

}  // namespace engine
