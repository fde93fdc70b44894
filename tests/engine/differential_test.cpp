// The counting CPU engine against the literal reference over adversarial data and
// many settings, on one engine instance so its caches are exercised too. The
// tolerance is derived in GridComparison.h.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>

#include "EngineTestData.h"
#include "GridComparison.h"
#include "cpu/CountingEngine.h"
#include "engine/HeatmapEngine.h"
#include "model/LoadError.h"
#include "model/SampleSource.h"
#include "tests/TempDir.h"

namespace {

using gridcheck::Case;

double fastTerms(double, int size) { return 2.0 * size + 8.0; }

void compareOne(engine::CountingEngine& fast, engine::ReferenceEngine& reference, engine::ReferenceEngine& counter,
                const Case& c) {
    gridcheck::compareOne(fast, reference, counter, c, fastTerms, true);
}

TEST(CountingEngineAgainstReference, AgreesOverAdversarialDataAndSettings) {
    const auto points = adversarialPoints(7, 5000);
    engine::CountingEngine fast(points, 2);
    engine::ReferenceEngine reference(points);
    engine::ReferenceEngine counter(points);

    std::mt19937 random(11);
    const std::int32_t masks[] = {0,
                                  1,
                                  1024,
                                  2047,
                                  static_cast<std::int32_t>(random() % 2048),
                                  static_cast<std::int32_t>(random() % 2048),
                                  static_cast<std::int32_t>(random() % 2048),
                                  4096 | mode::WALK,
                                  2047 | 4096};
    const std::pair<std::int32_t, std::int32_t> windows[] = {
        {0, 86400}, {3600, 7200}, {25200, 32400}, {7200, 3600}, {-100, 86500}, {0, 30000}, {86399, 86399}};
    int round = 0;
    for (int size : {1, 3, 5, 21}) {
        for (std::int32_t mask : masks) {
            const auto [from, to] = windows[round % std::size(windows)];
            const float sigma = round % 2 ? 10.0f : 1.0f;
            compareOne(fast, reference, counter, Case{size, sigma, mask, from, to, round % 3 != 0});
            ++round;
            if (HasFatalFailure()) return;
        }
    }
    const std::int32_t someModes = static_cast<std::int32_t>(random() % 2048);
    for (const auto& [sigma, mask] : {std::pair{1.0f, 2047}, std::pair{10.0f, someModes}, std::pair{10.0f, 4096}})
        compareOne(fast, reference, counter, Case{101, sigma, mask, 25200, 32400, mask != 4096});
}

}  // namespace

namespace {

// Tables wider than the counting engine's count-grid margin: points centred far
// outside the grid still reach it and are stamped one by one.
TEST(CountingEngineAgainstReference, AgreesForTablesReachingFromFarOutside) {
    const auto points = adversarialPoints(5, 400);
    engine::CountingEngine fast(points, 2);
    engine::ReferenceEngine reference(points);
    engine::ReferenceEngine counter(points);
    compareOne(fast, reference, counter, Case{201, 40.0f, 2047 | 4096, 0, 86400, false});
    compareOne(fast, reference, counter, Case{161, 3.0f, 0, 0, 86400, true});
}

// Frames whose cells are not square on the ground: the table is wider or
// narrower east-west than north-south, so an engine that convolves both
// axes with one factor, or swaps them, differs from the literal stamp. The
// wide table reaches past the count grid's margin east-west only.
TEST(CountingEngineAgainstReference, AgreesForTablesScaledToTheCellsOnTheGround) {
    const auto points = adversarialPoints(6, 400);
    engine::CountingEngine fast(points, 2);
    engine::ReferenceEngine reference(points);
    engine::ReferenceEngine counter(points);
    for (const Case& c : {Case{9, 2.0f, 2047, 0, 86400, false, 0.8669}, Case{15, 3.0f, 2047 | 4096, 0, 86400, true, 1.6},
                          Case{101, 20.0f, 2047, 0, 86400, false, 0.55}})
        compareOne(fast, reference, counter, c);
}

}  // namespace

