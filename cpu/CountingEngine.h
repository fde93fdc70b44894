#pragma once
// The CPU engine the application runs when no GPU does: the same grid as the
// reference engine within float rounding, at a cost of O(points + cells x
// size) instead of O(points x size^2).
//
// The counted points (kde::Place::counted: centred on the count grid) are
// kept grouped by mode and day class (their weekday, or an unknown date) and
// sorted by time, each as its centre cell (4
// bytes), with each group's index of where every second of the day starts,
// so a filter selects contiguous runs. A compute counts the selected points
// per centre cell, then convolves the counts once with the weight table,
// which is separable: its row sums are its one-dimensional factor. The far
// points, centred beyond the count grid, are stamped one by one.
//
// The counts of a filter come from whichever is cheapest: the last filter's
// counts corrected by the points that entered or left it (a drag of one end
// of the time window, a mode toggle), each mode's whole-day counts, or the
// cumulative counts of a mode selection at a few checkpoints of the day
// (any window is then the difference of two checkpoints plus the points
// between a checkpoint and each end, and the modes that differ). The
// checkpoints follow the selection when a jump of the window would cost more
// than the points between two of them. The raw grid of the last filter and
// table is kept too, so a flip of the log scale only rescales.
//
// The samples are indexed from a source a chunk at a time and not kept: a
// sample file larger than memory is read through once. The whole-day counts
// and the checkpoints are built then too, so no compute pays for them.
//
// In pieces: the index (cpu/CountingIndex.cpp; its builds in
// cpu/IndexDayPass.cpp and cpu/IndexAnyTimes.cpp, its memory estimate in
// cpu/IndexMemory.cpp), the whole-day counts and the
// checkpoints (cpu/CountingCheckpoints.cpp), the choice of how to count
// (cpu/CountPlan.*), the convolution (cpu/Convolution.*); this class and
// cpu/CountingEngine.cpp tie them together.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cpu/CountPlan.h"
#include "kde/Backend.h"
#include "kde/KdeLogic.h"
#include "model/SampleSource.h"
#include "model/SampleTally.h"

namespace engine {

// Where the CPU engine spends memory to save time. Tests lower the
// thresholds so that small data takes every way of counting.
struct CountingEngineTuning {
    // Groups with at least this many points get checkpoints of their own,
    // within this many bytes per point.
    std::size_t groupCheckpointPoints = std::size_t{1} << 22;
    double groupCheckpointBytes = 1.5;
};

class CountingEngine final : public DensityBackend, public CellCounter {
public:
    // progress, when given, is called with the fraction of the indexing done.
    // Throws LoadCancelled soon after the source's cancel flag is set, and
    // what the source throws.
    using Tuning = CountingEngineTuning;
    CountingEngine(const SampleSource& samples, unsigned threads, const std::function<void(float)>& progress = {},
                   Tuning tuning = {});
    CountingEngine(const std::vector<Datapoint>& points, unsigned threads,
                   const std::function<void(float)>& progress = {}, Tuning tuning = {});

    // Samples per mode and quarter hour of the day, counted while indexing.
    const SampleTally& tally() const { return tally_; }
    // The same of the samples of some day classes (bit c for class c).
    SampleTally tally(std::uint8_t dayClasses) const;
    // Whether the source gave the samples' dates: only then does
    // settings.day_classes choose weekdays (undated samples are all of the
    // unknown-date class).
    bool dated() const { return dated_; }

    // Host bytes indexing `samples` samples takes at its peak (the cells
    // twice over while they are sorted, the caches): for the check that an
    // input fits before it is read.
    static std::size_t indexingBytes(std::size_t samples);

    using DensityBackend::setKernel;
    void setKernel(const std::vector<float>& table, int rows, int cols) override;
    std::vector<float> compute(const ControlSettings& settings) override;
    std::string name() const override;
    std::size_t memoryBytes() const override;

    // The raw grid of summed weights, before the logarithm and normalisation.
    std::vector<float> density(const ControlSettings& settings);

