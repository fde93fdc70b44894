// The viewer's background load of a track file: progress while it is read,
// and a cancel (a new Open, closing the window) heard while it is read.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/DataLoading.h"
#include "app/ReadoutText.h"
#include "engine/HeatmapEngine.h"
#include "model/TrackFiles.h"
#include "tests/TempDir.h"

namespace {

// A phone's recording of `points` fixes inside the box, about 110 bytes each.
std::string trackGpx(int points) {
    std::string gpx =
        "<?xml version=\"1.0\"?>\n<gpx version=\"1.1\" creator=\"test\" "
        "xmlns=\"http://www.topografix.com/GPX/1/1\"><trk><trkseg>\n";
    for (int i = 0; i < points; ++i) {
        const int second = i % 86400;
        char line[160];
        std::snprintf(line, sizeof line,
                      "<trkpt lat=\"39.%04d\" lon=\"116.%04d\"><time>2009-06-01T%02d:%02d:%02dZ</time></trkpt>\n",
                      8000 + i % 1000, 2000 + i % 3000, second / 3600, second / 60 % 60, second % 60);
        gpx += line;
    }
    return gpx + "</trkseg></trk></gpx>\n";
}

struct Stage {
    std::string text;
    float progress;
};

TEST(DataLoader, TrackFileReadReportsItsBytesAsProgress) {
    TempDir dir;
    const std::string path = dir.write("walk.gpx", trackGpx(20000));  // about 35 chunks of the reader
    std::vector<Stage> stages;
    const LoadedData loaded =
        loadData(path, 5, [&](const std::string& text, float progress) { stages.push_back({text, progress}); });
    ASSERT_TRUE(loaded.ok()) << loaded.error;
    ASSERT_EQ(loaded.dataset->count, 20000);

    // Reading steps between the start and the end of the read share, in order.
    std::vector<float> reading;
    for (const Stage& stage : stages)
        if (stage.text.starts_with("reading, ")) reading.push_back(stage.progress);
    ASSERT_GE(reading.size(), 10u);
    EXPECT_GT(reading[reading.size() / 2], 0.0f);
    for (std::size_t i = 1; i < reading.size(); ++i) EXPECT_GE(reading[i], reading[i - 1]);
    EXPECT_GT(reading.back(), 0.5f);
    EXPECT_LE(reading.back(), 0.6f);
}

TEST(DataLoader, CancelIsHeardWithinOneChunkOfTheRead) {
    TempDir dir;
    const std::string path = dir.write("walk.gpx", trackGpx(20000));
    std::atomic<bool> cancel{false};
    int readingAfterCancel = 0;
    const LoadedData loaded = loadData(
        path, 5,
        [&](const std::string& text, float) {
            if (!text.starts_with("reading, ")) return;
            if (cancel) ++readingAfterCancel;
            cancel = true;  // at the first chunk
        },
        &cancel);
    EXPECT_EQ(loaded.error, "Loading \"" + path + "\" was cancelled");
    EXPECT_FALSE(loaded.dataset);
    EXPECT_FALSE(loaded.engine);
    EXPECT_EQ(readingAfterCancel, 0);
}

// Not a timing: a read of this size takes far longer than the calls right
// after start, so the cancel lands while it runs.
TEST(DataLoader, OpenWhileLoadingReplacesTheLoadAndStopCancelsIt) {
    TempDir dir;
    const std::string large = dir.write("large.gpx", trackGpx(200000));
    const std::string small = dir.write("small.gpx", trackGpx(3));

    DataLoader loader;
    loader.start(large, 5);
    loader.start(small, 5);  // not refused: the large one is cancelled
    EXPECT_EQ(loader.status().path, small);
    loader.wait();
    std::optional<LoadedData> loaded = loader.take();
    ASSERT_TRUE(loaded);
    ASSERT_TRUE(loaded->ok()) << loaded->error;
    EXPECT_EQ(loaded->path, small);
    EXPECT_EQ(loaded->dataset->count, 3);
    EXPECT_FALSE(loader.take());  // only the newest load is handed over

    loader.start(large, 5);
    loader.stop();
    loaded = loader.take();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->error, "Loading \"" + large + "\" was cancelled");
    EXPECT_FALSE(loaded->dataset);
}

// A load that finished before stop (the cancel came too late to be heard)
// is released by stop, engine and all, and not kept until the loader is
// destroyed at exit, when a GPU engine could no longer be freed.
TEST(DataLoader, StopReleasesALoadThatFinishedBeforeTheCancel) {
    TempDir dir;
    const std::string path = dir.write("small.gpx", trackGpx(3));
    DataLoader loader;
    loader.start(path, 5);
    loader.wait();  // finished, not taken
    loader.stop();
    const std::optional<LoadedData> loaded = loader.take();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->error, "Loading \"" + path + "\" was cancelled");
    EXPECT_FALSE(loaded->dataset);
    EXPECT_FALSE(loaded->engine);
}

