#include "cpu/FastEngine.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "cpu/Parallel.h"

namespace engine {

namespace {

int groupOf(std::int32_t mode) {
    if (mode > 0 && mode <= MOTORCYCLE && std::has_single_bit(static_cast<std::uint32_t>(mode)))
        return std::countr_zero(static_cast<std::uint32_t>(mode));
    return kModeCount;
}

// A mode value standing for each group when the shared filter is asked.
std::int32_t modeOfGroup(int group) { return group < kModeCount ? std::int32_t{1} << group : 0; }

enum class Place { dropped, core, far };

// Points centred more than the largest table half outside the grid can never
// reach it; the rest are counted on the padded count grid or, beyond its
// margin, stamped one by one.
Place placeOf(const kde::Cell& cell) {
    if (!cell.valid) return Place::dropped;
    const auto within = [](int value, int margin) {
        return value >= -margin && value <= kde::kSide - 1 + margin;
    };
    if (!within(cell.row, kde::kMaxHalf) || !within(cell.col, kde::kMaxHalf)) return Place::dropped;
    if (within(cell.row, FastEngine::kPad) && within(cell.col, FastEngine::kPad)) return Place::core;
    return Place::far;
}

std::uint32_t countIndex(const kde::Cell& cell) {
    return static_cast<std::uint32_t>((cell.row + FastEngine::kPad) * FastEngine::kCountSide +
                                      (cell.col + FastEngine::kPad));
}

// Time buckets for the counting sort of all groups together; a group whose
// times spread wider is sorted by comparison instead.
constexpr std::int64_t kMaxBuckets = std::int64_t{1} << 22;

}  // namespace

FastEngine::FastEngine(const std::vector<Datapoint>& points, unsigned threads)
    : threads_(std::max(1u, threads)) {
    // Every pass splits the points into one contiguous span per thread.
    const unsigned workers = threads_;
    struct Tally {
        std::array<std::size_t, kGroups> sizes{};
        std::array<std::int32_t, kGroups> minTime;
        std::array<std::int32_t, kGroups> maxTime;
        std::vector<FarPoint> far;
    };
    std::vector<Tally> tallies(workers);
    runParallel(workers, [&](unsigned t) {
        Tally& tally = tallies[t];
        tally.minTime.fill(std::numeric_limits<std::int32_t>::max());
        tally.maxTime.fill(std::numeric_limits<std::int32_t>::min());
        const Span span = spanOf(points.size(), t, workers);
        for (std::size_t i = span.first; i < span.last; ++i) {
            const Datapoint& point = points[i];
            const kde::Cell cell = kde::cell_function(point);
            const Place place = placeOf(cell);
            if (place == Place::dropped) continue;
            if (place == Place::far) {
                tally.far.push_back(FarPoint{cell.row, cell.col, static_cast<std::int32_t>(point.mode), point.time});
                continue;
            }
            const int group = groupOf(point.mode);
            ++tally.sizes[group];
            tally.minTime[group] = std::min(tally.minTime[group], point.time);
            tally.maxTime[group] = std::max(tally.maxTime[group], point.time);
        }
    });
    std::array<std::size_t, kGroups> sizes{};
    std::array<std::int32_t, kGroups> minTime;
    std::array<std::int32_t, kGroups> maxTime;
    minTime.fill(std::numeric_limits<std::int32_t>::max());
    maxTime.fill(std::numeric_limits<std::int32_t>::min());
    // next[t][g]: where thread t's first point of a comparison-sorted group goes.
    std::vector<std::array<std::size_t, kGroups>> next(workers);
    std::size_t farCount = 0;
    for (unsigned t = 0; t < workers; ++t) {
        for (int g = 0; g < kGroups; ++g) {
            next[t][g] = sizes[g];
            sizes[g] += tallies[t].sizes[g];
            minTime[g] = std::min(minTime[g], tallies[t].minTime[g]);
            maxTime[g] = std::max(maxTime[g], tallies[t].maxTime[g]);
        }
        farCount += tallies[t].far.size();
    }
    far_.reserve(farCount);
    for (Tally& tally : tallies) {
        far_.insert(far_.end(), tally.far.begin(), tally.far.end());
        tally.far = {};
    }

    // Counting sort by time where the spread allows it: every group's time
    // buckets side by side, a histogram per thread, then each thread
    // scatters its own span to the positions its histogram reserved.
    std::array<bool, kGroups> counting{};
    std::array<std::size_t, kGroups> bucketBase{};
    std::int64_t buckets = 0;
    for (int g = 0; g < kGroups; ++g) {
        groups_[g].times.resize(sizes[g]);
        groups_[g].cells.resize(sizes[g]);
        if (sizes[g] == 0) continue;
        const std::int64_t spread = std::int64_t{maxTime[g]} - minTime[g] + 1;
        if (buckets + spread <= kMaxBuckets) {
            counting[g] = true;
            bucketBase[g] = static_cast<std::size_t>(buckets);
            buckets += spread;
        }
    }
    const auto bucketOf = [&](int group, std::int32_t time) {
        return bucketBase[group] + static_cast<std::size_t>(std::int64_t{time} - minTime[group]);
    };
    std::vector<std::vector<std::size_t>> offsets(workers);
    runParallel(workers, [&](unsigned t) {
        std::vector<std::size_t>& own = offsets[t];
        own.assign(static_cast<std::size_t>(buckets), 0);
        const Span span = spanOf(points.size(), t, workers);
        for (std::size_t i = span.first; i < span.last; ++i) {
            const Datapoint& point = points[i];
            if (placeOf(kde::cell_function(point)) != Place::core) continue;
            const int group = groupOf(point.mode);
            if (counting[group]) ++own[bucketOf(group, point.time)];
        }
    });
    // Counts become start positions: bucket by bucket, thread by thread, so
    // each group's positions start at 0 and run in time order.
    for (int g = 0; g < kGroups; ++g) {
        if (!counting[g]) continue;
        std::size_t position = 0;
        const std::size_t first = bucketBase[g];
        const std::size_t last = bucketOf(g, maxTime[g]) + 1;
        for (std::size_t b = first; b < last; ++b)
            for (unsigned t = 0; t < workers; ++t) {
                const std::size_t count = offsets[t][b];
                offsets[t][b] = position;
                position += count;
            }
    }
    runParallel(workers, [&](unsigned t) {
        std::size_t* own = offsets[t].data();
        std::array<std::size_t, kGroups>& ownNext = next[t];
        const Span span = spanOf(points.size(), t, workers);
        for (std::size_t i = span.first; i < span.last; ++i) {
            const Datapoint& point = points[i];
            const kde::Cell cell = kde::cell_function(point);
            if (placeOf(cell) != Place::core) continue;
            const int group = groupOf(point.mode);
            const std::size_t position = counting[group] ? own[bucketOf(group, point.time)]++ : ownNext[group]++;
            groups_[group].times[position] = point.time;
            groups_[group].cells[position] = countIndex(cell);
        }
    });
    offsets = {};
    for (int g = 0; g < kGroups; ++g) {
        if (counting[g] || sizes[g] == 0) continue;
        Group& group = groups_[g];
        std::vector<std::uint64_t> keys(sizes[g]);
        for (std::size_t i = 0; i < sizes[g]; ++i)
            keys[i] = (std::uint64_t{static_cast<std::uint32_t>(group.times[i]) ^ 0x80000000u} << 32) | group.cells[i];
        std::sort(keys.begin(), keys.end());
        for (std::size_t i = 0; i < sizes[g]; ++i) {
            group.times[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(keys[i] >> 32) ^ 0x80000000u);
            group.cells[i] = static_cast<std::uint32_t>(keys[i]);
        }
    }
}

std::string FastEngine::name() const {
    return "CPU, " + std::to_string(threads_) + (threads_ == 1 ? " thread" : " threads");
}

std::size_t FastEngine::memoryBytes() const {
    std::size_t bytes = far_.capacity() * sizeof(FarPoint) + table_.capacity() * sizeof(float) +
                        factor_.capacity() * sizeof(float) + counts_.capacity() * 4 + daySum_.capacity() * 4 +
                        rows_.capacity() * sizeof(float);
    for (const Group& group : groups_)
        bytes += group.times.capacity() * 4 + group.cells.capacity() * 4 + group.dayCounts.capacity() * 4;
    for (const auto& scratch : scratchCounts_) bytes += scratch.capacity() * 4;
    return bytes;
}

void FastEngine::setKernel(const std::vector<float>& table, int size) {
    table_ = table;
    size_ = size;
    factor_ = tableFactor(table_, size);
}

void FastEngine::forgetLastCounts() {
    countsValid_ = false;
    daySumValid_ = false;
}

const std::vector<std::uint32_t>& FastEngine::dayCounts(int index) {
    Group& group = groups_[index];
    if (group.dayCounts.empty()) {
        group.dayCounts.assign(kCountCells, 0);
        for (std::uint32_t cell : group.cells) ++group.dayCounts[cell];
    }
    return group.dayCounts;
}

const std::vector<std::uint32_t>& FastEngine::countsFor(const ControlSettings& settings) {
    CountKey key;
    key.timeFilter = settings.mode_mask != 0;  // the window is ignored with mask 0
    key.minTime = key.timeFilter ? settings.min_time : 0;
    key.maxTime = key.timeFilter ? settings.max_time : 0;
    for (int g = 0; g < kGroups; ++g)
        if (!groups_[g].times.empty() && kde::mode_passes(modeOfGroup(g), settings.mode_mask)) key.groups |= 1u << g;
    if (countsValid_ && key == countKey_) return counts_;

    // Each selected group contributes its whole-day counts, or the points of
    // its time run counted one by one, or its whole-day counts minus the
    // points outside the run: whichever touches fewer points.
    struct Run {
        int group;
        std::size_t first;
        std::size_t last;
        std::int32_t sign;
    };
    std::vector<Run> runs;
    unsigned whole = 0;
    for (int g = 0; g < kGroups; ++g) {
        if (!(key.groups & (1u << g))) continue;
        const auto& times = groups_[g].times;
        const std::size_t n = times.size();
        std::size_t first = 0;
        std::size_t last = n;
        if (key.timeFilter) {
            if (key.minTime > key.maxTime) continue;
            first = static_cast<std::size_t>(std::lower_bound(times.begin(), times.end(), key.minTime) - times.begin());
            last = static_cast<std::size_t>(std::upper_bound(times.begin(), times.end(), key.maxTime) - times.begin());
        }
        if (first == 0 && last == n) {
            whole |= 1u << g;
        } else if (2 * (last - first) <= n) {
            if (last > first) runs.push_back(Run{g, first, last, 1});
        } else {
            whole |= 1u << g;
            if (first > 0) runs.push_back(Run{g, 0, first, -1});
            if (last < n) runs.push_back(Run{g, last, n, -1});
        }
    }

    if (!daySumValid_ || daySumGroups_ != whole) {
        daySum_.assign(kCountCells, 0);
        for (int g = 0; g < kGroups; ++g) {
            if (!(whole & (1u << g))) continue;
            const std::uint32_t* day = dayCounts(g).data();
            std::uint32_t* sum = daySum_.data();
            runParallel(threads_, [&](unsigned t) {
                const Span span = spanOf(kCountCells, t, threads_);
                for (std::size_t i = span.first; i < span.last; ++i) sum[i] += day[i];
            });
        }
        daySumGroups_ = whole;
        daySumValid_ = true;
    }

    counts_.resize(kCountCells);
    if (runs.empty()) {
        std::copy(daySum_.begin(), daySum_.end(), counts_.begin());
    } else {
        std::size_t total = 0;
        for (const Run& run : runs) total += run.last - run.first;
        scratchCounts_.resize(threads_);
        // Each thread takes an equal share of the selected points into its
        // own signed count grid; the grids are summed afterwards.
        runParallel(threads_, [&](unsigned t) {
            auto& own = scratchCounts_[t];
            own.assign(kCountCells, 0);
            const Span share = spanOf(total, t, threads_);
            std::size_t seen = 0;
            for (const Run& run : runs) {
                const std::size_t length = run.last - run.first;
                const std::size_t from = std::max(share.first, seen);
                const std::size_t to = std::min(share.last, seen + length);
                seen += length;
                if (from >= to) continue;
                const std::uint32_t* cells = groups_[run.group].cells.data() + run.first + (from - (seen - length));
                const std::size_t count = to - from;
                std::int32_t* grid = own.data();
                if (run.sign > 0)
                    for (std::size_t i = 0; i < count; ++i) ++grid[cells[i]];
                else
                    for (std::size_t i = 0; i < count; ++i) --grid[cells[i]];
            }
        });
        runParallel(threads_, [&](unsigned t) {
            const Span span = spanOf(kCountCells, t, threads_);
            for (std::size_t i = span.first; i < span.last; ++i) {
                std::uint32_t value = daySum_[i];
                for (const auto& own : scratchCounts_) value += static_cast<std::uint32_t>(own[i]);
                counts_[i] = value;
            }
        });
    }
    countKey_ = key;
    countsValid_ = true;
    return counts_;
}

void FastEngine::convolve(const std::vector<std::uint32_t>& counts, std::vector<float>& grid) {
    const int half = size_ / 2;
    constexpr int side = kde::kSide;
    // Count-grid rows that reach the grid with this table.
    const int rowFirst = std::max(0, kPad - half);
    const int rowLast = std::min(kCountSide - 1, kPad + side - 1 + half);
    // Column offsets that can matter: beyond them the count row is empty.
    const int reach = std::min(half, side - 1 + kPad);
    constexpr int margin = side + kPad;
    constexpr int widened = kCountSide + 2 * margin;
    const float* factor = factor_.data() + half;  // factor[k] for k in -half..half

    rows_.resize(static_cast<std::size_t>(kCountSide) * side);
    std::vector<unsigned char> rowUsed(kCountSide, 0);

    // Horizontal pass: rows_[i][c] = sum over v of factor[v] * counts[i][c - v].
    runParallel(threads_, [&](unsigned t) {
        std::vector<float> line(widened, 0.0f);
        const Span span = spanOf(static_cast<std::size_t>(rowLast - rowFirst + 1), t, threads_);
        for (std::size_t k = span.first; k < span.last; ++k) {
            const int i = rowFirst + static_cast<int>(k);
            const std::uint32_t* countRow = counts.data() + static_cast<std::size_t>(i) * kCountSide;
            bool any = false;
            for (int c = 0; c < kCountSide; ++c) {
                line[margin + c] = static_cast<float>(countRow[c]);
                any = any || countRow[c] != 0;
            }
            rowUsed[i] = any;
            if (!any) continue;
            float* out = rows_.data() + static_cast<std::size_t>(i) * side;
            std::fill(out, out + side, 0.0f);
            for (int v = -reach; v <= reach; ++v) {
                const float w = factor[v];
                const float* in = line.data() + margin + kPad - v;
                for (int c = 0; c < side; ++c) out[c] += w * in[c];
            }
        }
    });

    // Vertical pass: grid[r][c] = sum over u of factor[u] * rows_[r - u][c].
    runParallel(threads_, [&](unsigned t) {
        const Span span = spanOf(side, t, threads_);
        for (std::size_t r = span.first; r < span.last; ++r) {
            float* out = grid.data() + r * side;
            const int centre = static_cast<int>(r) + kPad;
            const int uFirst = std::max(-half, centre - rowLast);
            const int uLast = std::min(half, centre - rowFirst);
            for (int u = uFirst; u <= uLast; ++u) {
                const int i = centre - u;
                if (!rowUsed[i]) continue;
                const float w = factor[u];
                const float* in = rows_.data() + static_cast<std::size_t>(i) * side;
                for (int c = 0; c < side; ++c) out[c] += w * in[c];
            }
        }
    });
}

void FastEngine::stampFarPoints(const ControlSettings& settings, std::vector<float>& grid) const {
    struct AddToGrid {
        float* grid;
        void operator()(int index, float weight) const { grid[index] += weight; }
    } add{grid.data()};
    for (const FarPoint& point : far_) {
        if (!kde::mode_passes(point.mode, settings.mode_mask) ||
            !kde::time_passes(point.time, settings.mode_mask, settings.min_time, settings.max_time))
            continue;
        kde::stamp_function(point.row, point.col, table_.data(), size_, kde::kSide, add);
    }
}

std::vector<float> FastEngine::density(const ControlSettings& settings) {
    std::vector<float> grid(kde::kCells, 0.0f);
    convolve(countsFor(settings), grid);
    stampFarPoints(settings, grid);
    return grid;
}

std::vector<float> FastEngine::compute(const ControlSettings& settings) {
    std::vector<float> grid = density(settings);
    lastMaximum_ = finishGrid(grid, kde::log_enabled(settings.use_log_scale, settings.mode_mask), threads_);
    return grid;
}

std::int64_t FastEngine::samplesInCell(int row, int col, const ControlSettings& filters) {
    if (row < 0 || row >= kde::kSide || col < 0 || col >= kde::kSide) return 0;
    // Points centred inside the grid are all on the count grid.
    return countsFor(filters)[countIndex(kde::Cell{row, col, true})];
}

float finishGrid(std::vector<float>& grid, bool useLog, unsigned threads) {
    threads = std::max(1u, threads);
    std::vector<float> maxima(threads, -std::numeric_limits<float>::infinity());
    float* cells = grid.data();
    runParallel(threads, [&](unsigned t) {
        const Span span = spanOf(grid.size(), t, threads);
        float maxValue = -std::numeric_limits<float>::infinity();
        for (std::size_t i = span.first; i < span.last; ++i) {
            if (useLog) cells[i] = kde::log_function(cells[i]);
            maxValue = kde::max_function(maxValue, cells[i]);
        }
        maxima[t] = maxValue;
    });
    float maxValue = -std::numeric_limits<float>::infinity();
    for (float m : maxima) maxValue = kde::max_function(maxValue, m);
    if (!kde::usable_maximum(maxValue)) {
        std::fill(grid.begin(), grid.end(), 0.0f);
        return 0.0f;
    }
    runParallel(threads, [&](unsigned t) {
        const Span span = spanOf(grid.size(), t, threads);
        for (std::size_t i = span.first; i < span.last; ++i) cells[i] = kde::normalize_function(cells[i], maxValue);
    });
    return maxValue;
}

}  // namespace engine