    // Forgets the counts and the grid of the last filter (the per-mode
    // whole-day counts and the checkpoints stay), so a benchmark can time a
    // filter change.
    void forgetLastCounts() override;

    std::int64_t samplesInCell(int row, int col, const ControlSettings& filters) override;
    std::vector<float> cellCounts(const ControlSettings& filters) override;
    float densityAt(std::size_t index) override {
        return densityValid_ && index < lastDensity_.size() ? lastDensity_[index] : 0.0f;
    }

    // How the counts of a new filter are found (cpu/CountPlan.h): the
    // cheapest way, or always one way, for tests and benchmarks.
    using CountPath = engine::CountPath;
    void preferCountPath(CountPath path);

    // Eleven modes, then every other mode value, each split by day class.
    static constexpr int kGroups = kCountGroups;

private:
    struct Group {
        // Index into the count grid of each point, in time order: a part of cellStore_.
        std::uint32_t* cells = nullptr;
        std::size_t count = 0;
        // before[s]: points earlier than firstSecond + s, for s in 0..spread.
        std::int32_t firstSecond = 0;
        std::vector<std::uint32_t> before;
        // Times in ascending order, kept only for a group whose times spread
        // too wide for `before`.
        std::vector<std::int32_t> times;
        std::vector<std::uint32_t> dayCounts;  // whole-group counts, built on first use
        // The number of points earlier than time.
        std::size_t earlierThan(std::int64_t time) const;
    };
    struct FarPoint {
        int row;
        int col;
        std::int32_t mode;
        std::int32_t time;
        int dayClass;
    };
    // Where a point goes when the samples are indexed (kde::place_of):
    // true for the count grid (cell set), false otherwise, the far ones
    // appended to `far`.
    static bool onCountGrid(const Datapoint& point, int dayClass, kde::Cell& cell, std::vector<FarPoint>& far);
    struct CountKey {
        GroupSet groups;
        bool timeFilter = false;
        std::int32_t minTime = 0;
        std::int32_t maxTime = 0;
        bool operator==(const CountKey&) const = default;
    };
    using Window = GroupWindows;

    // The index (cpu/IndexDayPass.cpp, IndexAnyTimes.cpp). Times of the day: one pass into each
    // thread's blocks per coarse bucket, the buckets placed, then sorted.
    struct DayBlocks;
    struct DayPlaces;
    bool indexTimesOfDay(const SampleSource& samples, const std::function<void(float)>& report);
    bool blockDay(const SampleSource& samples, std::vector<DayBlocks>& work, const std::function<void(float)>& report);
    DayPlaces placeDay(const std::vector<DayBlocks>& work);
    void sortDay(const SampleSource& samples, const std::vector<DayBlocks>& work, const DayPlaces& places,
                 const std::function<void(float)>& report);
    // Any times: a pass for the groups' sizes and spreads, their layout, a
    // pass for the coarse buckets' sizes, their places, a scatter into them,
    // then each bucket sorted, or a group sorted by comparison.
    struct TimeTally;
    struct TimeLayout;
    void indexAnyTimes(const SampleSource& samples, const std::function<void(float)>& report);
    std::vector<TimeTally> tallyTimes(const SampleSource& samples);
    static TimeLayout layOutTimes(const std::vector<TimeTally>& tallies);
    void countBuckets(const SampleSource& samples, const TimeLayout& layout, std::vector<TimeTally>& tallies) const;
    std::vector<std::size_t> placeTimes(const TimeLayout& layout, std::vector<TimeTally>& tallies);
    void scatterTimes(const SampleSource& samples, const TimeLayout& layout, const std::vector<std::size_t>& bucketStart,
                      std::vector<TimeTally>& tallies);
    void sortTimes(const SampleSource& samples, const TimeLayout& layout, const std::vector<std::size_t>& bucketStart);
    void sortByComparison(const TimeLayout& layout);
    CountKey keyOf(const ControlSettings& settings) const;
    Window windowOf(const CountKey& key) const;
    const std::vector<std::uint32_t>& countsFor(const ControlSettings& settings);
    CountInputs countInputs(const CountKey& key) const;
    void countByPlan(const CountPlan& plan, const GroupSet& groups);
    void countBetweenCheckpoints(std::size_t start, std::size_t end);
    void addGrids(const std::vector<GridTerm>& grids, bool fromZero);
    // Groups shared out over the threads for a pass over their points: the
    // largest first, each to the thread with the fewest points so far.
    std::vector<std::vector<int>> shareOut(std::vector<int> groups) const;
    void buildDayCounts(const GroupSet& groups);
    // The whole-day counts built with the index: every occupied group's, or
    // for dated data the largest groups' within a budget (the rest are
    // built on first use).
    GroupSet dayCountsAtStart() const;
    void placeCheckpoints();
    void updateCheckpoints(const GroupSet& groups);
    void addToCheckpoints(const GroupSet& groups, const std::vector<int>& changedGroups, std::size_t total);
    std::size_t halfwayCheckpoint(const std::vector<int>& groups, std::size_t total) const;
    void buildGroupCheckpoints();
    // A group's cumulative grid j (CountInputs): 1 .. its own checkpoints,
    // then its whole day.
    const std::uint32_t* cumulativeGrid(int g, std::size_t j) const;
    // While the samples are indexed: throws LoadCancelled once the source's
    // cancel flag is set. Long loops call it every kCancelStride points.
    void stopIfCancelled() const {
        if (indexing_) indexing_->stopIfCancelled();
    }
    static constexpr std::size_t kCancelStride = std::size_t{1} << 24;
    static constexpr std::size_t kMaxCheckpoints = 512;
    void applyRuns(const std::vector<CountRun>& runs, std::uint32_t* target);
    void stampFarPoints(const ControlSettings& settings, std::vector<float>& grid) const;