// A raw tree's and a track file's UTC times get the offset typed in the
// Data window; a sample file's were shifted when it was imported and stay.
TEST(DataLoader, UtcOffsetAppliesToRawTreesAndTrackFilesOnly) {
    TempDir dir;
    dir.write("tree/walk.gpx", trackGpx(2));  // 00:00:00 and 00:00:01 UTC
    struct Case {
        std::string path;
        std::optional<std::int32_t> applied;
    };
    const Case cases[] = {
        {dir.write("walk.gpx", trackGpx(2)), -19800},
        {(dir.root() / "tree").string(), -19800},
        {dir.writeRecords("samples.bin", std::vector<Datapoint>{{0.5f, 0.5f, mode::WALK, 0}, {0.5f, 0.5f, mode::WALK, 1}}),
         std::nullopt},
    };
    for (const Case& c : cases) {
        const LoadedData loaded = loadData(c.path, 5, [](const std::string&, float) {}, nullptr, -19800);
        ASSERT_TRUE(loaded.ok()) << loaded.error;
        EXPECT_EQ(loaded.utcOffsetSeconds, c.applied) << c.path;
        ASSERT_EQ(loaded.dataset->count, 2) << c.path;
        const std::int32_t first = c.applied ? 86400 - 19800 : 0;
        // Both samples in the quarter hour of the shifted (or kept) time.
        std::int64_t inBin = 0;
        for (const auto& mode : loaded.summary.bins) inBin += mode[static_cast<std::size_t>(first / 900)];
        EXPECT_EQ(inBin, 2) << c.path;
    }
}

// The offset is read as trackora-import reads --utc-offset, and named
// beside the clock the way zones are written.
TEST(DataLoader, UtcOffsetTextReadAndShown) {
    struct Case {
        const char* typed;
        std::optional<std::int32_t> seconds;
        const char* shown;
    };
    const Case cases[] = {
        {"8", 28800, "UTC+8"},        {"+8", 28800, "UTC+8"},         {"-5.5", -19800, "UTC-5:30"},
        {"5.75", 20700, "UTC+5:45"},  {"0", 0, "UTC"},                {"-0.25", -900, "UTC-0:15"},
        {"24", 86400, "UTC+24"},      {"0.0001", 0, "UTC"},           {"1.001", 3604, "UTC+1:00:04"},
        {"", std::nullopt, ""},       {"+-8", std::nullopt, ""},      {"8h", std::nullopt, ""},
        {"24.5", std::nullopt, ""},   {"nan", std::nullopt, ""},      {"+", std::nullopt, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseUtcOffset(c.typed), c.seconds) << c.typed;
        if (c.seconds) {
            EXPECT_EQ(formatUtcOffset(*c.seconds), c.shown) << c.typed;
        }
    }
}

}  // namespace

