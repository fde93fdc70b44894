#include "cpu/SummaryEngine.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "cpu/Convolution.h"
#include "kde/KdeLogic.h"
#include "kde/Parallel.h"

namespace engine {

namespace {
std::int32_t modeOfGroup(int group) { return group < kModeCount ? std::int32_t{1} << group : 0; }
constexpr std::uint64_t kAdd = 1;
constexpr std::uint64_t kTakeAway = ~std::uint64_t{0};  // -1: unsigned sums wrap back exactly
}  // namespace

SummaryEngine::SummaryEngine(std::shared_ptr<const Summary> summary, unsigned threads)
    : summary_(std::move(summary)), threads_(std::max(1u, threads)), steps_(summary_->stepsPerDay()) {
    const Summary& s = *summary_;
    // Each side's entries are contiguous, its steps in order: where each
    // step starts is the first block at or after its id.
    stepStart_.assign(kSides, std::vector<std::uint64_t>(static_cast<std::size_t>(steps_) + 1));
    std::size_t b = 0;
    for (int side = 0; side < kSides; ++side)
        for (std::int32_t k = 0; k <= steps_; ++k) {
            const std::uint64_t id = static_cast<std::uint64_t>(side) * steps_ + k;
            while (b < s.blockIds.size() && s.blockIds[b] < id) ++b;
            stepStart_[side][k] = s.blockStart[b];
        }
    // Each side's whole day, summed through one dense grid, the cells it
    // touched collected and sorted.
    std::vector<std::uint64_t> dense(kde::kCountCells, 0);
    std::vector<std::uint32_t> touched;
    for (int side = 0; side < kSides; ++side) {
        touched.clear();
        for (std::uint64_t e = stepStart_[side][0]; e < stepStart_[side][steps_]; ++e) {
            const std::uint32_t cell = s.cells[e];
            if (dense[cell] == 0) touched.push_back(cell);
            dense[cell] += s.counts[e];
        }
        std::sort(touched.begin(), touched.end());
        dayCells_[side] = touched;
        dayCounts_[side].resize(touched.size());
        for (std::size_t i = 0; i < touched.size(); ++i) {
            dayCounts_[side][i] = dense[touched[i]];
            dense[touched[i]] = 0;
        }
    }
    counts_.assign(kde::kCountCells, 0);
    countKey_ = CountKey{};  // nothing selected: all zeros
    countsValid_ = true;
}

std::string SummaryEngine::name() const {
    return "summary, CPU, " + std::to_string(threads_) + (threads_ == 1 ? " thread" : " threads");
}

std::size_t SummaryEngine::memoryBytes() const {
    const Summary& s = *summary_;
    std::size_t bytes = s.cells.capacity() * 4 + s.counts.capacity() * 8 + s.blockIds.capacity() * 4 +
                        s.blockStart.capacity() * 8 + counts_.capacity() * 8 + rows_.capacity() * 4 +
                        lastDensity_.capacity() * 4 + table_.capacity() * 4;
    for (const auto& starts : stepStart_) bytes += starts.capacity() * 8;
    for (int side = 0; side < kSides; ++side) bytes += dayCells_[side].capacity() * 4 + dayCounts_[side].capacity() * 8;
    return bytes;
}

void SummaryEngine::setKernel(const std::vector<float>& table, int rows, int cols) {
    table_ = table;
    ++tableVersion_;
    factors_ = tableFactors(table_, rows, cols);
}

void SummaryEngine::forgetLastCounts() {
    countsValid_ = false;
    densityValid_ = false;
}

SummaryEngine::Steps SummaryEngine::stepsOf(const ControlSettings& settings) const {
    // The window is ignored with mask 0, as the sample engines ignore it.
    if (settings.mode_mask == 0) return Steps{0, steps_};
    const std::int64_t low = std::max<std::int64_t>(settings.min_time, 0);
    const std::int64_t high = std::min<std::int64_t>(settings.max_time, 86399);
    if (low > high) return Steps{0, 0};
    const std::int32_t step = summary_->stepSeconds;
    return Steps{static_cast<std::int32_t>(low / step), static_cast<std::int32_t>(high / step) + 1};
}

SummaryEngine::CountKey SummaryEngine::keyOf(const ControlSettings& settings) const {
    CountKey key;
    const Steps steps = stepsOf(settings);
    if (steps.first >= steps.last) return key;
    for (int dayClass = 0; dayClass < kDayClasses; ++dayClass) {
        if (!((settings.day_classes >> dayClass) & 1)) continue;
        for (int g = 0; g < kSummaryGroups; ++g)
            if (kde::mode_passes(modeOfGroup(g), settings.mode_mask)) key.sides[dayClass * kSummaryGroups + g] = steps;
    }
    return key;
}

std::size_t SummaryEngine::entriesIn(int side, std::int32_t first, std::int32_t last) const {
    if (first >= last) return 0;
    return stepStart_[side][last] - stepStart_[side][first];
}

void SummaryEngine::applySteps(int side, std::int32_t first, std::int32_t last, std::uint64_t sign) {
    const Summary& s = *summary_;
    // A run per step: cells ascend within a block, not across blocks.
    for (std::int32_t k = first; k < last; ++k) {
        const std::uint64_t from = stepStart_[side][k];
        const std::uint64_t to = stepStart_[side][k + 1];
        if (from < to) runs_.push_back(Run{s.cells.data() + from, s.counts.data() + from, to - from, sign});
    }
}

void SummaryEngine::applyWholeDay(int side, std::uint64_t sign) {
    if (!dayCells_[side].empty())
        runs_.push_back(Run{dayCells_[side].data(), dayCounts_[side].data(), dayCells_[side].size(), sign});
}

// Adds the runs to the counts, each thread the cells of its share of the
// count grid: a run's cells ascend, so a share is a contiguous part of it,
// and no two threads write one cell.
void SummaryEngine::applyRuns() {
    std::size_t total = 0;
    for (const Run& run : runs_) total += run.n;
    touched_ += total;
    const unsigned workers = total < (std::size_t{1} << 14) ? 1u : threads_;
    std::uint64_t* out = counts_.data();
    runParallel(workers, [&](unsigned t) {
        const Span share = spanOf(kde::kCountCells, t, workers);
        for (const Run& run : runs_) {
            const std::uint32_t* begin = run.cells;
            const std::uint32_t* end = run.cells + run.n;
            if (workers > 1) {
                begin = std::lower_bound(begin, end, static_cast<std::uint32_t>(share.first));
                end = std::lower_bound(begin, end, static_cast<std::uint32_t>(share.last));
            }
            const std::uint64_t* counts = run.counts + (begin - run.cells);
            const std::size_t n = static_cast<std::size_t>(end - begin);
            for (std::size_t i = 0; i < n; ++i) out[begin[i]] += run.sign * counts[i];
        }
    });
    runs_.clear();
}

std::size_t SummaryEngine::costOf(int side, Steps steps) const {
    const std::size_t direct = entriesIn(side, steps.first, steps.last);
    const std::size_t viaDay =
        dayCells_[side].size() + entriesIn(side, 0, steps.first) + entriesIn(side, steps.last, steps_);
    return std::min(direct, viaDay);
}

void SummaryEngine::applySide(int side, Steps steps, std::uint64_t sign) {
    if (steps.first >= steps.last) return;
    const std::size_t direct = entriesIn(side, steps.first, steps.last);
    const std::size_t viaDay =
        dayCells_[side].size() + entriesIn(side, 0, steps.first) + entriesIn(side, steps.last, steps_);
    if (direct <= viaDay) {
        applySteps(side, steps.first, steps.last, sign);
    } else {
        applyWholeDay(side, sign);
        applySteps(side, 0, steps.first, ~sign + 1);
        applySteps(side, steps.last, steps_, ~sign + 1);
    }
}

// A side's change from `was` to `now` as the steps that entered and left:
// its cost in entries, or none when taking `was` away and adding `now`
// touches fewer.
std::optional<std::size_t> SummaryEngine::incrementalCost(int side, Steps was, Steps now) const {
    const bool overlap = was.first < now.last && now.first < was.last;
    if (!overlap) return std::nullopt;
    const std::size_t shared = entriesIn(side, std::max(was.first, now.first), std::min(was.last, now.last));
    const std::size_t cost = entriesIn(side, now.first, now.last) + entriesIn(side, was.first, was.last) - 2 * shared;
    if (cost > costOf(side, was) + costOf(side, now)) return std::nullopt;
    return cost;
}

const std::vector<std::uint64_t>& SummaryEngine::countsFor(const ControlSettings& settings) {
    const CountKey key = keyOf(settings);
    if (countsValid_ && key == countKey_) return counts_;
    touched_ = 0;
    // From the last counts, or from zero (clearing the grid costs about what
    // adding a quarter of its cells does) when that touches fewer entries:
    // a change that drops most of what was selected.
    std::size_t fromLast = 0;
    std::size_t fromZero = kde::kCountCells / 4;
    for (int side = 0; side < kSides; ++side) {
        const Steps was = countKey_.sides[side];
        const Steps now = key.sides[side];
        fromZero += costOf(side, now);
        if (!countsValid_ || was == now) continue;
        const auto incremental = incrementalCost(side, was, now);
        fromLast += incremental ? *incremental : costOf(side, was) + costOf(side, now);
    }
    if (!countsValid_ || fromZero < fromLast) {
        std::fill(counts_.begin(), counts_.end(), 0);
        countKey_ = CountKey{};
    }
    for (int side = 0; side < kSides; ++side) {
        const Steps was = countKey_.sides[side];
        const Steps now = key.sides[side];
        if (was == now || (was.first >= was.last && now.first >= now.last)) continue;
        // Correct by the steps that entered and left, or take the old
        // selection away and add the new, whichever touches fewer entries.
        if (incrementalCost(side, was, now)) {
            applySteps(side, now.first, std::min(now.last, was.first), kAdd);
            applySteps(side, std::max(now.first, was.last), now.last, kAdd);
            applySteps(side, was.first, std::min(was.last, now.first), kTakeAway);
            applySteps(side, std::max(was.first, now.last), was.last, kTakeAway);
        } else {
            applySide(side, was, kTakeAway);
            applySide(side, now, kAdd);
        }
    }
    applyRuns();
    countKey_ = key;
    countsValid_ = true;
    return counts_;
}

std::vector<float> SummaryEngine::density(const ControlSettings& settings) {
    const CountKey key = keyOf(settings);
    if (!densityValid_ || !(key == densityKey_) || densityTable_ != tableVersion_) {
        lastDensity_.resize(kde::kCells);
        convolveCounts(countsFor(settings).data(), factors_.rows, factors_.cols, threads_, rows_, lastDensity_);
        densityKey_ = key;
        densityTable_ = tableVersion_;
        densityValid_ = true;
    }
    return lastDensity_;
}

std::vector<float> SummaryEngine::compute(const ControlSettings& settings) {
    std::vector<float> grid = density(settings);
    lastMaximum_ = finishGrid(grid, settings.use_log_scale, threads_);
    return grid;
}

std::int64_t SummaryEngine::samplesInCell(int row, int col, const ControlSettings& filters) {
    if (row < 0 || row >= kde::kSide || col < 0 || col >= kde::kSide) return 0;
    return static_cast<std::int64_t>(countsFor(filters)[kde::count_index(kde::Cell{row, col, true})]);
}

std::vector<float> SummaryEngine::cellCounts(const ControlSettings& filters) {
    const std::uint64_t* counts = countsFor(filters).data();
    std::vector<float> cells(static_cast<std::size_t>(kde::kSide) * kde::kSide);
    for (int row = 0; row < kde::kSide; ++row)
        for (int col = 0; col < kde::kSide; ++col)
            cells[static_cast<std::size_t>(row) * kde::kSide + static_cast<std::size_t>(col)] =
                static_cast<float>(counts[kde::count_index(kde::Cell{row, col, true})]);
    return cells;
}

}  // namespace engine
