// Building the CPU engine's index from a sample source: every counted
// point's count-grid cell grouped by mode and day class and sorted by time, with each
// group's index of where every second starts, and the far points apart.
// The usual data (times of the day) takes one pass over the source; any
// other takes three.
#include "cpu/FastEngine.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include <sys/mman.h>

#include "kde/Parallel.h"
#include "model/LoadError.h"
#include "model/ModeNames.h"
#include "model/SystemMemory.h"

namespace engine {

using kde::kCountCells;

namespace {

int modeGroupOf(std::int32_t mode) {
    const int index = modeIndex(mode);
    return index < 0 ? kModeCount : index;
}

int dayClassAt(const std::int32_t* days, std::size_t i) { return days ? dayClassOf(days[i]) : kUnknownDayClass; }

int groupOf(std::int32_t mode, int dayClass) { return countGroupOf(modeGroupOf(mode), dayClass); }

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
void holdsPositions(std::size_t points) {
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

}  // namespace

SampleTally FastEngine::tally(std::uint8_t dayClasses) const {
    SampleTally chosen;
    for (int c = 0; c < kDayClasses; ++c)
        if ((dayClasses >> c) & 1) chosen.merge(classTallies_[static_cast<std::size_t>(c)]);
    return chosen;
}

std::size_t FastEngine::Group::earlierThan(std::int64_t time) const {
    if (!times.empty())
        return static_cast<std::size_t>(
            std::lower_bound(times.begin(), times.end(), time,
                             [](std::int32_t a, std::int64_t b) { return std::int64_t{a} < b; }) -
            times.begin());
    if (before.empty()) return 0;
    const std::int64_t second = time - firstSecond;
    if (second <= 0) return 0;
    if (second >= static_cast<std::int64_t>(before.size()) - 1) return count;
    return static_cast<std::size_t>(before[static_cast<std::size_t>(second)]);
}

namespace {

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
std::pair<std::size_t, std::size_t> bucketsOf(const std::vector<std::size_t>& bucketStart, unsigned t,
                                              unsigned workers) {
    const std::size_t buckets = bucketStart.size() - 1;
    const Span share = spanOf(bucketStart.back(), t, workers);
    const auto bucketAt = [&](std::size_t item) {
        return static_cast<std::size_t>(std::lower_bound(bucketStart.begin(), bucketStart.end(), item) -
                                        bucketStart.begin());
    };
    return {t == 0 ? 0 : bucketAt(share.first), t + 1 == workers ? buckets : bucketAt(share.last)};
}

}  // namespace

bool FastEngine::onCountGrid(const Datapoint& point, int dayClass, kde::Cell& cell, std::vector<FarPoint>& far) {
    cell = kde::cell_of(point);
    const kde::Place place = kde::place_of(cell);
    if (place == kde::Place::far)
        far.push_back(FarPoint{cell.row, cell.col, static_cast<std::int32_t>(point.mode), point.time, dayClass});
    return place == kde::Place::counted;
}

namespace {
constexpr std::size_t kArenaBytesForEstimate = std::size_t{8} << 20;  // kArenaBytes, defined below
}  // namespace

std::size_t FastEngine::indexingBytes(std::size_t samples) {
    // Either the sort, every cell in its bucket and in place (4 bytes each,
    // twice) beside the buckets' partly filled blocks and a chunk of the
    // source, or what follows it: the cells, the checkpoints of all modes
    // and of each large one, the whole-day counts built with the index (one
    // a mode group, more within half a byte a point) and the running grids
    // that build them, and each group's index of its seconds.
    const std::size_t grid = kCountCells * 4;
    const std::size_t partlyFilled = kModeGroups * kDayBuckets * std::size_t{4096} * hardwareThreads();
    const std::size_t sorting = samples * 8 + partlyFilled + SampleSource::kChunkSamples * sizeof(Datapoint) + 8 * grid;
    const std::size_t checkpoints = std::min(samples * 5 / 2, kMaxCheckpoints * grid);
    const std::size_t ownCheckpoints = static_cast<std::size_t>(static_cast<double>(samples) * FastEngineTuning{}.groupCheckpointBytes);
    const std::size_t seconds = std::min<std::size_t>(kGroups, samples) * (kDayEnd + 2) * sizeof(std::uint32_t);
    const std::size_t indexed = samples * 4 + checkpoints + ownCheckpoints + (kModeGroups + 4) * grid + samples / 2 + seconds;
    // Each thread's stack and its last, partly used arena, mapped whole.
    const std::size_t perThread = hardwareThreads() * (kArenaBytesForEstimate + (std::size_t{8} << 20));
    return std::max(sorting, indexed) + perThread;
}

namespace {

// The one-pass index keeps each thread's points in chains of blocks, one
// chain per coarse bucket of (mode group, second / 2^kDayShift). Blocks are
// aligned to their size, so a cursor at a block boundary is a full (or not
// yet started) block.
constexpr std::size_t kDayGroupBuckets = kModeGroups * kDayBuckets;
constexpr std::size_t kBlockItems = 1024;
constexpr std::size_t kBlockBytes = kBlockItems * sizeof(std::uint32_t);
constexpr std::size_t kArenaBlocks = 2048;
constexpr std::size_t kArenaBytes = kArenaBlocks * kBlockBytes;
static_assert(kArenaBytes == kArenaBytesForEstimate);
// Mapped apart from the heap, so that the memory goes back to the system
// once the cells are sorted (a heap that freed them would keep them, in
// pieces, for the grids that follow).
struct FreeArena {
    void operator()(std::uint32_t* arena) const { ::munmap(arena, kArenaBytes); }
};

// The index writes gigabytes of fresh memory once: in 2 MiB pages where the
// system offers them on request, it takes a five-hundredth of the page
// faults. The whole 2 MiB pages inside [start, start + bytes) are asked for.
void askHugePages(void* start, std::size_t bytes) {
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    const auto first = (reinterpret_cast<std::uintptr_t>(start) + kHuge - 1) & ~(kHuge - 1);
    const auto last = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(kHuge - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// The passes over any times lean on what the first one counted: a file
// rewritten under them would send points past their places.
[[noreturn]] void changedWhileRead(const SampleSource& samples) {
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

}  // namespace

// One thread's share of the one pass: its counted points in their buckets'
// chains of blocks, how many of each bucket's are of each day class, its far
// points and its tally.
struct FastEngine::DayBlocks {
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
struct FastEngine::DayPlaces {
    std::vector<std::size_t> classStart = std::vector<std::size_t>(kDayGroupBuckets * kDayClasses);
    std::vector<std::size_t> bucketFirst = std::vector<std::size_t>(kDayGroupBuckets + 1);
    std::array<std::size_t, kGroups> groupStart{};
};

// The usual case, every time within 0..86400, in one pass over the points:
// each thread appends every point to its coarse bucket's chain of blocks,
// then the buckets are sorted by second into place. Gives up (false) at the
// first time outside the day.
bool FastEngine::indexTimesOfDay(const SampleSource& samples, const std::function<void(float)>& report) {
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
bool FastEngine::blockDay(const SampleSource& samples, std::vector<DayBlocks>& work,
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

FastEngine::DayPlaces FastEngine::placeDay(const std::vector<DayBlocks>& work) {
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
void FastEngine::sortDay(const SampleSource& samples, const std::vector<DayBlocks>& work, const DayPlaces& places,
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

// One thread's share of the first pass over any times: its far points and
// tally, each group's counted points and their earliest and latest times,
// and later its points per coarse bucket (then where they go).
struct FastEngine::TimeTally {
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
struct FastEngine::TimeLayout {
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
void FastEngine::indexAnyTimes(const SampleSource& samples, const std::function<void(float)>& report) {
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
std::vector<FastEngine::TimeTally> FastEngine::tallyTimes(const SampleSource& samples) {
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

FastEngine::TimeLayout FastEngine::layOutTimes(const std::vector<TimeTally>& tallies) {
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
void FastEngine::countBuckets(const SampleSource& samples, const TimeLayout& layout,
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
std::vector<std::size_t> FastEngine::placeTimes(const TimeLayout& layout, std::vector<TimeTally>& tallies) {
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
void FastEngine::scatterTimes(const SampleSource& samples, const TimeLayout& layout,
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
void FastEngine::sortTimes(const SampleSource& samples, const TimeLayout& layout,
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
void FastEngine::sortByComparison(const TimeLayout& layout) {
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