// The Data window's dates: the first and last date of the samples, from a
// binary file's days column (noted in the pass that indexes it) or from
// the recordings' own dates; none for samples without dates.
TEST(DataLoader, LoadsKnowTheSpanOfTheirDates) {
    TempDir dir;
    const std::vector<Datapoint> records(3, Datapoint(0.5f, 0.5f, mode::WALK, 100));
    const std::string dated = dir.writeRecords("dated.bin", records);
    dir.writeRecords("dated.bin.days", std::vector<std::int32_t>{14000, kUnknownDay, 13990});
    const std::string undated = dir.writeRecords("undated.bin", records);
    dir.write("tree/000/Trajectory/a.plt", "h\nh\nh\nh\nh\nh\n39.9,116.3,0,0,0,2008-10-23,10:00:00\n"
                                           "39.9,116.3,0,0,0,2008-10-21,23:30:00\n");
    const struct {
        std::string path;
        std::int32_t offset;
        std::int32_t first, last;
    } cases[] = {
        {dated, 0, 13990, 14000},
        {undated, 0, kUnknownDay, kUnknownDay},
        {(dir.root() / "tree").string(), 0, dayNumber(2008, 10, 21), dayNumber(2008, 10, 23)},
        // An hour east, 23:30 UTC is the next day.
        {(dir.root() / "tree").string(), 3600, dayNumber(2008, 10, 22), dayNumber(2008, 10, 23)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const LoadedData loaded = loadData(c.path, 5, [](const std::string&, float) {}, nullptr, c.offset);
        ASSERT_TRUE(loaded.ok()) << loaded.error;
        EXPECT_EQ(loaded.dataset->firstDay, c.first);
        EXPECT_EQ(loaded.dataset->lastDay, c.last);
    }
    EXPECT_EQ(dateSpanText(13990, 14000), "2008-04-21 to 2008-05-01");
    EXPECT_EQ(dateSpanText(kUnknownDay, kUnknownDay), "none kept");
}

// Chosen days index only their samples, from a sample file's days column
// or a tree's own dates, while the span of dates stays the whole data's;
// samples without dates fail such a load, saying why.
TEST(DataLoader, ChosenDaysIndexOnlyTheirSamples) {
    TempDir dir;
    // Saturday 2008-03-01, Sunday, Monday, and one without a date.
    const std::vector<Datapoint> records(4, Datapoint(0.5f, 0.5f, mode::WALK, 100));
    const std::int32_t saturday = dayNumber(2008, 3, 1);
    const std::string dated = dir.writeRecords("dated.bin", records);
    dir.writeRecords("dated.bin.days", std::vector<std::int32_t>{saturday, saturday + 1, saturday + 2, kUnknownDay});
    dir.write("tree/000/Trajectory/a.plt", "h\nh\nh\nh\nh\nh\n39.9,116.3,0,0,0,2008-03-01,10:00:00\n"
                                           "39.9,116.3,0,0,0,2008-03-03,10:00:00\n");
    const std::string undated = dir.writeRecords("undated.bin", records);
    const struct {
        std::string path;
        DayFilter days;
        std::int32_t count;  // -1: the load fails
    } cases[] = {
        {dated, DayFilter{0x60, DayFilter{}.first, DayFilter{}.last}, 2},
        {dated, DayFilter{0x7f, saturday + 2, saturday + 9}, 1},
        {dated, DayFilter{0x01, saturday, saturday + 1}, 0},
        {(dir.root() / "tree").string(), DayFilter{0x01, DayFilter{}.first, DayFilter{}.last}, 1},
        {undated, DayFilter{0x60, DayFilter{}.first, DayFilter{}.last}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.days.weekdays));
        const LoadedData loaded =
            loadData(c.path, 5, [](const std::string&, float) {}, nullptr, 0, {}, FrameRequest{}, c.days);
        if (c.count < 0) {
            EXPECT_FALSE(loaded.ok());
            EXPECT_NE(loaded.error.find("has no dates"), std::string::npos) << loaded.error;
            continue;
        }
        ASSERT_TRUE(loaded.ok()) << loaded.error;
        EXPECT_EQ(loaded.dataset->count, c.count);
        if (c.count == 0) {
            EXPECT_EQ(loaded.noSamplesReason, "none of its samples lies on the chosen days");
        }
        EXPECT_EQ(loaded.dataset->firstDay, saturday);
        EXPECT_EQ(loaded.dataset->lastDay, saturday + 2);
    }
}

// Weekdays on the CPU engine are its day classes, not a filter of what it
// indexes: the index holds every weekday of the date range, so a later
// toggle within that range needs no new index, while the count says what
// the weekdays choose. Without the engine's day classes (the reference
// engine) the weekdays are indexed as the range is.
TEST(DataLoader, WeekdaysAreLeftToAnEngineThatFilesSamplesByWeekday) {
    TempDir dir;
    // Saturday 2008-03-01, Sunday, Monday, and the Saturday after.
    const std::int32_t saturday = dayNumber(2008, 3, 1);
    const std::string dated =
        dir.writeRecords("dated.bin", std::vector<Datapoint>(4, Datapoint(0.5f, 0.5f, mode::WALK, 100)));
    dir.writeRecords("dated.bin.days", std::vector<std::int32_t>{saturday, saturday + 1, saturday + 2, saturday + 7});
    const DayFilter mondays{0x01, saturday, saturday + 6};
    const struct {
        const char* engine;
        std::int64_t indexed;  // the samples the engine's tally holds
    } cases[] = {{"cpu", 3}, {"reference", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.engine);
        ::setenv("TRACKORA_ENGINE", c.engine, 1);
        const LoadedData loaded =
            loadData(dated, 5, [](const std::string&, float) {}, nullptr, 0, {}, FrameRequest{}, mondays);
        ::unsetenv("TRACKORA_ENGINE");
        ASSERT_TRUE(loaded.ok()) << loaded.error;
        EXPECT_EQ(loaded.dataset->count, 1);
        EXPECT_EQ(HeatmapEngine::preparedTally(*loaded.engine).total, c.indexed);
        EXPECT_EQ(HeatmapEngine::preparedFiltersDayClasses(*loaded.engine), c.indexed == 3);
    }
}

