#pragma once
// What the CPU engine's index passes share (cpu/CountingIndex.cpp, Index*.cpp
// only): the groups a point falls in, the coarse buckets of the sort by
// time, the sort of one bucket and the reading of the source a pass at a
// time.
#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cpu/CountingEngine.h"
#include "kde/Parallel.h"
#include "model/LoadError.h"
#include "model/ModeNames.h"

namespace engine::indexing {

using kde::kCountCells;

inline int modeGroupOf(std::int32_t mode) {
    const int index = modeIndex(mode);
    return index < 0 ? kModeCount : index;
}

inline int dayClassAt(const std::int32_t* days, std::size_t i) { return days ? dayClassOf(days[i]) : kUnknownDayClass; }

inline int groupOf(std::int32_t mode, int dayClass) { return countGroupOf(modeGroupOf(mode), dayClass); }

// The sort by group and time: a scatter of every point into a few thousand
// coarse buckets of (group, time / 2^shift), few enough that every bucket's
// write position stays in cache, then a counting sort of each bucket by its
// seconds, which also yields the group's per-second index. A group whose
// times spread wider than kMaxSeconds (all groups together) is sorted by
// comparison instead.
constexpr std::int64_t kCoarseBuckets = 4096;
constexpr std::int64_t kMaxSeconds = std::int64_t{1} << 22;
// The usual case, times of day from 0 to 86400 in every group, has its
// layout fixed in advance, so the first pass over the points also fills the
// coarse histograms. Its coarse buckets are per mode group; the day class
// rides in the item's top bits and splits each bucket into its groups when
// it is sorted.
constexpr int kDayShift = 8;
constexpr std::int32_t kDayEnd = 86400;
constexpr std::size_t kDayBuckets = (kDayEnd >> kDayShift) + 1;
static_assert(kModeGroups * kDayBuckets <= kCoarseBuckets);

// A point on its way through the buckets: its count-grid cell and its second
// within the bucket.
constexpr int kCellBits = 21;
static_assert(kCountCells <= (std::size_t{1} << kCellBits));
constexpr int kMaxShift = 32 - kCellBits;
constexpr int kClassShift = kCellBits + kDayShift;
static_assert(kClassShift + 3 == 32 && kDayClasses == 8);

// A group's index of its seconds holds positions in 32 bits (half the
// memory, for 96 groups): more than 4 billion points of one mode and
// weekday, beyond what a sample file's 32-bit count holds, are refused.
inline void holdsPositions(std::size_t points) {
    if (points > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error(std::to_string(points) + " samples of one mode and weekday: more than the index holds");
}

// The threads' tallies of each day class, added up.
template <typename Work>
std::array<SampleTally, kDayClasses> mergedTallies(const std::vector<Work>& work) {
    std::array<SampleTally, kDayClasses> merged{};
    for (const Work& own : work)
        for (std::size_t c = 0; c < merged.size(); ++c) merged[c].merge(own.tallies[c]);
    return merged;
}

// Sorts one coarse bucket by the seconds its items carry: writes the cells
// to out in that order and, for each of the bucket's seconds, where its
// points start (counted from the start of the group, `offset` being where
// out lies in the group). forEach(f) calls f with every item.
template <typename ForEach>
void sortBucket(const ForEach& forEach, std::uint32_t* out, std::size_t offset, std::uint32_t* before,
                std::size_t seconds, std::vector<std::size_t>& place) {
    std::fill(place.begin(), place.end(), 0);
    forEach([&](std::uint32_t item) { ++place[item >> kCellBits]; });
    std::size_t at = 0;
    for (std::size_t second = 0; second < seconds; ++second) {
        before[second] = static_cast<std::uint32_t>(offset + at);
        const std::size_t count = place[second];
        place[second] = at;
        at += count;
    }
    constexpr std::uint32_t cellMask = (std::uint32_t{1} << kCellBits) - 1;
    forEach([&](std::uint32_t item) { out[place[item >> kCellBits]++] = item & cellMask; });
}

// The buckets [first, last) of a thread: a share of the points.
inline std::pair<std::size_t, std::size_t> bucketsOf(const std::vector<std::size_t>& bucketStart, unsigned t,
                                              unsigned workers) {
    const std::size_t buckets = bucketStart.size() - 1;
    const Span share = spanOf(bucketStart.back(), t, workers);
    const auto bucketAt = [&](std::size_t item) {
        return static_cast<std::size_t>(std::lower_bound(bucketStart.begin(), bucketStart.end(), item) -
                                        bucketStart.begin());
    };
    return {t == 0 ? 0 : bucketAt(share.first), t + 1 == workers ? buckets : bucketAt(share.last)};
}

// The passes over any times lean on what the first one counted: a file
// rewritten under them would send points past their places.
[[noreturn]] inline void changedWhileRead(const SampleSource& samples) {
    const std::string reason = "changed while it was read";
    if (!samples.path().empty()) throw DataFileError(samples.path(), reason);
    throw std::runtime_error("the samples " + reason);
}

// Each pass of the index for any times reads the source once more, a chunk
// at a time, the chunk shared out over the threads: perThread(t, first,
// last, days) for thread t's points, `days` null or beside `first`.
template <typename PerThread>
void eachPoint(const SampleSource& samples, unsigned workers, const PerThread& perThread) {
    samples.forEachDatedChunk([&](const Datapoint* points, const std::int32_t* days, std::size_t n, std::size_t) {
        runParallel(workers, [&](unsigned t) {
            const Span span = spanOf(n, t, workers);
            perThread(t, points + span.first, points + span.last, days ? days + span.first : nullptr);
        });
    });
}

}  // namespace engine::indexing
