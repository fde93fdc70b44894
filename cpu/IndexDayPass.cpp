// The CPU engine's index of the usual data, every time within the day, in
// one pass over the source: each thread's points in chains of blocks per
// coarse bucket, then each bucket sorted by second into place.
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "cpu/CountingEngine.h"
#include "cpu/IndexArena.h"
#include "cpu/IndexBuckets.h"
#include "kde/Parallel.h"
#include "model/SystemMemory.h"

namespace engine {

using namespace indexing;

namespace {
// One chain of blocks per mode group and 2^kDayShift seconds.
constexpr std::size_t kDayGroupBuckets = kModeGroups * kDayBuckets;
}  // namespace

// One thread's share of the one pass: its counted points in their buckets'
// chains of blocks, how many of each bucket's are of each day class, its far
// points and its tally.
struct CountingEngine::DayBlocks {
    std::vector<std::size_t> classCounts = std::vector<std::size_t>(kDayGroupBuckets * kDayClasses, 0);
    std::vector<std::uint32_t*> cursor = std::vector<std::uint32_t*>(kDayGroupBuckets, nullptr);
    std::vector<std::vector<std::uint32_t*>> blocks{kDayGroupBuckets};
    std::vector<std::unique_ptr<std::uint32_t[], FreeArena>> arenas;
    std::size_t arenaUsed = kArenaBlocks;
    std::vector<FarPoint> far;
    std::array<SampleTally, kDayClasses> tallies;
    bool outsideDay = false;
    std::size_t size(std::size_t bucket) const {
        const auto& list = blocks[bucket];
        return list.empty() ? 0 : (list.size() - 1) * kBlockItems + static_cast<std::size_t>(cursor[bucket] - list.back());
    }
};

// Where each bucket's points of each day class go in the cell store: the
// groups one after another (a mode group's day classes together), each
// group's points bucket after bucket. Also each bucket's first point when
// they are counted bucket after bucket, for sharing the sort out.
struct CountingEngine::DayPlaces {
    std::vector<std::size_t> classStart = std::vector<std::size_t>(kDayGroupBuckets * kDayClasses);
    std::vector<std::size_t> bucketFirst = std::vector<std::size_t>(kDayGroupBuckets + 1);
    std::array<std::size_t, kGroups> groupStart{};
};

// The usual case, every time within 0..86400, in one pass over the points:
// each thread appends every point to its coarse bucket's chain of blocks,
// then the buckets are sorted by second into place. Gives up (false) at the
// first time outside the day.
bool CountingEngine::indexTimesOfDay(const SampleSource& samples, const std::function<void(float)>& report) {
    std::vector<DayBlocks> work(threads_);
    if (!blockDay(samples, work, report)) return false;
    classTallies_ = mergedTallies(work);
    tally_ = tally(kAllDayClasses);
    sortDay(samples, work, placeDay(work), report);
    for (DayBlocks& own : work) far_.insert(far_.end(), own.far.begin(), own.far.end());
    report(0.8f);
    return true;
}

// The one pass: every point into its thread's blocks (false at the first
// time outside the day).
bool CountingEngine::blockDay(const SampleSource& samples, std::vector<DayBlocks>& work,
                              const std::function<void(float)>& report) {
    const unsigned workers = threads_;
    // Ends the pass over the source at the first time outside the day.
    struct OutsideDay {};
    const auto addChunk = [&](const Datapoint* points, const std::int32_t* days, std::size_t n) {
        runParallel(workers, [&](unsigned t) {
            DayBlocks& own = work[t];
            std::uint32_t** cursor = own.cursor.data();
            std::size_t* classCounts = own.classCounts.data();
            const Span span = spanOf(n, t, workers);
            for (std::size_t i = span.first; i < span.last; ++i) {
                const Datapoint& point = points[i];
                const int mode = modeIndex(point.mode);
                const int dayClass = dayClassAt(days, i);
                own.tallies[static_cast<std::size_t>(dayClass)].add(mode, point.time);
                kde::Cell cell;
                if (!onCountGrid(point, dayClass, cell, own.far)) continue;
                const std::uint32_t second = static_cast<std::uint32_t>(point.time);  // negative ones wrap
                if (second > static_cast<std::uint32_t>(kDayEnd)) {
                    own.outsideDay = true;
                    return;
                }
                const std::size_t bucket = (mode < 0 ? kModeCount : mode) * kDayBuckets + (second >> kDayShift);
                ++classCounts[bucket * kDayClasses + static_cast<std::size_t>(dayClass)];
                std::uint32_t* at = cursor[bucket];
                if (reinterpret_cast<std::uintptr_t>(at) % kBlockBytes == 0) {
                    if (own.arenaUsed == kArenaBlocks) {
                        void* mapped = ::mmap(nullptr, kArenaBytes, PROT_READ | PROT_WRITE,
                                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
                        if (mapped == MAP_FAILED) throw std::bad_alloc();
                        askHugePages(mapped, kArenaBytes);
                        auto* arena = static_cast<std::uint32_t*>(mapped);
                        own.arenas.emplace_back(arena);
                        own.arenaUsed = 0;
                    }
                    at = own.arenas.back().get() + own.arenaUsed++ * kBlockItems;
                    own.blocks[bucket].push_back(at);
                }
                *at = kde::count_index(cell) | (second & ((1u << kDayShift) - 1)) << kCellBits |
                      static_cast<std::uint32_t>(dayClass) << kClassShift;
                cursor[bucket] = at + 1;
            }
        });
        for (const DayBlocks& own : work)
            if (own.outsideDay) throw OutsideDay{};
    };
    const std::size_t total = samples.size();
    try {
        samples.forEachDatedChunk([&](const Datapoint* points, const std::int32_t* days, std::size_t n, std::size_t first) {
            addChunk(points, days, n);
            report(0.6f * static_cast<float>(first + n) / static_cast<float>(total));
        });
    } catch (const OutsideDay&) {
        return false;
    }
    return true;
}

CountingEngine::DayPlaces CountingEngine::placeDay(const std::vector<DayBlocks>& work) {
    DayPlaces places;
    std::size_t position = 0;
    for (std::size_t b = 0; b < kDayGroupBuckets; ++b) {
        places.bucketFirst[b] = position;
        for (const DayBlocks& own : work) position += own.size(b);
    }
    places.bucketFirst[kDayGroupBuckets] = position;
    countedPoints_ = position;
    position = 0;
    for (int g = 0; g < kGroups; ++g) {
        const std::size_t modeGroup = static_cast<std::size_t>(g / kDayClasses);
        const std::size_t dayClass = static_cast<std::size_t>(g % kDayClasses);
        places.groupStart[g] = position;
        for (std::size_t b = modeGroup * kDayBuckets; b < (modeGroup + 1) * kDayBuckets; ++b) {
            places.classStart[b * kDayClasses + dayClass] = position;
            for (const DayBlocks& own : work) position += own.classCounts[b * kDayClasses + dayClass];
        }
    }
    cellStore_.reset(new std::uint32_t[countedPoints_]);  // not value-initialised: every entry is written
    askHugePages(cellStore_.get(), countedPoints_ * sizeof(std::uint32_t));
    for (int g = 0; g < kGroups; ++g) {
        Group& group = groups_[g];
        group.cells = cellStore_.get() + places.groupStart[g];
        group.count = (g + 1 < kGroups ? places.groupStart[g + 1] : countedPoints_) - places.groupStart[g];
        if (group.count == 0) continue;
        holdsPositions(group.count);
        group.before.resize(kDayEnd + 2);
        group.before.back() = static_cast<std::uint32_t>(group.count);
    }
    return places;
}

// Each bucket sorted by day class and second into its groups' places, with
// its seconds' starts in each group. The item's bits above the cell are the
// class and the second, so one counting sort on them does both.
void CountingEngine::sortDay(const SampleSource& samples, const std::vector<DayBlocks>& work, const DayPlaces& places,
                             const std::function<void(float)>& report) {
    const unsigned workers = threads_;
    constexpr std::size_t kWidth = std::size_t{1} << kDayShift;
    constexpr std::uint32_t cellMask = (std::uint32_t{1} << kCellBits) - 1;
    runParallel(workers, [&](unsigned t) {
        const auto [firstBucket, lastBucket] = bucketsOf(places.bucketFirst, t, workers);
        std::vector<std::size_t> place(kDayClasses * kWidth);
        std::array<std::uint32_t*, kDayClasses> out{};
        for (std::size_t b = firstBucket; b < lastBucket; ++b) {
            if (b % 64 == 0) {
                samples.stopIfCancelled();
                if (t == 0)
                    report(0.6f + 0.2f * static_cast<float>(b - firstBucket) /
                                      static_cast<float>(lastBucket - firstBucket));
            }
            const std::size_t modeGroup = b / kDayBuckets;
            const std::size_t firstSecond = (b % kDayBuckets) << kDayShift;
            const std::size_t seconds = std::min<std::size_t>(kWidth, kDayEnd + 1 - firstSecond);
            const auto forEach = [&](const auto& f) {
                for (const DayBlocks& own : work) {
                    const auto& list = own.blocks[b];
                    for (std::size_t k = 0; k < list.size(); ++k) {
                        const std::uint32_t* end = k + 1 < list.size() ? list[k] + kBlockItems : own.cursor[b];
                        for (const std::uint32_t* item = list[k]; item < end; ++item) f(*item);
                    }
                }
            };
            std::fill(place.begin(), place.end(), 0);
            forEach([&](std::uint32_t item) { ++place[item >> kCellBits]; });
            for (int c = 0; c < kDayClasses; ++c) {
                const int g = countGroupOf(static_cast<int>(modeGroup), c);
                Group& group = groups_[g];
                if (group.count == 0) continue;  // then none of its points is in this bucket
                const std::size_t start = places.classStart[b * kDayClasses + static_cast<std::size_t>(c)];
                out[static_cast<std::size_t>(c)] = cellStore_.get() + start;
                const std::size_t offset = start - places.groupStart[g];
                std::uint32_t* before = group.before.data() + firstSecond;
                std::size_t* own = place.data() + static_cast<std::size_t>(c) * kWidth;
                std::size_t at = 0;
                for (std::size_t second = 0; second < seconds; ++second) {
                    before[second] = static_cast<std::uint32_t>(offset + at);
                    const std::size_t count = own[second];
                    own[second] = at;
                    at += count;
                }
            }
            forEach([&](std::uint32_t item) {
                const std::uint32_t key = item >> kCellBits;
                out[key >> kDayShift][place[key]++] = item & cellMask;
            });
        }
    });
}

}  // namespace engine