// The samples per date come from the dates the load read: a sample file's
// days column or a tree's own dates, unknown dates counted apart, whatever
// days are chosen (the histogram shows the whole data).
TEST(DataLoader, LoadsCountTheirSamplesPerDay) {
    TempDir dir;
    const std::vector<Datapoint> records(5, Datapoint(0.5f, 0.5f, mode::WALK, 100));
    const std::int32_t saturday = dayNumber(2008, 3, 1);
    const std::string dated = dir.writeRecords("dated.bin", records);
    dir.writeRecords("dated.bin.days",
                     std::vector<std::int32_t>{saturday + 3, kUnknownDay, saturday, saturday + 3, saturday});
    const std::string undated = dir.writeRecords("undated.bin", records);
    dir.write("tree/000/Trajectory/a.plt", "h\nh\nh\nh\nh\nh\n39.9,116.3,0,0,0,2008-03-03,10:00:00\n"
                                           "39.9,116.3,0,0,0,2008-03-01,10:00:00\n"
                                           "39.9,116.3,0,0,0,2008-03-03,11:00:00\n");
    const DayFilter sundays{0x40, DayFilter{}.first, DayFilter{}.last};
    const struct {
        std::string path;
        DayFilter days;
        std::int32_t first;
        std::vector<std::int64_t> perDay;
        std::int64_t undated;
    } cases[] = {
        {dated, DayFilter{}, saturday, {2, 0, 0, 2}, 1},
        // Chosen days index a pass of their own over the same column: still counted once.
        {dated, sundays, saturday, {2, 0, 0, 2}, 1},
        {undated, DayFilter{}, kUnknownDay, {}, 5},
        {(dir.root() / "tree").string(), DayFilter{}, saturday, {1, 0, 2}, 0},
        {(dir.root() / "tree").string(), sundays, saturday, {1, 0, 2}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.days.weekdays));
        const LoadedData loaded =
            loadData(c.path, 5, [](const std::string&, float) {}, nullptr, 0, {}, FrameRequest{}, c.days);
        ASSERT_TRUE(loaded.ok()) << loaded.error;
        EXPECT_EQ(loaded.dayCounts.firstDay, c.first);
        EXPECT_EQ(loaded.dayCounts.perDay, c.perDay);
        EXPECT_EQ(loaded.dayCounts.undated, c.undated);
    }
}

// "Per day" divides by the calendar days of the indexed selection: its dates
// clipped to the data's first and last, on its weekdays; a selection that
// covers no day of the data divides nothing and says so.
TEST(DataLoader, PerDayCountsTheDaysTheIndexedSelectionCovers) {
    TempDir dir;
    // Saturday 2008-03-01 to Monday 2008-03-10.
    const std::int32_t saturday = dayNumber(2008, 3, 1);
    const std::string dated =
        dir.writeRecords("dated.bin", std::vector<Datapoint>(3, Datapoint(0.5f, 0.5f, mode::WALK, 100)));
    dir.writeRecords("dated.bin.days", std::vector<std::int32_t>{saturday, saturday + 9, saturday + 4});
    const std::int32_t open = DayFilter{}.first, end = DayFilter{}.last;
    const struct {
        bool wanted;
        DayFilter days;
        std::int64_t divisor;
        std::string text;
    } cases[] = {
        // February to March: clipped to March 1-10, whose weekend days are the 1st, 2nd, 8th and 9th.
        {true, DayFilter{0x60, dayNumber(2008, 2, 1), dayNumber(2008, 3, 31)}, 4, "over 4 days"},
        {true, DayFilter{0x7f, open, end}, 10, "over 10 days"},
        {true, DayFilter{0x01, saturday + 2, saturday + 8}, 1, "over 1 day"},
        {true, DayFilter{0x7f, dayNumber(2009, 1, 1), end}, 0, "the selection covers no day of the data"},
        {false, DayFilter{0x7f, open, end}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const LoadedData loaded =
            loadData(dated, 5, [](const std::string&, float) {}, nullptr, 0, {}, FrameRequest{}, c.days);
        ASSERT_TRUE(loaded.ok()) << loaded.error;
        const analysis::PerDay perDay =
            analysis::perDayFor(c.wanted, loaded.days, loaded.dataset->firstDay, loaded.dataset->lastDay);
        EXPECT_EQ(perDay.days, c.divisor);
        EXPECT_EQ(perDay.text, c.text);
    }
    const std::string undated =
        dir.writeRecords("undated.bin", std::vector<Datapoint>(3, Datapoint(0.5f, 0.5f, mode::WALK, 100)));
    const LoadedData loaded = loadData(undated, 5, [](const std::string&, float) {});
    ASSERT_TRUE(loaded.ok()) << loaded.error;
    EXPECT_EQ(analysis::perDayFor(true, loaded.days, loaded.dataset->firstDay, loaded.dataset->lastDay).days, 0);
}
