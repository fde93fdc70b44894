#include "cpu/FastEngine.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <limits>
#include <memory>

#include "kde/Parallel.h"
#include "model/ModeNames.h"

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include <sys/mman.h>

namespace engine {

// The count grid both engines share.
using kde::kCountCells;
using kde::kCountPad;
using kde::kCountSide;

namespace {

int groupOf(std::int32_t mode) {
    const int index = modeIndex(mode);
    return index < 0 ? kModeCount : index;
}

// A mode value standing for each group when the shared filter is asked.
std::int32_t modeOfGroup(int group) { return group < kModeCount ? std::int32_t{1} << group : 0; }

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
// coarse histograms.
constexpr int kDayShift = 8;
constexpr std::int32_t kDayEnd = 86400;
constexpr std::size_t kDayBuckets = (kDayEnd >> kDayShift) + 1;
static_assert(FastEngine::kGroups * kDayBuckets <= kCoarseBuckets);

// A point on its way through the buckets: its count-grid cell and its second
// within the bucket.
constexpr int kCellBits = 21;
static_assert(kCountCells <= (std::size_t{1} << kCellBits));
constexpr int kMaxShift = 32 - kCellBits;

}  // namespace

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
void sortBucket(const ForEach& forEach, std::uint32_t* out, std::size_t offset, std::uint64_t* before,
                std::size_t seconds, std::vector<std::size_t>& place) {
    std::fill(place.begin(), place.end(), 0);
    forEach([&](std::uint32_t item) { ++place[item >> kCellBits]; });
    std::size_t at = 0;
    for (std::size_t second = 0; second < seconds; ++second) {
        before[second] = offset + at;
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

bool FastEngine::onCountGrid(const Datapoint& point, kde::Cell& cell, std::vector<FarPoint>& far) {
    cell = kde::cell_function(point);
    const kde::Place place = kde::place_function(cell);
    if (place == kde::Place::far)
        far.push_back(FarPoint{cell.row, cell.col, static_cast<std::int32_t>(point.mode), point.time});
    return place == kde::Place::counted;
}

FastEngine::FastEngine(const std::vector<Datapoint>& points, unsigned threads,
                       const std::function<void(float)>& progress, Tuning tuning)
    : FastEngine(SamplesInMemory::view(points), threads, progress, tuning) {}

FastEngine::FastEngine(const SampleSource& samples, unsigned threads, const std::function<void(float)>& progress,
                       Tuning tuning)
    : threads_(std::max(1u, threads)), indexing_(&samples), tuning_(tuning) {
    const auto report = [&](float fraction) {
        if (progress) progress(fraction);
    };
    if (!indexTimesOfDay(samples, report)) indexAnyTimes(samples, report);
    // What the first computes need, built here, off the frame loop: every
    // group's whole-day counts and the checkpoints of all modes.
    placeCheckpoints();
    buildGroupCheckpoints();
    report(0.88f);
    unsigned occupied = 0;
    for (int g = 0; g < kGroups; ++g)
        if (groups_[g].count > 0) occupied |= 1u << g;
    buildDayCounts(occupied);
    report(0.9f);
    samples.stopIfCancelled();
    updateCheckpoints((1u << kGroups) - 1);
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

std::size_t FastEngine::indexingBytes(std::size_t samples) {
    // Either the sort, every cell in its bucket and in place (4 bytes each,
    // twice) beside the buckets' partly filled blocks and a chunk of the
    // source, or what follows it: the cells, the checkpoints of all modes
    // and of each large one, every group's whole-day counts and the running
    // grids that build them.
    const std::size_t grid = kCountCells * 4;
    const std::size_t partlyFilled = kGroups * kDayBuckets * std::size_t{4096} * hardwareThreads();
    const std::size_t sorting = samples * 8 + partlyFilled + SampleSource::kChunkSamples * sizeof(Datapoint) + 8 * grid;
    const std::size_t checkpoints = std::min(samples * 5 / 2, kMaxCheckpoints * grid);
    const std::size_t ownCheckpoints = static_cast<std::size_t>(static_cast<double>(samples) * FastEngineTuning{}.groupCheckpointBytes);
    const std::size_t indexed = samples * 4 + checkpoints + ownCheckpoints + (kGroups + 4) * grid;
    return std::max(sorting, indexed);
}

// The usual case, every time within 0..86400, in one pass over the points:
// each thread appends every point to its coarse bucket's chain of blocks,
// then the buckets are sorted by second into place. Gives up (false) at the
// first time outside the day.
bool FastEngine::indexTimesOfDay(const SampleSource& samples, const std::function<void(float)>& report) {
    const unsigned workers = threads_;
    constexpr std::size_t kBuckets = kGroups * kDayBuckets;
    // Blocks are aligned to their size, so a cursor at a block boundary is
    // a full (or not yet started) block.
    constexpr std::size_t kBlockItems = 1024;
    constexpr std::size_t kBlockBytes = kBlockItems * sizeof(std::uint32_t);
    constexpr std::size_t kArenaBlocks = 256;
    constexpr std::size_t kArenaBytes = kArenaBlocks * kBlockBytes;
    // Mapped apart from the heap, so that the memory goes back to the system
    // once the cells are sorted (a heap that freed them would keep them,
    // in pieces, for the grids that follow).
    struct FreeArena {
        void operator()(std::uint32_t* arena) const { ::munmap(arena, kArenaBytes); }
    };
    struct Worker {
        std::vector<std::uint32_t*> cursor = std::vector<std::uint32_t*>(kBuckets, nullptr);
        std::vector<std::vector<std::uint32_t*>> blocks{kBuckets};
        std::vector<std::unique_ptr<std::uint32_t[], FreeArena>> arenas;
        std::size_t arenaUsed = kArenaBlocks;
        std::vector<FarPoint> far;
        SampleTally tally;
        bool outsideDay = false;
        std::size_t size(std::size_t bucket) const {
            const auto& list = blocks[bucket];
            return list.empty() ? 0 : (list.size() - 1) * kBlockItems + static_cast<std::size_t>(cursor[bucket] - list.back());
        }
    };
    std::vector<Worker> work(workers);
    // Ends the pass over the source at the first time outside the day.
    struct OutsideDay {};
    const auto addChunk = [&](const Datapoint* points, std::size_t n) {
        runParallel(workers, [&](unsigned t) {
            Worker& own = work[t];
            std::uint32_t** cursor = own.cursor.data();
            const Span span = spanOf(n, t, workers);
            for (std::size_t i = span.first; i < span.last; ++i) {
                const Datapoint& point = points[i];
                const int mode = modeIndex(point.mode);
                own.tally.add(mode, point.time);
                kde::Cell cell;
                if (!onCountGrid(point, cell, own.far)) continue;
                const std::uint32_t second = static_cast<std::uint32_t>(point.time);  // negative ones wrap
                if (second > static_cast<std::uint32_t>(kDayEnd)) {
                    own.outsideDay = true;
                    return;
                }
                const std::size_t bucket = (mode < 0 ? kModeCount : mode) * kDayBuckets + (second >> kDayShift);
                std::uint32_t* at = cursor[bucket];
                if (reinterpret_cast<std::uintptr_t>(at) % kBlockBytes == 0) {
                    if (own.arenaUsed == kArenaBlocks) {
                        void* mapped = ::mmap(nullptr, kArenaBytes, PROT_READ | PROT_WRITE,
                                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
                        if (mapped == MAP_FAILED) throw std::bad_alloc();
                        auto* arena = static_cast<std::uint32_t*>(mapped);
                        own.arenas.emplace_back(arena);
                        own.arenaUsed = 0;
                    }
                    at = own.arenas.back().get() + own.arenaUsed++ * kBlockItems;
                    own.blocks[bucket].push_back(at);
                }
                *at = kde::count_index(cell) | (second & ((1u << kDayShift) - 1)) << kCellBits;
                cursor[bucket] = at + 1;
            }
        });
        for (const Worker& own : work)
            if (own.outsideDay) throw OutsideDay{};
    };
    const std::size_t total = samples.size();
    try {
        samples.forEachChunk([&](const Datapoint* points, std::size_t n, std::size_t first) {
            addChunk(points, n);
            report(0.6f * static_cast<float>(first + n) / static_cast<float>(total));
        });
    } catch (const OutsideDay&) {
        return false;
    }
    tally_ = SampleTally{};
    for (const Worker& own : work) tally_.merge(own.tally);

    std::vector<std::size_t> bucketStart(kBuckets + 1);
    std::size_t position = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) {
        bucketStart[b] = position;
        for (const Worker& own : work) position += own.size(b);
    }
    bucketStart[kBuckets] = position;
    corePoints_ = position;
    cellStore_.reset(new std::uint32_t[corePoints_]);  // not value-initialised: every entry is written
    for (int g = 0; g < kGroups; ++g) {
        Group& group = groups_[g];
        group.cells = cellStore_.get() + bucketStart[g * kDayBuckets];
        group.count = bucketStart[(g + 1) * kDayBuckets] - bucketStart[g * kDayBuckets];
        if (group.count == 0) continue;
        group.before.resize(kDayEnd + 2);
        group.before.back() = group.count;
    }
    runParallel(workers, [&](unsigned t) {
        const auto [firstBucket, lastBucket] = bucketsOf(bucketStart, t, workers);
        std::vector<std::size_t> place(std::size_t{1} << kDayShift);
        for (std::size_t b = firstBucket; b < lastBucket; ++b) {
            if (b % 64 == 0) {
                samples.stopIfCancelled();
                if (t == 0)
                    report(0.6f + 0.2f * static_cast<float>(b - firstBucket) /
                                      static_cast<float>(lastBucket - firstBucket));
            }
            const std::size_t g = b / kDayBuckets;
            if (groups_[g].count == 0) continue;
            const std::size_t firstSecond = (b % kDayBuckets) << kDayShift;
            const std::size_t seconds = std::min<std::size_t>(std::size_t{1} << kDayShift, kDayEnd + 1 - firstSecond);
            const auto forEach = [&](const auto& f) {
                for (const Worker& own : work) {
                    const auto& list = own.blocks[b];
                    for (std::size_t k = 0; k < list.size(); ++k) {
                        const std::uint32_t* end = k + 1 < list.size() ? list[k] + kBlockItems : own.cursor[b];
                        for (const std::uint32_t* item = list[k]; item < end; ++item) f(*item);
                    }
                }
            };
            sortBucket(forEach, cellStore_.get() + bucketStart[b], bucketStart[b] - bucketStart[g * kDayBuckets],
                       groups_[g].before.data() + firstSecond, seconds, place);
        }
    });
    for (Worker& own : work) far_.insert(far_.end(), own.far.begin(), own.far.end());
    report(0.8f);
    return true;
}

// Any times: a pass for each group's size and spread, one for the coarse
// histograms, a scatter into place and a sort of each bucket in place. A
// group whose times spread too wide is sorted by comparison.
void FastEngine::indexAnyTimes(const SampleSource& samples, const std::function<void(float)>& report) {
    const unsigned workers = threads_;
    // Each pass reads the source once more, a chunk at a time, the chunk
    // shared out over the threads.
    const auto eachPoint = [&](const auto& perThread) {
        samples.forEachChunk([&](const Datapoint* points, std::size_t n, std::size_t) {
            runParallel(workers, [&](unsigned t) {
                const Span span = spanOf(n, t, workers);
                perThread(t, points + span.first, points + span.last);
            });
        });
    };
    struct Tally {
        std::vector<FarPoint> far;
        SampleTally tally;
        std::vector<std::size_t> histogram;  // per coarse bucket
        std::array<std::size_t, kGroups> sizes{};
        std::array<std::int32_t, kGroups> minTime;
        std::array<std::int32_t, kGroups> maxTime;
    };
    std::vector<Tally> tallies(workers);
    for (Tally& tally : tallies) {
        tally.minTime.fill(std::numeric_limits<std::int32_t>::max());
        tally.maxTime.fill(std::numeric_limits<std::int32_t>::min());
    }
    eachPoint([&](unsigned t, const Datapoint* first, const Datapoint* last) {
        Tally& tally = tallies[t];
        for (const Datapoint* at = first; at < last; ++at) {
            const Datapoint& point = *at;
            tally.tally.add(modeIndex(point.mode), point.time);
            kde::Cell cell;
            if (!onCountGrid(point, cell, tally.far)) continue;
            const int group = groupOf(point.mode);
            ++tally.sizes[group];
            tally.minTime[group] = std::min(tally.minTime[group], point.time);
            tally.maxTime[group] = std::max(tally.maxTime[group], point.time);
        }
    });
    far_.clear();
    tally_ = SampleTally{};
    for (Tally& tally : tallies) {
        far_.insert(far_.end(), tally.far.begin(), tally.far.end());
        tally.far = {};
        tally_.merge(tally.tally);
    }

    // The layout: per group, whether it is counting-sorted, its first second
    // and spread, and where its coarse buckets begin. A group sorted by
    // comparison has a single bucket.
    std::array<std::size_t, kGroups> sizes{};
    std::array<bool, kGroups> counting{};
    std::array<std::int32_t, kGroups> first{};
    std::array<std::int64_t, kGroups> spread{};
    std::array<std::size_t, kGroups> coarseBase{};
    std::array<std::size_t, kGroups> coarseCount{};
    std::int64_t seconds = 0;
    for (int g = 0; g < kGroups; ++g) {
        std::int32_t minTime = std::numeric_limits<std::int32_t>::max();
        std::int32_t maxTime = std::numeric_limits<std::int32_t>::min();
        for (const Tally& tally : tallies) {
            sizes[g] += tally.sizes[g];
            minTime = std::min(minTime, tally.minTime[g]);
            maxTime = std::max(maxTime, tally.maxTime[g]);
        }
        if (sizes[g] == 0) continue;
        first[g] = minTime;
        spread[g] = std::int64_t{maxTime} - minTime + 1;
        if (seconds + spread[g] <= kMaxSeconds) {
            counting[g] = true;
            seconds += spread[g];
        }
    }
    int shift = 0;
    const auto bucketsAt = [&](int g) {
        return counting[g] ? static_cast<std::size_t>(((spread[g] - 1) >> shift) + 1) : std::size_t{1};
    };
    for (; shift < kMaxShift; ++shift) {
        std::size_t total = 0;
        for (int g = 0; g < kGroups; ++g) total += bucketsAt(g);
        if (total <= static_cast<std::size_t>(kCoarseBuckets)) break;
    }
    std::size_t coarse = 0;
    for (int g = 0; g < kGroups; ++g) {
        coarseBase[g] = coarse;
        coarseCount[g] = bucketsAt(g);
        coarse += coarseCount[g];
    }
    const auto secondOf = [&](int g, std::int32_t time) {
        return static_cast<std::uint32_t>(std::int64_t{time} - first[g]);
    };
    for (Tally& tally : tallies) tally.histogram.assign(coarse, 0);
    eachPoint([&](unsigned t, const Datapoint* firstPoint, const Datapoint* lastPoint) {
        std::vector<std::size_t>& own = tallies[t].histogram;
        for (const Datapoint* at = firstPoint; at < lastPoint; ++at) {
            const Datapoint& point = *at;
            if (kde::place_function(kde::cell_function(point)) != kde::Place::counted) continue;
            const int g = groupOf(point.mode);
            ++own[coarseBase[g] + (counting[g] ? secondOf(g, point.time) >> shift : 0)];
        }
    });
    report(0.3f);

    // Counts become start positions: bucket by bucket, thread by thread, so
    // the groups follow each other and each thread's points of a bucket
    // lie together, as the scatter meets them.
    std::vector<std::size_t> bucketStart(coarse + 1);
    std::size_t position = 0;
    for (std::size_t b = 0; b < coarse; ++b) {
        bucketStart[b] = position;
        for (Tally& tally : tallies) {
            const std::size_t count = tally.histogram[b];
            tally.histogram[b] = position;
            position += count;
        }
    }
    bucketStart[coarse] = position;
    corePoints_ = position;
    cellStore_.reset(new std::uint32_t[corePoints_]);  // not value-initialised: every entry is written
    for (int g = 0; g < kGroups; ++g) {
        Group& group = groups_[g];
        group.cells = cellStore_.get() + bucketStart[coarseBase[g]];
        group.count = sizes[g];
        group.firstSecond = first[g];
        if (sizes[g] > 0 && !counting[g]) group.times.resize(sizes[g]);
    }

    // The scatter: each point's cell and second within its bucket, at its
    // bucket's next position; a comparison-sorted group takes its points in
    // order, with their times beside.
    const std::uint32_t fineMask = (std::uint32_t{1} << shift) - 1;
    eachPoint([&](unsigned t, const Datapoint* firstPoint, const Datapoint* lastPoint) {
        std::size_t* next = tallies[t].histogram.data();
        std::uint32_t* store = cellStore_.get();
        for (const Datapoint* at = firstPoint; at < lastPoint; ++at) {
            const Datapoint& point = *at;
            const kde::Cell cell = kde::cell_function(point);
            if (kde::place_function(cell) != kde::Place::counted) continue;
            const int g = groupOf(point.mode);
            const std::uint32_t second = secondOf(g, point.time);
            if (counting[g]) {
                store[next[coarseBase[g] + (second >> shift)]++] = kde::count_index(cell) | (second & fineMask) << kCellBits;
            } else {
                const std::size_t at = next[coarseBase[g]]++;
                store[at] = kde::count_index(cell);
                groups_[g].times[at - bucketStart[coarseBase[g]]] = point.time;
            }
        }
    });
    tallies = {};
    report(0.7f);

    std::vector<int> groupOfBucket(coarse, -1);  // -1: a comparison-sorted group's bucket
    for (int g = 0; g < kGroups; ++g) {
        if (!counting[g]) continue;
        groups_[g].before.resize(static_cast<std::size_t>(spread[g]) + 1);
        groups_[g].before.back() = sizes[g];
        for (std::size_t b = coarseBase[g]; b < coarseBase[g] + coarseCount[g]; ++b) groupOfBucket[b] = g;
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
    report(0.9f);

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
    std::size_t bytes = corePoints_ * 4 + far_.capacity() * sizeof(FarPoint) + table_.capacity() * sizeof(float) +
                        factor_.capacity() * sizeof(float) + counts_.capacity() * 4 +
                        rows_.capacity() * sizeof(float) + lastDensity_.capacity() * sizeof(float) +
                        checkTimes_.capacity() * sizeof(std::int64_t);
    for (const Group& group : groups_)
        bytes += group.before.capacity() * 8 + group.times.capacity() * 4 +
                 group.dayCounts.capacity() * 4;
    for (const auto& index : checkIndex_) bytes += index.capacity() * sizeof(std::size_t);
    for (const auto& grid : scratch_) bytes += grid.capacity() * 4;
    for (const auto& grid : checkpoints_) bytes += grid.capacity() * 4;
    for (const auto& grids : groupCheckpoints_)
        for (const auto& grid : grids) bytes += grid.capacity() * 4;
    return bytes;
}

void FastEngine::setKernel(const std::vector<float>& table, int size) {
    table_ = table;
    size_ = size;
    ++tableVersion_;
    factor_ = tableFactor(table_, size);
}

void FastEngine::forgetLastCounts() {
    countsValid_ = false;
    densityValid_ = false;
}

void FastEngine::preferCountPath(CountPath path) {
    preferred_ = path;
    forgetLastCounts();
}

// Counts the whole day of the groups that have none yet, a group per thread
// at a time, the largest first, each to the least loaded thread.
void FastEngine::buildDayCounts(unsigned groups) {
    std::vector<int> missing;
    for (int g = 0; g < kGroups; ++g)
        if ((groups & (1u << g)) && groups_[g].dayCounts.empty()) missing.push_back(g);
    if (missing.empty()) return;
    std::sort(missing.begin(), missing.end(), [&](int a, int b) { return groups_[a].count > groups_[b].count; });
    std::vector<std::vector<int>> share(threads_);
    std::vector<std::size_t> load(threads_, 0);
    for (int g : missing) {
        const auto least = static_cast<std::size_t>(std::min_element(load.begin(), load.end()) - load.begin());
        share[least].push_back(g);
        load[least] += groups_[g].count;
    }
    runParallel(threads_, [&](unsigned t) {
        for (int g : share[t]) {
            Group& group = groups_[g];
            std::vector<std::uint32_t> day(kCountCells, 0);
            for (std::size_t first = 0; first < group.count; first += kCancelStride) {
                stopIfCancelled();
                const std::size_t last = std::min(group.count, first + kCancelStride);
                for (std::size_t i = first; i < last; ++i) ++day[group.cells[i]];
            }
            group.dayCounts = std::move(day);
        }
    });
}

FastEngine::CountKey FastEngine::keyOf(const ControlSettings& settings) const {
    CountKey key;
    key.timeFilter = settings.mode_mask != 0;  // the window is ignored with mask 0
    key.minTime = key.timeFilter ? settings.min_time : 0;
    key.maxTime = key.timeFilter ? settings.max_time : 0;
    // Empty groups count too: their far points follow the same filter.
    for (int g = 0; g < kGroups; ++g)
        if (kde::mode_passes(modeOfGroup(g), settings.mode_mask)) key.groups |= 1u << g;
    return key;
}

FastEngine::Window FastEngine::windowOf(const CountKey& key) const {
    Window window{};
    for (int g = 0; g < kGroups; ++g) {
        if (!(key.groups & (1u << g))) continue;
        const Group& group = groups_[g];
        if (!key.timeFilter)
            window[g] = {0, group.count};
        else if (key.minTime <= key.maxTime)
            window[g] = {group.earlierThan(key.minTime), group.earlierThan(std::int64_t{key.maxTime} + 1)};
    }
    return window;
}

// Checkpoint times at quantiles of all points' times, so each stretch between
// two holds about the same number of points. Their number grows with the
// points, within about 2.5 bytes per point, so that a jump of the window
// costs at most about 2 million points up to a billion points.
void FastEngine::placeCheckpoints() {
    const std::size_t gridBytes = kCountCells * 4;
    const std::size_t count = std::clamp<std::size_t>(corePoints_ * 5 / 2 / gridBytes, 4, kMaxCheckpoints);
    const auto earlier = [&](std::int64_t time) {
        std::size_t total = 0;
        for (const Group& group : groups_) total += group.earlierThan(time);
        return total;
    };
    checkTimes_.assign(count + 1, 0);
    for (std::size_t k = 1; k < count; ++k) {
        // The first time before which at least k / count of the points lie.
        const std::size_t wanted = (corePoints_ * k + count - 1) / count;
        std::int64_t low = std::numeric_limits<std::int32_t>::min();
        std::int64_t high = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
        while (low < high) {
            const std::int64_t middle = low + (high - low) / 2;
            if (earlier(middle) >= wanted)
                high = middle;
            else
                low = middle + 1;
        }
        checkTimes_[k] = low;
    }
    for (int g = 0; g < kGroups; ++g) {
        auto& index = checkIndex_[g];
        index.assign(count + 1, 0);
        for (std::size_t k = 1; k < count; ++k) index[k] = groups_[g].earlierThan(checkTimes_[k]);
        index[count] = groups_[g].count;
    }
}

// Each large group's own cumulative counts at every stride-th checkpoint,
// within about 1.5 bytes per point (as tuned), so that a window of any group (a mode
// ticked under a narrow window, a jump of a window the checkpoints of all
// modes do not hold) costs two grids and the points to its ends. A running
// grid per group climbs through its points; what it ends with is the
// group's whole-day counts.
void FastEngine::buildGroupCheckpoints() {
    const std::size_t count = checkTimes_.size() - 1;
    const std::size_t gridBytes = kCountCells * 4;
    const double budget = static_cast<double>(corePoints_) * tuning_.groupCheckpointBytes / gridBytes;  // grids
    std::vector<int> large;
    for (int g = 0; g < kGroups; ++g)
        if (groups_[g].count > 0 && groups_[g].count >= tuning_.groupCheckpointPoints) large.push_back(g);
    groupStride_ = 0;
    for (std::size_t stride = 1; stride < count && !large.empty(); ++stride)
        if (static_cast<double>(large.size() * ((count - 1) / stride)) <= budget) {
            groupStride_ = stride;
            break;
        }
    if (groupStride_ == 0) return;
    std::sort(large.begin(), large.end(), [&](int a, int b) { return groups_[a].count > groups_[b].count; });
    std::vector<std::vector<int>> share(threads_);
    std::vector<std::size_t> load(threads_, 0);
    for (int g : large) {
        const auto least = static_cast<std::size_t>(std::min_element(load.begin(), load.end()) - load.begin());
        share[least].push_back(g);
        load[least] += groups_[g].count;
    }
    runParallel(threads_, [&](unsigned t) {
        for (int g : share[t]) {
            Group& group = groups_[g];
            std::vector<std::uint32_t> running(kCountCells, 0);
            for (std::size_t k = 1; k <= count; ++k) {
                stopIfCancelled();
                for (std::size_t i = checkIndex_[g][k - 1]; i < checkIndex_[g][k]; ++i) ++running[group.cells[i]];
                if (k % groupStride_ == 0 && k < count) groupCheckpoints_[g].push_back(running);
            }
            group.dayCounts = std::move(running);
        }
    });
}

double FastEngine::cumulativeDistance(int g, std::size_t position) const {
    const std::size_t grids = cumulativeGrids(g);
    if (grids == 0) return static_cast<double>(position);
    // The positions grow with j: the first at or after `position`, and the one before.
    std::size_t low = 0, high = grids - 1;
    while (low < high) {
        const std::size_t middle = (low + high) / 2;
        if (cumulativeAt(g, middle) < position)
            low = middle + 1;
        else
            high = middle;
    }
    double best = static_cast<double>(cumulativeAt(g, low) > position ? cumulativeAt(g, low) - position
                                                                       : position - cumulativeAt(g, low));
    if (low > 0) best = std::min(best, static_cast<double>(position - cumulativeAt(g, low - 1)));
    return best;
}

std::size_t FastEngine::cumulativeGrids(int g) const {
    return groups_[g].dayCounts.empty() ? 0 : groupCheckpoints_[g].size() + 2;
}

std::size_t FastEngine::cumulativeAt(int g, std::size_t j) const {
    if (j == 0) return 0;
    if (j == groupCheckpoints_[g].size() + 1) return groups_[g].count;
    return checkIndex_[g][j * groupStride_];
}

const std::uint32_t* FastEngine::cumulativeGrid(int g, std::size_t j) const {
    return j == groupCheckpoints_[g].size() + 1 ? groups_[g].dayCounts.data() : groupCheckpoints_[g][j - 1].data();
}

// Brings the checkpoints from the groups they hold to `groups`: the groups
// that differ are added or taken away, one running count grid climbing from
// the start of the day and, on a second thread, one descending from its end.
void FastEngine::updateCheckpoints(unsigned groups) {
    const std::size_t count = checkTimes_.size() - 1;
    if (!checkpointsValid_) {
        checkpoints_.resize(count);
        for (auto& grid : checkpoints_) grid.assign(kCountCells, 0);
        checkGroups_ = 0;
        checkpointsValid_ = true;
    }
    const unsigned changed = groups ^ checkGroups_;
    checkGroups_ = groups;
    if (!changed) return;
    std::vector<int> changedGroups;
    std::size_t total = 0;
    for (int g = 0; g < kGroups; ++g)
        if ((changed & (1u << g)) && groups_[g].count > 0) {
            changedGroups.push_back(g);
            total += groups_[g].count;
        }
    if (changedGroups.empty()) return;
    const auto signOf = [&](int g) { return (groups & (1u << g)) ? 1u : ~0u; };  // +1 or -1, wrapping
    // The climbing thread takes checkpoints 1..split, the other the rest.
    std::size_t split = count;
    if (threads_ > 1) {
        split = 0;
        while (split < count) {
            std::size_t below = 0;
            for (int g : changedGroups) below += checkIndex_[g][split + 1];
            if (2 * below > total) break;
            ++split;
        }
        unsigned mask = 0;
        for (int g : changedGroups) mask |= 1u << g;
        buildDayCounts(mask);
    }
    scratch_.resize(std::max<std::size_t>(scratch_.size(), 2));
    const auto addSlice = [&](std::vector<std::uint32_t>& running, std::size_t k, bool add) {
        stopIfCancelled();
        for (int g : changedGroups) {
            const std::uint32_t sign = add ? signOf(g) : 0u - signOf(g);
            const std::uint32_t* cells = groups_[g].cells;
            for (std::size_t i = checkIndex_[g][k - 1]; i < checkIndex_[g][k]; ++i) running[cells[i]] += sign;
        }
    };
    const auto addTo = [](std::vector<std::uint32_t>& target, const std::vector<std::uint32_t>& running) {
        std::uint32_t* out = target.data();
        const std::uint32_t* in = running.data();
        for (std::size_t i = 0; i < kCountCells; ++i) out[i] += in[i];
    };
    runParallel(threads_ > 1 ? 2u : 1u, [&](unsigned t) {
        std::vector<std::uint32_t>& running = scratch_[t];
        if (t == 0) {
            running.assign(kCountCells, 0);
            for (std::size_t k = 1; k <= split; ++k) {
                addSlice(running, k, true);
                addTo(checkpoints_[k - 1], running);
            }
        } else {
            running.assign(kCountCells, 0);
            for (int g : changedGroups) {
                const std::uint32_t sign = signOf(g);
                const std::uint32_t* day = groups_[g].dayCounts.data();
                for (std::size_t i = 0; i < kCountCells; ++i) running[i] += sign * day[i];
            }
            for (std::size_t k = count; k > split; --k) {
                addTo(checkpoints_[k - 1], running);
                addSlice(running, k, false);
            }
        }
    });
}

// Adds the runs to target, the points shared out over the threads; every
// thread but the first counts into a grid of its own, summed in afterwards.
void FastEngine::applyRuns(const std::vector<Run>& runs, std::uint32_t* target) {
    std::size_t total = 0;
    for (const Run& run : runs) total += run.last - run.first;
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
        for (const Run& run : runs) {
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

const std::vector<std::uint32_t>& FastEngine::countsFor(const ControlSettings& settings) {
    const CountKey key = keyOf(settings);
    if (countsValid_ && key == countKey_) return counts_;
    const Window now = windowOf(key);
    CountPath path = preferred_;
    if (path == CountPath::incremental && !countsValid_) path = CountPath::fromScratch;
    bool rebuild = path == CountPath::checkpointsFollowing;
    if (rebuild) path = CountPath::checkpoints;
    const auto inKey = [](const CountKey& k, int g) { return (k.groups & (1u << g)) != 0; };
    // Costs in point increments; a pass over a count grid counts as a
    // quarter of its cells.
    constexpr double gridCost = static_cast<double>(kCountCells) / 4;
    const auto distance = [](std::size_t a, std::size_t b) { return static_cast<double>(a > b ? a - b : b - a); };
    // A group's window [first, last) is counted point by point, or as the
    // difference of two of its cumulative grids (none, its checkpoints, the
    // whole day) corrected by the points between each grid and each end.
    struct WindowCount {
        double cost = 0;
        bool direct = true;
        std::size_t lower = 0;  // cumulative grids, when not direct
        std::size_t upper = 0;
    };
    const auto windowCount = [&](int g, std::pair<std::size_t, std::size_t> w) {
        WindowCount best;
        best.cost = static_cast<double>(w.second - w.first);
        const std::size_t grids = cumulativeGrids(g);
        if (grids < 2) return best;
        const auto nearest = [&](std::size_t end, std::size_t from) {
            std::size_t at = from;
            double cost = std::numeric_limits<double>::infinity();
            for (std::size_t j = from; j < grids; ++j) {
                const double c = distance(end, cumulativeAt(g, j)) + (j > 0 ? gridCost : 0.0);
                if (c < cost) {
                    cost = c;
                    at = j;
                }
            }
            return std::pair{at, cost};
        };
        const auto [lower, lowerCost] = nearest(w.first, 0);
        const auto [upper, upperCost] = nearest(w.second, lower);
        if (lowerCost + upperCost < best.cost) best = WindowCount{lowerCost + upperCost, false, lower, upper};
        return best;
    };
    const auto addCost = [&](int g, std::pair<std::size_t, std::size_t> w) { return windowCount(g, w).cost; };
    constexpr double never = std::numeric_limits<double>::infinity();

    // From the last counts: the points that entered or left.
    double incremental = never;
    Window old{};
    if (countsValid_) {
        old = windowOf(countKey_);
        incremental = 0;
        for (int g = 0; g < kGroups; ++g) {
            const bool was = inKey(countKey_, g), is = inKey(key, g);
            if (was && is)
                incremental += distance(now[g].first, old[g].first) + distance(now[g].second, old[g].second);
            else if (is)
                incremental += addCost(g, now[g]);
            else if (was)
                incremental += addCost(g, old[g]);
        }
    }
    // From nothing: each group's run, or its whole day less what lies outside.
    double scratch = gridCost;
    for (int g = 0; g < kGroups; ++g)
        if (inKey(key, g)) scratch += addCost(g, now[g]);
    // From the checkpoints nearest each end. They hold the counts of some
    // mode selection, `held`: a group selected now but not held is added,
    // one held but not selected now is taken away.
    const std::size_t checkCount = checkTimes_.size() - 1;
    struct CheckPlan {
        unsigned held = 0;
        std::size_t start = 0;
        std::size_t end = 0;
        double cost = never;
    };
    const auto heldRange = [&](const CheckPlan& plan, int g) {
        return std::pair{checkIndex_[g][plan.start], checkIndex_[g][plan.end]};
    };
    const auto planFor = [&](unsigned held) {
        CheckPlan plan;
        plan.held = held;
        // The end's checkpoint is searched from the start's on, so the two
        // hold each group's points between them.
        const auto nearest = [&](bool end, std::size_t from) {
            std::size_t best = from;
            double bestCost = never;
            for (std::size_t k = from; k <= checkCount; ++k) {
                double cost = 0;
                for (int g = 0; g < kGroups; ++g) {
                    if (!(held & (1u << g))) continue;
                    if (inKey(key, g))
                        cost += distance(end ? now[g].second : now[g].first, checkIndex_[g][k]);
                    else  // taken away through its own grids: best where they lie
                        cost += cumulativeDistance(g, checkIndex_[g][k]);
                }
                if (cost < bestCost) {
                    bestCost = cost;
                    best = k;
                }
            }
            return std::pair{best, bestCost};
        };
        const auto [start, startCost] = nearest(false, 0);
        const auto [end, endCost] = nearest(true, start);
        plan.start = start;
        plan.end = end;
        plan.cost = startCost + endCost + gridCost * (start > 0 ? 2 : 1);
        for (int g = 0; g < kGroups; ++g) {
            const bool isHeld = (held & (1u << g)) != 0;
            if (inKey(key, g) && !isHeld) plan.cost += addCost(g, now[g]);
            if (!inKey(key, g) && isHeld) plan.cost += addCost(g, heldRange(plan, g));
        }
        return plan;
    };
    // Bringing the checkpoints to this selection first: the groups that
    // differ are counted once more, and every checkpoint is passed over.
    double update = static_cast<double>(checkCount) * gridCost * (checkpointsValid_ ? 1 : 2);
    for (int g = 0; g < kGroups; ++g)
        if (!checkpointsValid_ ? inKey(key, g) : ((key.groups ^ checkGroups_) & (1u << g)))
            update += static_cast<double>(groups_[g].count);
    const CheckPlan asHeld = checkpointsValid_ ? planFor(checkGroups_) : CheckPlan{};
    const CheckPlan rebuilt = planFor(key.groups);

    if (path == CountPath::cheapest) {
        const double best = std::min({incremental, scratch, asHeld.cost});
        if (best == incremental)
            path = CountPath::incremental;
        else if (best == scratch)
            path = CountPath::fromScratch;
        else
            path = CountPath::checkpoints;
        // A jump of the window (the modes unchanged) that costs more than a
        // stretch between two checkpoints brings the checkpoints to this
        // mode selection when that is about as cheap: later jumps are then
        // bounded by that stretch.
        const double stretch = static_cast<double>(corePoints_) / static_cast<double>(checkCount);
        const bool sameModes = countsValid_ && key.groups == countKey_.groups;
        if (checkpointsValid_ && sameModes && key.timeFilter && best > stretch && update + rebuilt.cost < 1.5 * best) {
            path = CountPath::checkpoints;
            rebuild = true;
        }
    }
    const CheckPlan& plan = rebuild ? rebuilt : asHeld;

    std::vector<Run> runs;
    // Cumulative grids to add to the counts (factor 1) or take away (-1),
    // all in one pass at the end.
    std::vector<std::pair<const std::uint32_t*, std::uint32_t>> days;
    // Moves a count from position `from` to `to` of a group: the points in
    // between enter (sign 1) or leave.
    const auto move = [&](int g, std::size_t from, std::size_t to, std::int32_t sign) {
        if (to > from) runs.push_back(Run{g, from, to, sign});
        if (from > to) runs.push_back(Run{g, to, from, -sign});
    };
    // Adds (sign 1) or takes away (-1) a group's window.
    const auto addWindow = [&](int g, std::pair<std::size_t, std::size_t> w, std::int32_t sign) {
        const WindowCount count = windowCount(g, w);
        if (count.direct) {
            if (w.second > w.first) runs.push_back(Run{g, w.first, w.second, sign});
            return;
        }
        if (count.upper > 0) days.push_back({cumulativeGrid(g, count.upper), static_cast<std::uint32_t>(sign)});
        if (count.lower > 0) days.push_back({cumulativeGrid(g, count.lower), static_cast<std::uint32_t>(-sign)});
        move(g, cumulativeAt(g, count.upper), w.second, sign);
        move(g, cumulativeAt(g, count.lower), w.first, -sign);
    };

    if (path == CountPath::incremental) {
        for (int g = 0; g < kGroups; ++g) {
            const bool was = inKey(countKey_, g), is = inKey(key, g);
            if (was && is) {
                move(g, old[g].second, now[g].second, 1);
                move(g, old[g].first, now[g].first, -1);
            } else if (is) {
                addWindow(g, now[g], 1);
            } else if (was) {
                addWindow(g, old[g], -1);
            }
        }
    } else if (path == CountPath::fromScratch) {
        counts_.resize(kCountCells);
        days.push_back({nullptr, 0});  // marks that the pass starts from zero
        for (int g = 0; g < kGroups; ++g)
            if (inKey(key, g)) addWindow(g, now[g], 1);
    } else {
        if (rebuild) updateCheckpoints(key.groups);
        counts_.resize(kCountCells);
        std::uint32_t* out = counts_.data();
        const std::uint32_t* upper = plan.end > 0 ? checkpoints_[plan.end - 1].data() : nullptr;
        const std::uint32_t* lower = plan.start > 0 ? checkpoints_[plan.start - 1].data() : nullptr;
        runParallel(threads_, [&](unsigned t) {
            const Span span = spanOf(kCountCells, t, threads_);
            for (std::size_t i = span.first; i < span.last; ++i)
                out[i] = (upper ? upper[i] : 0u) - (lower ? lower[i] : 0u);
        });
        for (int g = 0; g < kGroups; ++g) {
            const bool held = (plan.held & (1u << g)) != 0;
            if (inKey(key, g) && held) {
                move(g, checkIndex_[g][plan.end], now[g].second, 1);
                move(g, checkIndex_[g][plan.start], now[g].first, -1);
            } else if (inKey(key, g)) {
                addWindow(g, now[g], 1);
            } else if (held) {
                addWindow(g, heldRange(plan, g), -1);  // its points between the two checkpoints
            }
        }
    }
    if (!days.empty()) {
        const bool fromZero = days.front().first == nullptr;
        if (fromZero) days.erase(days.begin());
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
    applyRuns(runs, counts_.data());
    countKey_ = key;
    countsValid_ = true;
    return counts_;
}

namespace {

// The two passes of the convolution keep a block of outputs in registers
// while the taps go by, one load per multiply-add: 4-lane vectors anywhere,
// 8-lane ones with fused multiply-adds where the processor has AVX2 and FMA.
typedef float Vec4 __attribute__((vector_size(16), aligned(4), may_alias));
typedef float Vec8 __attribute__((vector_size(32), aligned(4), may_alias));
template <int Lanes>
struct VectorOf;
template <>
struct VectorOf<4> {
    using type = Vec4;
};
template <>
struct VectorOf<8> {
    using type = Vec8;
};
template <int Lanes>
using Vec = typename VectorOf<Lanes>::type;
static_assert(sizeof(Vec<8>) == 32 && sizeof(Vec<4>) == 16);
constexpr int kBlockVectors = 5;
static_assert(kde::kSide % (4 * kBlockVectors) == 0 && kde::kSide % (8 * kBlockVectors) == 0);

// out[c] = sum over v of factor[v] * in[c - v], c in 0 .. kSide - 1, the
// taps in ascending order as a plain loop would add them.
template <int Lanes>
[[gnu::always_inline]] inline void horizontalBody(const float* in, const float* factor, int reach, float* out) {
    constexpr int block = Lanes * kBlockVectors;
    for (int c = 0; c < kde::kSide; c += block) {
        Vec<Lanes> sum[kBlockVectors] = {};
        for (int v = -reach; v <= reach; ++v) {
            const float w = factor[v];
            const float* source = in + c - v;
            for (int k = 0; k < kBlockVectors; ++k)
                sum[k] += w * *reinterpret_cast<const Vec<Lanes>*>(source + k * Lanes);
        }
        for (int k = 0; k < kBlockVectors; ++k) *reinterpret_cast<Vec<Lanes>*>(out + c + k * Lanes) = sum[k];
    }
}

// out[c] = sum over u of factor[u] * rows[centre - u][c] for the rows in use.
template <int Lanes>
[[gnu::always_inline]] inline void verticalBody(const float* rows, const unsigned char* used, const float* factor,
                                                int uFirst, int uLast, int centre, float* out) {
    constexpr int block = Lanes * kBlockVectors;
    for (int c = 0; c < kde::kSide; c += block) {
        Vec<Lanes> sum[kBlockVectors] = {};
        for (int u = uFirst; u <= uLast; ++u) {
            const int i = centre - u;
            if (!used[i]) continue;
            const float w = factor[u];
            const float* source = rows + static_cast<std::size_t>(i) * kde::kSide + c;
            for (int k = 0; k < kBlockVectors; ++k)
                sum[k] += w * *reinterpret_cast<const Vec<Lanes>*>(source + k * Lanes);
        }
        for (int k = 0; k < kBlockVectors; ++k) *reinterpret_cast<Vec<Lanes>*>(out + c + k * Lanes) = sum[k];
    }
}

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
[[gnu::target("avx2,fma")]] void horizontalWide(const float* in, const float* factor, int reach, float* out) {
    horizontalBody<8>(in, factor, reach, out);
}
[[gnu::target("avx2,fma")]] void verticalWide(const float* rows, const unsigned char* used, const float* factor,
                                              int uFirst, int uLast, int centre, float* out) {
    verticalBody<8>(rows, used, factor, uFirst, uLast, centre, out);
}
bool wideVectors() {
    static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return wide;
}
#else
void horizontalWide(const float* in, const float* factor, int reach, float* out) {
    horizontalBody<4>(in, factor, reach, out);
}
void verticalWide(const float* rows, const unsigned char* used, const float* factor, int uFirst, int uLast,
                  int centre, float* out) {
    verticalBody<4>(rows, used, factor, uFirst, uLast, centre, out);
}
bool wideVectors() { return false; }
#endif

// Gaussian tails far below the centre weight are subnormal floats, which
// the processor multiplies dozens of times slower. While a thread convolves
// they count as zero: each cell then differs by less than FLT_MIN per
// contribution from adding them, within the rounding the reference allows.
class FlushSubnormals {
public:
#if defined(__SSE__) || defined(__x86_64__)
    FlushSubnormals() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | kFlushToZero | kDenormalsAreZero); }
    ~FlushSubnormals() { _mm_setcsr(saved_); }

private:
    static constexpr unsigned kFlushToZero = 0x8000;
    static constexpr unsigned kDenormalsAreZero = 0x0040;
    unsigned saved_;
#endif
};

void horizontalPass(const float* in, const float* factor, int reach, float* out) {
    if (wideVectors())
        horizontalWide(in, factor, reach, out);
    else
        horizontalBody<4>(in, factor, reach, out);
}

void verticalPass(const float* rows, const unsigned char* used, const float* factor, int uFirst, int uLast,
                  int centre, float* out) {
    if (wideVectors())
        verticalWide(rows, used, factor, uFirst, uLast, centre, out);
    else
        verticalBody<4>(rows, used, factor, uFirst, uLast, centre, out);
}

}  // namespace

// Every cell of grid (kCells floats) receives the counts convolved with the table.
void FastEngine::convolve(const std::vector<std::uint32_t>& counts, std::vector<float>& grid) {
    const int half = size_ / 2;
    constexpr int side = kde::kSide;
    // Count-grid rows that reach the grid with this table, and the column
    // offsets that can matter: beyond them the count row is empty.
    const kde::ConvolutionShape shape = kde::convolution_shape(half);
    const int rowFirst = shape.rowFirst;
    const int rowLast = shape.rowLast;
    const int reach = shape.reach;
    constexpr int margin = side + kCountPad;
    constexpr int widened = kCountSide + 2 * margin;
    const float* factor = factor_.data() + half;  // factor[k] for k in -half..half

    rows_.resize(static_cast<std::size_t>(kCountSide) * side);
    std::vector<unsigned char> rowUsed(kCountSide, 0);

    // Horizontal pass: rows_[i][c] = sum over v of factor[v] * counts[i][c - v].
    runParallel(threads_, [&](unsigned t) {
        const FlushSubnormals flush;
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
            if (any)
                horizontalPass(line.data() + margin + kCountPad, factor, reach,
                               rows_.data() + static_cast<std::size_t>(i) * side);
        }
    });

    // Vertical pass: grid[r][c] = sum over u of factor[u] * rows_[r - u][c].
    runParallel(threads_, [&](unsigned t) {
        const FlushSubnormals flush;
        const Span span = spanOf(side, t, threads_);
        for (std::size_t r = span.first; r < span.last; ++r) {
            const int centre = static_cast<int>(r) + kCountPad;
            verticalPass(rows_.data(), rowUsed.data(), factor, std::max(-half, centre - rowLast),
                         std::min(half, centre - rowFirst), centre, grid.data() + r * side);
        }
    });
}

void FastEngine::stampFarPoints(const ControlSettings& settings, std::vector<float>& grid) const {
    kde::AddToGrid add{grid.data()};
    for (const FarPoint& point : far_) {
        if (!kde::mode_passes(point.mode, settings.mode_mask) ||
            !kde::time_passes(point.time, settings.mode_mask, settings.min_time, settings.max_time))
            continue;
        kde::stamp_function(point.row, point.col, table_.data(), size_, kde::kSide, add);
    }
}

std::vector<float> FastEngine::density(const ControlSettings& settings) {
    const CountKey key = keyOf(settings);
    if (!densityValid_ || key != densityKey_ || densityTable_ != tableVersion_) {
        lastDensity_.resize(kde::kCells);
        convolve(countsFor(settings), lastDensity_);
        stampFarPoints(settings, lastDensity_);
        densityKey_ = key;
        densityTable_ = tableVersion_;
        densityValid_ = true;
    }
    return lastDensity_;
}

std::vector<float> FastEngine::compute(const ControlSettings& settings) {
    std::vector<float> grid = density(settings);
    lastMaximum_ = finishGrid(grid, kde::log_enabled(settings.use_log_scale, settings.mode_mask), threads_);
    return grid;
}

std::int64_t FastEngine::samplesInCell(int row, int col, const ControlSettings& filters) {
    if (row < 0 || row >= kde::kSide || col < 0 || col >= kde::kSide) return 0;
    // Points centred inside the grid are all on the count grid.
    return countsFor(filters)[kde::count_index(kde::Cell{row, col, true})];
}

std::vector<float> FastEngine::cellCounts(const ControlSettings& filters) {
    const std::uint32_t* counts = countsFor(filters).data();
    std::vector<float> cells(static_cast<std::size_t>(kde::kSide) * kde::kSide);
    for (int row = 0; row < kde::kSide; ++row)
        for (int col = 0; col < kde::kSide; ++col)
            cells[static_cast<std::size_t>(row) * kde::kSide + static_cast<std::size_t>(col)] =
                static_cast<float>(counts[kde::count_index(kde::Cell{row, col, true})]);
    return cells;
}

}  // namespace engine
