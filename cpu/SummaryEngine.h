#pragma once
// The density from a summary (model/Summary.h) instead of samples: the
// counts of a filter are the sum of the selected keys' counts per cell,
// then the CPU engine's convolution (cpu/Convolution.h) of those counts.
// From a summary of the same samples the grid is the CPU engine's, float
// for float (the counts are the same integers, convolved alike), for every
// mode mask, every day-class choice, every table up to 129 cells a side
// and every time window whose ends lie on step edges (min_time a multiple
// of the step, max_time one less than a multiple, or 86400). Any other
// window takes every step it overlaps whole. Samples at times outside
// 0 .. 86399 and those beyond the count grid are not in a summary.
//
// What a filter change costs does not depend on how many samples the
// summary counts: the last filter's counts (64-bit, per count-grid cell)
// are corrected by the keys that entered or left, or, where fewer entries
// are touched so, each (day class, group) side is taken as its whole-day
// counts less the steps outside its window. The whole-day counts are
// built on opening, one sparse list per (day class, group) holding at most
// one entry per occupied cell: a mode or day toggle over the whole day
// touches at most the occupied cells of that mode, never the steps. A
// change that drops most of the selection starts from zero instead.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kde/Backend.h"
#include "model/Summary.h"

namespace engine {

class SummaryEngine final : public DensityBackend, public CellCounter {
public:
    SummaryEngine(std::shared_ptr<const Summary> summary, unsigned threads);

    const Summary& summary() const { return *summary_; }

    using DensityBackend::setKernel;
    void setKernel(const std::vector<float>& table, int rows, int cols) override;
    std::vector<float> compute(const ControlSettings& settings) override;
    std::string name() const override;
    std::size_t memoryBytes() const override;
    void forgetLastCounts() override;

    // The raw grid of summed weights, before the logarithm and normalisation.
    std::vector<float> density(const ControlSettings& settings);
    float densityAt(std::size_t index) override {
        return densityValid_ && index < lastDensity_.size() ? lastDensity_[index] : 0.0f;
    }

    std::int64_t samplesInCell(int row, int col, const ControlSettings& filters) override;
    std::vector<float> cellCounts(const ControlSettings& filters) override;

    // The steps [first, last) of the day a filter takes: all with mask 0
    // (no time filter), else every step the window overlaps.
    struct Steps {
        std::int32_t first = 0;
        std::int32_t last = 0;
        bool operator==(const Steps&) const = default;
    };
    Steps stepsOf(const ControlSettings& settings) const;

    // Entries added or taken away by the last count (for the benchmark).
    std::size_t lastEntriesTouched() const { return touched_; }

private:
    static constexpr int kSides = kDayClasses * kSummaryGroups;
    // A filter as the counts see it: per (day class, group), its steps.
    struct CountKey {
        std::array<Steps, kSides> sides{};
        bool operator==(const CountKey&) const = default;
    };
    CountKey keyOf(const ControlSettings& settings) const;
    const std::vector<std::uint64_t>& countsFor(const ControlSettings& settings);
    // Entries of side s in steps [first, last).
    std::size_t entriesIn(int side, std::int32_t first, std::int32_t last) const;
    // Entries to add to the counts, times sign (1, or -1 to take them away).
    struct Run {
        const std::uint32_t* cells;  // ascending
        const std::uint64_t* counts;
        std::size_t n;
        std::uint64_t sign;
    };
    // Queues side s's steps [first, last), or its whole day, for applyRuns.
    void applySteps(int side, std::int32_t first, std::int32_t last, std::uint64_t sign);
    void applyWholeDay(int side, std::uint64_t sign);
    void applyRuns();
    // The entries a side's selection touches when added by applySide, which
    // adds it (sign 1) or takes it away, as its steps or as its whole day
    // less the other steps, whichever touches fewer.
    std::size_t costOf(int side, Steps steps) const;
    void applySide(int side, Steps steps, std::uint64_t sign);
    std::optional<std::size_t> incrementalCost(int side, Steps was, Steps now) const;

    std::shared_ptr<const Summary> summary_;
    unsigned threads_;
    std::int32_t steps_;
    // Per side: where each step's block starts in the summary's entries
    // (stepStart[side][k] .. stepStart[side][k + 1], empty steps included).
    std::vector<std::vector<std::uint64_t>> stepStart_;
    // Per side: its whole-day counts, cells ascending.
    std::array<std::vector<std::uint32_t>, kSides> dayCells_;
    std::array<std::vector<std::uint64_t>, kSides> dayCounts_;

    std::vector<float> table_{1.0f};
    TableFactors factors_{{1.0f}, {1.0f}};
    unsigned tableVersion_ = 0;

    CountKey countKey_;
    bool countsValid_ = false;
    std::vector<std::uint64_t> counts_;
    std::size_t touched_ = 0;
    std::vector<Run> runs_;

    std::vector<float> lastDensity_;
    CountKey densityKey_;
    unsigned densityTable_ = 0;
    bool densityValid_ = false;
    std::vector<float> rows_;
};

}  // namespace engine