namespace {

// Times spread over the whole int range: groups too wide for the counting
// sort are sorted by comparison, and the threads' shares must still land on
// distinct positions.
TEST(CountingEngineAgainstReference, AgreesWhenTimesSpreadBeyondTheCountingSort) {
    auto points = adversarialPoints(9, 3000);
    std::mt19937 random(5);
    for (std::size_t i = 0; i < points.size(); i += 3)
        points[i].time = static_cast<std::int32_t>(random());  // anywhere in the int range
    for (unsigned threads : {1u, 2u, 3u}) {
        engine::CountingEngine fast(points, threads);
        engine::ReferenceEngine reference(points);
        engine::ReferenceEngine counter(points);
        compareOne(fast, reference, counter, Case{5, 1.0f, 2047, -2000000000, 2000000000, false});
        compareOne(fast, reference, counter, Case{3, 1.0f, mode::WALK | mode::BUS | 4096, 3600, 7200, true});
        compareOne(fast, reference, counter, Case{1, 1.0f, 2047, 0, 86400, false});
    }
}

}  // namespace

namespace {

// Every way the counting engine finds the counts of a filter, forced in turn,
// over a walk of filters where each way has its own mistakes to make:
// windows straddling checkpoints, one second, an empty window, the whole day
// and beyond it, mode toggles under a narrow window and mask 0. Once with
// times beyond the day, once with every time within it (the one-pass index).
TEST(CountingEngineAgainstReference, EveryWayOfCountingAWindowAgrees) {
    auto beyondTheDay = adversarialPoints(13, 3000);
    auto withinTheDay = beyondTheDay;
    for (Datapoint& point : withinTheDay) point.time = std::clamp(point.time, 0, 86400);
    using Path = engine::CountingEngine::CountPath;
    const Case walk[] = {
        {3, 1.0f, mode::WALK | mode::BUS | 4096, 0, 86400, false},
        {3, 1.0f, mode::WALK | mode::BUS | 4096, 30000, 60000, false},
        {3, 1.0f, 2047, 0, 86400, false},
        {3, 1.0f, 2047, 21000, 65000, true},
        {3, 1.0f, 2047, 21000, 30000, true},
        {3, 1.0f, mode::WALK | mode::BUS | 4096, 21000, 30000, true},
        {3, 1.0f, mode::WALK | mode::BUS | 4096, 43200, 43200, false},
        {3, 1.0f, mode::WALK | mode::BUS | 4096, 50000, 40000, true},
        {3, 1.0f, 2047 & ~mode::WALK, -100, 86500, true},
        {3, 1.0f, 2047 & ~mode::WALK, 7200, 80000, false},
        {3, 1.0f, 2047, 7200, 80000, true},
        {3, 1.0f, 2047, 3600, 3600, true},
        {3, 1.0f, 0, 3600, 7200, false},
        {3, 1.0f, mode::CAR, 0, 86400, true},
    };
    // Once as tuned for millions of points, once with every group's own
    // checkpoints at every checkpoint of the day.
    engine::CountingEngine::Tuning ownCheckpoints;
    ownCheckpoints.groupCheckpointPoints = 1;
    ownCheckpoints.groupCheckpointBytes = 1e9;
    for (const engine::CountingEngine::Tuning& tuning : {engine::CountingEngine::Tuning{}, ownCheckpoints})
    for (const auto* points : {&beyondTheDay, &withinTheDay})
    for (Path path : {Path::cheapest, Path::incremental, Path::fromScratch, Path::checkpoints,
                      Path::checkpointsFollowing}) {
        SCOPED_TRACE("count path " + std::to_string(static_cast<int>(path)) +
                     (points == &withinTheDay ? ", times within the day" : ", times beyond the day") +
                     (tuning.groupCheckpointPoints == 1 ? ", every group's own checkpoints" : ""));
        engine::CountingEngine fast(*points, 2, {}, tuning);
        fast.preferCountPath(path);
        engine::ReferenceEngine reference(*points);
        engine::ReferenceEngine counter(*points);
        for (const Case& c : walk) {
            compareOne(fast, reference, counter, c);
            if (HasFatalFailure()) return;
        }
    }
}

}  // namespace

