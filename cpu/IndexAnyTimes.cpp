// The CPU engine's index of any times, in three passes over the source: each
// group's size and spread, the coarse histograms, then a scatter into place
// and a sort of each bucket; a group spread too wide is sorted by comparison.
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include "cpu/CountingEngine.h"
#include "cpu/IndexArena.h"
#include "cpu/IndexBuckets.h"
#include "kde/Parallel.h"
#include "model/SystemMemory.h"

namespace engine {

using namespace indexing;

// One thread's share of the first pass over any times: its far points and
// tally, each group's counted points and their earliest and latest times,
// and later its points per coarse bucket (then where they go).
struct CountingEngine::TimeTally {
    std::vector<FarPoint> far;
    std::array<SampleTally, kDayClasses> tallies;
    std::vector<std::size_t> histogram;  // per coarse bucket
    std::vector<std::size_t> limit;      // per coarse bucket: the end of this thread's places
    std::array<std::size_t, kGroups> sizes{};
    std::array<std::int32_t, kGroups> minTime;
    std::array<std::int32_t, kGroups> maxTime;
};

// Per group: its points, whether it is counting-sorted, its first second
// and spread, and where its coarse buckets begin; the buckets' width
// (2^shift seconds) and number. A group sorted by comparison has a single
// bucket.
struct CountingEngine::TimeLayout {
    std::array<std::size_t, kGroups> sizes{};
    std::array<bool, kGroups> counting{};
    std::array<std::int32_t, kGroups> first{};
    std::array<std::int64_t, kGroups> spread{};
    std::array<std::size_t, kGroups> coarseBase{};
    std::array<std::size_t, kGroups> coarseCount{};
    int shift = 0;
    std::size_t coarse = 0;
    // Whether the first pass saw the group reach this time.
    bool holds(int g, std::int32_t time) const {
        const auto group = static_cast<std::size_t>(g);
        return sizes[group] > 0 && time >= first[group] && std::int64_t{time} - first[group] < spread[group];
    }
    // A point's second from its group's first, and its coarse bucket.
    std::uint32_t secondOf(int g, std::int32_t time) const {
        return static_cast<std::uint32_t>(std::int64_t{time} - first[static_cast<std::size_t>(g)]);
    }
    std::size_t bucketOf(int g, std::int32_t time) const {
        const auto group = static_cast<std::size_t>(g);
        return coarseBase[group] + (counting[group] ? secondOf(g, time) >> shift : 0);
    }
};

// Any times: a pass for each group's size and spread, one for the coarse
// histograms, a scatter into place and a sort of each bucket in place. A
// group whose times spread too wide is sorted by comparison.
void CountingEngine::indexAnyTimes(const SampleSource& samples, const std::function<void(float)>& report) {
    std::vector<TimeTally> tallies = tallyTimes(samples);
    const TimeLayout layout = layOutTimes(tallies);
    countBuckets(samples, layout, tallies);
    report(0.3f);
    const std::vector<std::size_t> bucketStart = placeTimes(layout, tallies);
    for (int g = 0; g < kGroups; ++g) {
        const std::size_t first = layout.coarseBase[g];
        if (bucketStart[first + layout.coarseCount[g]] - bucketStart[first] != layout.sizes[g])
            changedWhileRead(samples);
    }
    scatterTimes(samples, layout, bucketStart, tallies);
    tallies = {};
    report(0.7f);
    sortTimes(samples, layout, bucketStart);
    report(0.9f);
    sortByComparison(layout);
}

// The first pass: the far points and the tally kept, each thread's group
// sizes and spreads returned.
std::vector<CountingEngine::TimeTally> CountingEngine::tallyTimes(const SampleSource& samples) {
    std::vector<TimeTally> tallies(threads_);
    for (TimeTally& tally : tallies) {
        tally.minTime.fill(std::numeric_limits<std::int32_t>::max());
        tally.maxTime.fill(std::numeric_limits<std::int32_t>::min());
    }
    eachPoint(samples, threads_, [&](unsigned t, const Datapoint* first, const Datapoint* last, const std::int32_t* days) {
        TimeTally& tally = tallies[t];
        for (const Datapoint* at = first; at < last; ++at) {
            const Datapoint& point = *at;
            const int dayClass = dayClassAt(days, static_cast<std::size_t>(at - first));
            tally.tallies[static_cast<std::size_t>(dayClass)].add(modeIndex(point.mode), point.time);
            kde::Cell cell;
            if (!onCountGrid(point, dayClass, cell, tally.far)) continue;
            const int group = groupOf(point.mode, dayClass);
            ++tally.sizes[group];
            tally.minTime[group] = std::min(tally.minTime[group], point.time);
            tally.maxTime[group] = std::max(tally.maxTime[group], point.time);
        }
    });
    far_.clear();
    for (TimeTally& tally : tallies) {
        far_.insert(far_.end(), tally.far.begin(), tally.far.end());
        tally.far = {};
    }
    classTallies_ = mergedTallies(tallies);
    tally_ = tally(kAllDayClasses);
    return tallies;
}

CountingEngine::TimeLayout CountingEngine::layOutTimes(const std::vector<TimeTally>& tallies) {
    TimeLayout layout;
    auto& sizes = layout.sizes;
    auto& counting = layout.counting;
    auto& spread = layout.spread;
    int& shift = layout.shift;
    std::int64_t seconds = 0;
    for (int g = 0; g < kGroups; ++g) {
        std::int32_t minTime = std::numeric_limits<std::int32_t>::max();
        std::int32_t maxTime = std::numeric_limits<std::int32_t>::min();
        for (const TimeTally& tally : tallies) {
            sizes[g] += tally.sizes[g];
            minTime = std::min(minTime, tally.minTime[g]);
            maxTime = std::max(maxTime, tally.maxTime[g]);
        }
        if (sizes[g] == 0) continue;
        layout.first[g] = minTime;
        spread[g] = std::int64_t{maxTime} - minTime + 1;
        if (seconds + spread[g] <= kMaxSeconds) {
            counting[g] = true;
            seconds += spread[g];
        }
    }
    const auto bucketsAt = [&](int g) {
        return counting[g] ? static_cast<std::size_t>(((spread[g] - 1) >> shift) + 1) : std::size_t{1};
    };
    for (; shift < kMaxShift; ++shift) {
        std::size_t total = 0;
        for (int g = 0; g < kGroups; ++g) total += bucketsAt(g);
        if (total <= static_cast<std::size_t>(kCoarseBuckets)) break;
    }
    for (int g = 0; g < kGroups; ++g) {
        layout.coarseBase[g] = layout.coarse;
        layout.coarseCount[g] = bucketsAt(g);
        layout.coarse += layout.coarseCount[g];
    }
    return layout;
}

// The second pass: each thread's points per coarse bucket.
void CountingEngine::countBuckets(const SampleSource& samples, const TimeLayout& layout,
                                  std::vector<TimeTally>& tallies) const {
    for (TimeTally& tally : tallies) tally.histogram.assign(layout.coarse, 0);
    eachPoint(samples, threads_, [&](unsigned t, const Datapoint* firstPoint, const Datapoint* lastPoint,
                                     const std::int32_t* days) {
        std::vector<std::size_t>& own = tallies[t].histogram;
        for (const Datapoint* at = firstPoint; at < lastPoint; ++at) {
            const Datapoint& point = *at;
            if (kde::place_of(kde::cell_of(point)) != kde::Place::counted) continue;
            const int g = groupOf(point.mode, dayClassAt(days, static_cast<std::size_t>(at - firstPoint)));
            if (!layout.holds(g, point.time)) changedWhileRead(samples);
            ++own[layout.bucketOf(g, point.time)];
        }
    });
}

// Counts become start positions: bucket by bucket, thread by thread, so the
// groups follow each other and each thread's points of a bucket lie
// together, as the scatter meets them. The groups are laid out over the
// cell store.
std::vector<std::size_t> CountingEngine::placeTimes(const TimeLayout& layout, std::vector<TimeTally>& tallies) {
    std::vector<std::size_t> bucketStart(layout.coarse + 1);
    std::size_t position = 0;
    for (std::size_t b = 0; b < layout.coarse; ++b) {
        bucketStart[b] = position;
        for (TimeTally& tally : tallies) {
            const std::size_t count = tally.histogram[b];
            tally.histogram[b] = position;
            position += count;
            tally.limit.push_back(position);
        }
    }
    bucketStart[layout.coarse] = position;
    // Groups sorted by comparison hold their times beside their cells, and
    // their sort keys (8 bytes a point) for a while: more than the estimate
    // made before the read counts, so checked now, before any of it is taken.
    std::size_t compared = 0;
    for (int g = 0; g < kGroups; ++g)
        if (!layout.counting[g]) compared += layout.sizes[g];
    const std::size_t needed = position * 4 + compared * 12;
    const std::size_t available = memoryAvailable();
    if (compared > 0 && needed > available && indexing_) {
        const std::string reason = "its " + std::to_string(compared) +
                                   " samples whose times spread over more than 48 days need about " +
                                   std::to_string(needed >> 20) + " MiB more memory to sort, and " +
                                   std::to_string(available >> 20) + " MiB are available";
        if (!indexing_->path().empty()) throw DataFileError(indexing_->path(), reason);
        throw std::runtime_error(reason);
    }
    countedPoints_ = position;
    cellStore_.reset(new std::uint32_t[countedPoints_]);  // not value-initialised: every entry is written
    askHugePages(cellStore_.get(), countedPoints_ * sizeof(std::uint32_t));
    for (int g = 0; g < kGroups; ++g) {
        Group& group = groups_[g];
        group.cells = cellStore_.get() + bucketStart[layout.coarseBase[g]];
        group.count = layout.sizes[g];
        group.firstSecond = layout.first[g];
        if (layout.sizes[g] > 0 && !layout.counting[g]) group.times.resize(layout.sizes[g]);
    }
    return bucketStart;
}

// The scatter: each point's cell and second within its bucket, at its
// bucket's next position; a comparison-sorted group takes its points in
// order, with their times beside.
void CountingEngine::scatterTimes(const SampleSource& samples, const TimeLayout& layout,
                                  const std::vector<std::size_t>& bucketStart, std::vector<TimeTally>& tallies) {
    const auto& counting = layout.counting;
    const auto& coarseBase = layout.coarseBase;
    const int shift = layout.shift;
    const std::uint32_t fineMask = (std::uint32_t{1} << shift) - 1;
    eachPoint(samples, threads_, [&](unsigned t, const Datapoint* firstPoint, const Datapoint* lastPoint,
                                     const std::int32_t* days) {
        std::size_t* next = tallies[t].histogram.data();
        const std::size_t* limit = tallies[t].limit.data();
        std::uint32_t* store = cellStore_.get();
        for (const Datapoint* at = firstPoint; at < lastPoint; ++at) {
            const Datapoint& point = *at;
            const kde::Cell cell = kde::cell_of(point);
            if (kde::place_of(cell) != kde::Place::counted) continue;
            const int g = groupOf(point.mode, dayClassAt(days, static_cast<std::size_t>(at - firstPoint)));
            if (!layout.holds(g, point.time)) changedWhileRead(samples);
            const std::uint32_t second = layout.secondOf(g, point.time);
            const std::size_t bucket = counting[g] ? coarseBase[g] + (second >> shift) : coarseBase[g];
            if (next[bucket] == limit[bucket]) changedWhileRead(samples);
            const std::size_t place = next[bucket]++;
            if (counting[g]) {
                store[place] = kde::count_index(cell) | (second & fineMask) << kCellBits;
            } else {
                store[place] = kde::count_index(cell);
                groups_[g].times[place - bucketStart[coarseBase[g]]] = point.time;
            }
        }
    });
    // Every place taken: one left empty would hold no cell at all.
    for (const TimeTally& tally : tallies)
        if (tally.histogram != tally.limit) changedWhileRead(samples);
}

// Each counting-sorted group's buckets sorted by second in place, with the
// seconds' starts.
void CountingEngine::sortTimes(const SampleSource& samples, const TimeLayout& layout,
                               const std::vector<std::size_t>& bucketStart) {
    const auto& counting = layout.counting;
    const auto& spread = layout.spread;
    const auto& coarseBase = layout.coarseBase;
    const int shift = layout.shift;
    const unsigned workers = threads_;
    std::vector<int> groupOfBucket(layout.coarse, -1);  // -1: a comparison-sorted group's bucket
    for (int g = 0; g < kGroups; ++g) {
        if (!counting[g]) continue;
        holdsPositions(layout.sizes[g]);
        groups_[g].before.resize(static_cast<std::size_t>(spread[g]) + 1);
        groups_[g].before.back() = static_cast<std::uint32_t>(layout.sizes[g]);
        for (std::size_t b = coarseBase[g]; b < coarseBase[g] + layout.coarseCount[g]; ++b) groupOfBucket[b] = g;
    }
    const std::size_t width = std::size_t{1} << shift;
    runParallel(workers, [&](unsigned t) {
        const auto [firstBucket, lastBucket] = bucketsOf(bucketStart, t, workers);
        std::vector<std::size_t> place(width);
        std::vector<std::uint32_t> items;
        for (std::size_t b = firstBucket; b < lastBucket; ++b) {
            if (b % 64 == 0) samples.stopIfCancelled();
            const int g = groupOfBucket[b];
            if (g < 0) continue;
            std::uint32_t* cells = cellStore_.get() + bucketStart[b];
            items.assign(cells, cells + (bucketStart[b + 1] - bucketStart[b]));
            const std::size_t firstSecond = (b - coarseBase[g]) << shift;
            const auto forEach = [&](const auto& f) {
                for (std::uint32_t item : items) f(item);
            };
            sortBucket(forEach, cells, bucketStart[b] - bucketStart[coarseBase[g]],
                       groups_[g].before.data() + firstSecond,
                       std::min(width, static_cast<std::size_t>(spread[g]) - firstSecond), place);
        }
    });
}

// The groups whose times spread too wide, sorted by time and cell: the keys
// split in place into pieces each below the next (nth_element), the pieces
// sorted over the threads, a cancel heard between pieces.
void CountingEngine::sortByComparison(const TimeLayout& layout) {
    constexpr std::size_t kPiece = std::size_t{1} << 22;
    for (int g = 0; g < kGroups; ++g) {
        if (layout.counting[g] || layout.sizes[g] == 0) continue;
        Group& group = groups_[g];
        const std::size_t size = layout.sizes[g];
        std::vector<std::uint64_t> keys(size);
        for (std::size_t i = 0; i < size; ++i)
            keys[i] = (std::uint64_t{static_cast<std::uint32_t>(group.times[i]) ^ 0x80000000u} << 32) | group.cells[i];
        std::vector<std::pair<std::size_t, std::size_t>> pieces;
        std::vector<std::pair<std::size_t, std::size_t>> toSplit{{0, size}};
        while (!toSplit.empty()) {
            const auto [first, last] = toSplit.back();
            toSplit.pop_back();
            if (last - first <= kPiece) {
                pieces.emplace_back(first, last);
                continue;
            }
            stopIfCancelled();
            const std::size_t middle = first + (last - first) / 2;
            std::nth_element(keys.begin() + static_cast<std::ptrdiff_t>(first),
                             keys.begin() + static_cast<std::ptrdiff_t>(middle),
                             keys.begin() + static_cast<std::ptrdiff_t>(last));
            toSplit.emplace_back(first, middle);
            toSplit.emplace_back(middle, last);
        }
        std::atomic<std::size_t> next{0};
        runParallel(std::min<unsigned>(threads_, static_cast<unsigned>(pieces.size())), [&](unsigned) {
            for (std::size_t k = next++; k < pieces.size(); k = next++) {
                stopIfCancelled();
                std::sort(keys.begin() + static_cast<std::ptrdiff_t>(pieces[k].first),
                          keys.begin() + static_cast<std::ptrdiff_t>(pieces[k].second));
            }
        });
        for (std::size_t i = 0; i < size; ++i) {
            group.times[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(keys[i] >> 32) ^ 0x80000000u);
            group.cells[i] = static_cast<std::uint32_t>(keys[i]);
        }
    }
}

}  // namespace engine