    unsigned threads_;
    // The source being indexed, for its cancel flag; null once the engine is built.
    const SampleSource* indexing_ = nullptr;
    bool dated_ = false;
    SampleTally tally_;
    std::array<SampleTally, kDayClasses> classTallies_;
    // The points on the count grid (kde::Place::counted), every group's.
    std::size_t countedPoints_ = 0;
    std::unique_ptr<std::uint32_t[]> cellStore_;  // every group's cells, group after group
    std::array<Group, kGroups> groups_;
    std::vector<FarPoint> far_;
    std::vector<float> table_{1.0f};
    TableFactors factors_{{1.0f}, {1.0f}};
    int tableRows_ = 1;
    int tableCols_ = 1;
    unsigned tableVersion_ = 0;

    CountPath preferred_ = CountPath::cheapest;
    CountKey countKey_;
    bool countsValid_ = false;
    std::vector<std::uint32_t> counts_;
    std::vector<std::vector<std::uint32_t>> scratch_;  // per-thread grids for the parallel phases

    // Checkpoint k (1..checkpoints) holds the counts of the selected groups'
    // points earlier than checkTimes_[k]; checkpoint 0 is empty and the last
    // one the whole day.
    std::vector<std::int64_t> checkTimes_;
    std::array<std::vector<std::size_t>, kGroups> checkIndex_;  // earlierThan at each checkpoint
    std::vector<std::vector<std::uint32_t>> checkpoints_;
    GroupSet checkGroups_;
    bool checkpointsValid_ = false;
    // Each large group's own checkpoints (buildGroupCheckpoints): entry j
    // holds its points earlier than checkTimes_[(j + 1) * groupStride_].
    std::array<std::vector<std::vector<std::uint32_t>>, kGroups> groupCheckpoints_;
    std::size_t groupStride_ = 0;
    Tuning tuning_;

    // The raw grid of the last density, for the filter and table it was made with.
    std::vector<float> lastDensity_;
    CountKey densityKey_;
    unsigned densityTable_ = 0;
    bool densityValid_ = false;

    std::vector<float> rows_;  // horizontal pass: count-grid rows x 1000 columns
};

}  // namespace engine