namespace {

// Weekday filters within the counting engine (settings.day_classes) against the
// reference built from only the samples of those classes, undated samples
// (class 7) among them, on every way of counting: toggles of one class after
// another filter, a class alone, mask 0, every class. Exact counts per cell
// too, so a point filed under the wrong day class shows even where the
// grid's tolerance would hide it.
TEST(CountingEngineAgainstReference, DayClassesCountOnlyTheSamplesOfThoseDays) {
    auto beyondTheDay = adversarialPoints(17, 3000);
    auto withinTheDay = beyondTheDay;
    for (Datapoint& point : withinTheDay) point.time = std::clamp(point.time, 0, 86400);
    std::mt19937 random(23);
    std::vector<std::int32_t> days(beyondTheDay.size());
    for (std::int32_t& day : days)
        day = random() % 6 == 0 ? kUnknownDay : dayNumber(2024, 1, 1) + static_cast<std::int32_t>(random() % 365);
    constexpr std::uint8_t kWeekdays = 0x1f, kWeekend = 0x60, kUndated = 0x80;
    const std::int32_t some = mode::WALK | mode::BUS | 4096;
    const Case walk[] = {
        {3, 1.0f, 2047 | 4096, 0, 86400, false, 1.0, kAllDayClasses},
        {3, 1.0f, 2047 | 4096, 0, 86400, false, 1.0, kWeekdays},
        {3, 1.0f, 2047 | 4096, 0, 86400, false, 1.0, kWeekdays | kWeekend},
        {3, 1.0f, some, 21000, 30000, true, 1.0, kWeekdays | kWeekend},
        {3, 1.0f, some, 21000, 30000, true, 1.0, kWeekend},
        {3, 1.0f, some, 21000, 30000, false, 1.0, kWeekend | 0x01},
        {3, 1.0f, some, -100, 86500, false, 1.0, kWeekend | 0x01},
        {3, 1.0f, 2047, 7200, 80000, true, 1.0, kUndated},
        {3, 1.0f, 2047, 7200, 80000, true, 1.0, kUndated | 0x04},
        {3, 1.0f, 0, 3600, 7200, false, 1.0, kWeekdays},
        {3, 1.0f, mode::CAR | 4096, 50000, 40000, false, 1.0, 0x10},
        {3, 1.0f, 2047 | 4096, 0, 86400, true, 1.0, kAllDayClasses},
    };
    // The reference and the contribution counter of each choice of classes,
    // from only the samples of those classes.
    struct References {
        engine::ReferenceEngine reference, counter;
    };
    const auto pick = [&](const std::vector<Datapoint>& points, std::uint8_t classes) {
        std::vector<Datapoint> chosen;
        for (std::size_t i = 0; i < points.size(); ++i)
            if ((classes >> dayClassOf(days[i])) & 1) chosen.push_back(points[i]);
        return chosen;
    };
    engine::CountingEngine::Tuning ownCheckpoints;
    ownCheckpoints.groupCheckpointPoints = 1;
    ownCheckpoints.groupCheckpointBytes = 1e9;
    using Path = engine::CountingEngine::CountPath;
    for (const auto* points : {&beyondTheDay, &withinTheDay}) {
        std::map<std::uint8_t, std::unique_ptr<References>> references;
        for (const Case& c : walk)
            if (!references.count(c.dayClasses)) {
                const auto chosen = pick(*points, c.dayClasses);
                references[c.dayClasses] = std::make_unique<References>(References{engine::ReferenceEngine(chosen),
                                                                                   engine::ReferenceEngine(chosen)});
            }
        const SamplesInMemory dated(*points, days);
        for (const engine::CountingEngine::Tuning& tuning : {engine::CountingEngine::Tuning{}, ownCheckpoints})
        for (Path path : {Path::cheapest, Path::incremental, Path::fromScratch, Path::checkpoints,
                          Path::checkpointsFollowing}) {
            SCOPED_TRACE("count path " + std::to_string(static_cast<int>(path)) +
                         (points == &withinTheDay ? ", times within the day" : ", times beyond the day") +
                         (tuning.groupCheckpointPoints == 1 ? ", every group's own checkpoints" : ""));
            engine::CountingEngine fast(dated, 2, {}, tuning);
            ASSERT_TRUE(fast.dated());
            fast.preferCountPath(path);
            for (const Case& c : walk) {
                References& own = *references[c.dayClasses];
                compareOne(fast, own.reference, own.counter, c);
                if (HasFatalFailure()) return;
                ControlSettings filters;
                filters.mode_mask = c.mask;
                filters.min_time = c.minTime;
                filters.max_time = c.maxTime;
                filters.day_classes = c.dayClasses;
                ASSERT_EQ(fast.cellCounts(filters), own.reference.cellCounts(filters)) << describe(c);
            }
        }
    }
}

}  // namespace

