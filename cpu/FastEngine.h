#pragma once
// The CPU engine the application runs when no GPU does: the same grid as the
// reference engine within float rounding, at a cost of O(points + cells x
// size) instead of O(points x size^2).
//
// The points are kept grouped by mode and sorted by time, each as its centre
// cell and its time (8 bytes), so a filter selects contiguous runs. A compute
// counts the selected points per centre cell, then convolves the counts once
// with the weight table, which is separable: its row sums are its
// one-dimensional factor. What does not change between computes is cached:
// each mode's whole-day counts and the counts of the last filter.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/Backend.h"
#include "engine/KdeLogic.h"

namespace engine {

class FastEngine final : public DensityBackend, public CellCounter {
public:
    FastEngine(const std::vector<Datapoint>& points, unsigned threads);

    void setKernel(const std::vector<float>& table, int size) override;
    std::vector<float> compute(const ControlSettings& settings) override;
    std::string name() const override;
    std::size_t memoryBytes() const override;

    // The raw grid of summed weights, before the logarithm and normalisation.
    std::vector<float> density(const ControlSettings& settings);

    // Forgets the counts of the last filter (the per-mode whole-day counts
    // stay), so a benchmark can time a filter change.
    void forgetLastCounts() override;

    std::int64_t samplesInCell(int row, int col, const ControlSettings& filters) override;

    // Margin of the count grid around the 1000 x 1000 grid: points centred
    // further out are stamped one by one.
    static constexpr int kPad = 64;
    static constexpr int kCountSide = kde::kSide + 2 * kPad;
    static constexpr std::size_t kCountCells = std::size_t{kCountSide} * kCountSide;
    // Eleven modes, then every other mode value.
    static constexpr int kGroups = kModeCount + 1;

private:
    struct Group {
        std::vector<std::int32_t> times;   // ascending
        std::vector<std::uint32_t> cells;  // index into the count grid
        std::vector<std::uint32_t> dayCounts;  // whole-group counts, built on first use
    };
    struct FarPoint {
        int row;
        int col;
        std::int32_t mode;
        std::int32_t time;
    };
    struct CountKey {
        unsigned groups = 0;
        bool timeFilter = false;
        std::int32_t minTime = 0;
        std::int32_t maxTime = 0;
        bool operator==(const CountKey&) const = default;
    };

    const std::vector<std::uint32_t>& countsFor(const ControlSettings& settings);
    const std::vector<std::uint32_t>& dayCounts(int group);
    void convolve(const std::vector<std::uint32_t>& counts, std::vector<float>& grid);
    void stampFarPoints(const ControlSettings& settings, std::vector<float>& grid) const;

    unsigned threads_;
    std::array<Group, kGroups> groups_;
    std::vector<FarPoint> far_;
    std::vector<float> table_{1.0f};
    std::vector<float> factor_{1.0f};
    int size_ = 1;

    CountKey countKey_;
    bool countsValid_ = false;
    std::vector<std::uint32_t> counts_;
    unsigned daySumGroups_ = 0;
    bool daySumValid_ = false;
    std::vector<std::uint32_t> daySum_;
    std::vector<std::vector<std::int32_t>> scratchCounts_;
    std::vector<float> rows_;  // horizontal pass: count-grid rows x 1000 columns
};

}  // namespace engine