namespace {

// Groups large enough that a window is counted as the group's whole day less
// what lies outside it (small data sets never are): from scratch, on a mode
// toggle in either direction, and as a correction of the checkpoints.
TEST(CountingEngineAgainstReference, WholeDayCountsLessWhatLiesOutsideAgree) {
    std::mt19937 random(3);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<Datapoint> points;
    for (int i = 0; i < 1000000; ++i)
        points.emplace_back(unit(random), unit(random), i % 2 ? mode::WALK : mode::CAR, static_cast<std::int32_t>(random() % 86400));
    const Case walk[] = {
        {3, 1.0f, mode::WALK | mode::CAR, 0, 86400, false},
        {3, 1.0f, mode::WALK | mode::CAR, 3600, 86000, true},
        {3, 1.0f, mode::WALK, 3600, 86000, false},
        {3, 1.0f, mode::WALK | mode::CAR, 3600, 86000, false},
    };
    using Path = engine::CountingEngine::CountPath;
    engine::ReferenceEngine reference(points);
    engine::ReferenceEngine counter(points);
    for (Path path : {Path::cheapest, Path::incremental, Path::fromScratch, Path::checkpoints}) {
        SCOPED_TRACE("count path " + std::to_string(static_cast<int>(path)));
        engine::CountingEngine fast(points, 2);
        fast.preferCountPath(path);
        for (const Case& c : walk) {
            compareOne(fast, reference, counter, c);
            if (HasFatalFailure()) return;
        }
    }
}

}  // namespace

namespace {

// A source that sets its own cancel flag once the last chunk is handed over:
// a cancel heard only between chunks would then go unheard.
class CancelAfterReading final : public SampleSource {
public:
    explicit CancelAfterReading(const std::vector<Datapoint>& points) : points_(points) { cancel = &flag_; }
    std::size_t size() const override { return points_.size(); }
    const std::string& path() const override { return path_; }
    void forEachChunk(const Visit& visit) const override {
        SamplesInMemory::view(points_).forEachChunk(visit);
        flag_ = true;
    }

private:
    const std::vector<Datapoint>& points_;
    std::string path_ = "cancelled.bin";
    mutable std::atomic<bool> flag_{false};
};

}  // namespace

// A sample file is indexed a chunk at a time (more than two chunks here), on
// both indexing paths (every time within the day, and some beyond it): the
// grid agrees with the reference engine's, the counts per cell with the
// samples counted one by one, and the samples per mode and quarter hour with
// the file's.
TEST(CountingEngineFromFile, ChunkedIndexAgreesWithTheSamples) {
    for (const bool withinDay : {true, false}) {
        SCOPED_TRACE(withinDay ? "times within the day" : "times beyond the day");
        std::vector<Datapoint> points = adversarialPoints(21, 1800000);
        ASSERT_GT(points.size(), 2 * SampleSource::kChunkSamples);
        if (withinDay)
            for (Datapoint& point : points) point.time = std::clamp(point.time, 0, 86400);
        TempDir dir;
        const SampleFile file(dir.writeRecords("city.bin", points));
        engine::CountingEngine streamed(file, 2);
        engine::ReferenceEngine reference(points);
        engine::ReferenceEngine counter(points);
        for (const Case& c : {Case{5, 1.0f, 2047, 0, 86400, false}, Case{3, 1.0f, mode::WALK | mode::BUS | 4096, 3600, 7200, true}}) {
            compareOne(streamed, reference, counter, c);
            ControlSettings filters;
            filters.mode_mask = c.mask;
            filters.min_time = c.minTime;
            filters.max_time = c.maxTime;
            EXPECT_EQ(streamed.cellCounts(filters), counter.cellCounts(filters)) << describe(c);
        }
        SampleTally expected;
        expected.add(points.data(), points.size());
        EXPECT_EQ(streamed.tally().counts, expected.counts);
        EXPECT_EQ(streamed.tally().bins, expected.bins);
        EXPECT_EQ(streamed.tally().otherModes, expected.otherModes);
        EXPECT_EQ(streamed.tally().total, expected.total);
    }
}

// A file's days column read beside its records a chunk at a time: each
// sample keeps its own day class across the chunks' edges (a day read at
// the wrong offset files samples under another weekday), in the index and
// in the tally of each class, on both indexing paths.
TEST(CountingEngineFromFile, DatedFileKeepsEachSamplesDayClass) {
    std::vector<Datapoint> points = adversarialPoints(25, 1800000);
    ASSERT_GT(points.size(), 2 * SampleSource::kChunkSamples);
    std::vector<std::int32_t> days(points.size());
    for (std::size_t i = 0; i < days.size(); ++i)
        days[i] = i % 11 == 0 ? kUnknownDay : dayNumber(2024, 1, 1) + static_cast<std::int32_t>((i * 7919) % 300);
    for (const bool withinDay : {true, false}) {
        SCOPED_TRACE(withinDay ? "times within the day" : "times beyond the day");
        if (withinDay)
            for (Datapoint& point : points) point.time = std::clamp(point.time, 0, 86400);
        TempDir dir;
        const std::string path = dir.writeRecords("city.bin", points);
        dir.writeRecords("city.bin.days", days);
        const SampleFile file(path);
        engine::CountingEngine streamed(file, 2);
        for (const std::uint8_t classes : {std::uint8_t{0x01}, std::uint8_t{0x60}, std::uint8_t{0x80}}) {
            std::vector<Datapoint> chosen;
            for (std::size_t i = 0; i < points.size(); ++i)
                if ((classes >> dayClassOf(days[i])) & 1) chosen.push_back(points[i]);
            engine::ReferenceEngine counter(chosen);
            ControlSettings filters;
            filters.mode_mask = 2047 | 4096;
            filters.day_classes = classes;
            EXPECT_EQ(streamed.cellCounts(filters), counter.cellCounts(filters)) << "day classes " << int{classes};
            // The hour histogram and mode counts of those days, as the viewer shows them.
            SampleTally expected;
            expected.add(chosen.data(), chosen.size());
            EXPECT_EQ(streamed.tally(classes).bins, expected.bins) << "day classes " << int{classes};
            EXPECT_EQ(streamed.tally(classes).otherModes, expected.otherModes) << "day classes " << int{classes};
        }
    }
}

// A cancel that comes while the read samples are sorted, or the counts of the
// day built, stops the indexing too.
TEST(CountingEngineFromFile, CancelAfterTheReadStopsTheIndexing) {
    const std::vector<Datapoint> points = adversarialPoints(22, 300000);
    const CancelAfterReading source(points);
    EXPECT_THROW(engine::CountingEngine(source, 2), LoadCancelled);
}

namespace {

// A file rewritten while it is indexed: the reads before `changeAt` see
// `before`, the later ones `after`.
class RewrittenWhileRead final : public SampleSource {
public:
    RewrittenWhileRead(std::vector<Datapoint> before, std::vector<Datapoint> after, int changeAt)
        : before_(std::move(before)), after_(std::move(after)), changeAt_(changeAt) {}
    std::size_t size() const override { return before_.size(); }
    const std::string& path() const override { return path_; }
    void forEachChunk(const Visit& visit) const override {
        SamplesInMemory::view(reads_++ < changeAt_ ? before_ : after_).forEachChunk(visit);
    }

private:
    std::vector<Datapoint> before_;
    std::vector<Datapoint> after_;
    int changeAt_;
    std::string path_ = "rewritten.bin";
    mutable int reads_ = 0;
};

}  // namespace

// Times beyond the day are indexed in three more reads after the first
// (sizes, bucket counts, scatter), each leaning on what the ones before
// counted. A file that
// changes between them is one line, never a write past the places laid out
// (the sanitizer build would catch one) nor a place left without a cell.
TEST(CountingEngineFromFile, AFileRewrittenBetweenReadsIsRefused) {
    std::vector<Datapoint> before(5000);
    for (int i = 0; i < 5000; ++i) before[i] = Datapoint(0.5f, 0.25f, mode::WALK, 100000 + i % 10);
    const auto rewritten = [](std::vector<Datapoint> points, auto change) {
        for (std::size_t i = 0; i < points.size(); ++i) change(points[i], i);
        return points;
    };
    const auto later = [](Datapoint& p, std::size_t) { p.time = 2000000000; };
    const auto otherMode = [](Datapoint& p, std::size_t) { p.mode = mode::BUS; };
    const auto farAway = [](Datapoint& p, std::size_t i) {
        if (i % 2) p.x = 7.0f;
    };
    const std::vector<Datapoint> halfFar = rewritten(before, farAway);
    const struct {
        std::vector<Datapoint> before;
        std::vector<Datapoint> after;
        int changeAt;
    } cases[] = {
        {before, rewritten(before, later), 2},      // past the times first seen
        {before, rewritten(before, otherMode), 2},  // into a group first empty
        {before, halfFar, 2},                       // fewer counted than first seen
        {before, rewritten(before, later), 3},
        {before, halfFar, 3},                       // places left without a cell
        {halfFar, before, 3},                       // more points than a bucket's places
    };
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        SCOPED_TRACE(k);
        const RewrittenWhileRead source(cases[k].before, cases[k].after, cases[k].changeAt);
        try {
            engine::CountingEngine engine(source, 2);
            ADD_FAILURE() << "a file that changed while it was read was indexed";
        } catch (const DataFileError& error) {
            EXPECT_EQ(std::string(error.what()), "\"rewritten.bin\": changed while it was read");
        }
    }
}
