// A summary open in the viewer: the window on its steps, the hour histogram
// from steps longer than a quarter hour, Per day over the days it holds,
// and the background load of a good, a cut and a damaged summary.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "app/DayPlayback.h"
#include "app/ReadoutText.h"
#include "app/DataLoading.h"
#include "engine/HeatmapEngine.h"
#include "model/SampleDays.h"
#include "model/SampleTally.h"
#include "model/Summary.h"
#include "tests/TempDir.h"

namespace {

// The window the panel shows must be the steps the summary engine counts:
// the start floored to its step, the end raised to its step's last second
// (not to the next step's first, which would take one step more), the
// day's end kept.
TEST(SummaryView, WindowSnapsToTheStepsTheEngineCounts) {
    struct Case {
        std::int32_t step, min, max, wantMin, wantMax;
    } cases[] = {
        {900, 0, 86400, 0, 86400},          // the whole day stays
        {900, 100, 1000, 0, 1799},          // both ends inside steps
        {900, 900, 1799, 900, 1799},        // already on edges
        {900, 900, 1800, 900, 2699},        // an end on the next step's first second takes that step
        {3600, 3599, 3600, 0, 7199},
        {1800, 7200, 7200, 7200, 8999},     // a single second is its step
        {60, 86399, 86399, 86340, 86399},   // the day's last step
    };
    for (const Case& c : cases) {
        const analysis::TimeWindow w = analysis::snapToSteps({c.min, c.max}, c.step);
        EXPECT_EQ(w.min, c.wantMin) << c.step << " s steps, " << c.min << ".." << c.max;
        EXPECT_EQ(w.max, c.wantMax) << c.step << " s steps, " << c.min << ".." << c.max;
    }
}

// A step longer (or off the grid) of the quarter hours is spread over the
// quarter hours it covers by their seconds; the shares are whole and add up
// to the step's count, even for counts whose products with the seconds
// would pass 64 bits. Putting a step in its first quarter hour, or losing
// the remainders, fails.
TEST(SummaryView, StepCountsSpreadOverTheQuarterHoursTheyCover) {
    struct Case {
        std::int32_t start, seconds;
        std::int64_t n;
        std::vector<std::int64_t> bins;  // from start / 900
    } cases[] = {
        {0, 3600, 10, {2, 3, 2, 3}},
        {1800, 1800, 7, {3, 4}},
        {600, 600, 5, {2, 3}},  // a 10-minute step across a quarter-hour edge
        {900, 900, 9, {9}},
        {82800, 3600, 9'000'000'000'000'000'000, {2'250'000'000'000'000'000, 2'250'000'000'000'000'000,
                                                  2'250'000'000'000'000'000, 2'250'000'000'000'000'000}},
    };
    for (const Case& c : cases) {
        SampleTally tally;
        tally.addSpread(3, c.start, c.seconds, c.n);
        EXPECT_EQ(tally.counts[3], c.n);
        std::int64_t sum = 0;
        for (int b = 0; b < SampleTally::kBins; ++b) {
            const int k = b - c.start / 900;
            const std::int64_t want = k >= 0 && k < static_cast<int>(c.bins.size()) ? c.bins[static_cast<std::size_t>(k)] : 0;
            EXPECT_EQ(tally.bins[3][static_cast<std::size_t>(b)], want) << "start " << c.start << ", bin " << b;
            sum += tally.bins[3][static_cast<std::size_t>(b)];
        }
        EXPECT_EQ(sum, c.n) << "start " << c.start;
    }
}

constexpr std::int32_t kMonday = dayNumber(2024, 1, 1);
constexpr std::int32_t kSaturday = dayNumber(2024, 1, 6);

// Per day divides by the summary's days that pass the weekdays, not by the
// calendar span between its first and last.
TEST(SummaryView, PerDayCountsTheDaysTheSummaryHoldsOnTheChosenWeekdays) {
    const std::vector<std::int32_t> days{kMonday, kSaturday, kSaturday + 7};
    struct Case {
        std::uint8_t weekdays;
        std::int64_t days;
    } cases[] = {{0x7f, 3}, {0x01, 1}, {0x60, 2}, {0x40, 0}};
    for (const Case& c : cases) {
        DayFilter chosen;
        chosen.weekdays = c.weekdays;
        const analysis::PerDay perDay = analysis::perDayOfDays(true, chosen, days);
        EXPECT_EQ(perDay.days, c.days) << "weekdays " << int{c.weekdays};
        if (c.days == 0) {
            EXPECT_EQ(perDay.text, "the selection covers no day of the data");
        }
    }
    EXPECT_EQ(analysis::perDayOfDays(false, DayFilter{}, days).days, 0);
}

// A dated summary in hour steps: 10 walks on a Monday at 08:00 and 7 on a
// Saturday at 08:00, in two cells.
Summary hourSummary() {
    Summary s;
    s.stepSeconds = 3600;
    s.dated = true;
    s.days = {kMonday, kSaturday};
    const std::uint32_t cells[] = {Summary::kCountSide * 500 + 500, Summary::kCountSide * 520 + 510};
    const std::uint64_t monday[] = {4, 6};
    const std::uint64_t saturday[] = {7};
    s.appendBlock(s.blockOf(dayClassOf(kMonday), 1, 8), cells, monday, 2);
    s.appendBlock(s.blockOf(dayClassOf(kSaturday), 1, 8), cells, saturday, 1);
    s.totals.samples = s.totals.counted = 17;
    return s;
}

void noStage(const std::string&, float) {}

// The load hands over the step, the 64-bit sample count and the days, its
// tally spread over 08:00-09:00, and an engine that takes the weekdays as
// day classes; a cut or damaged summary fails in one line naming the file.
TEST(SummaryView, LoadsASummaryAndRefusesACutOrDamagedOneNamingIt) {
    TempDir dir;
    const std::string bytes = encodeSummary(hourSummary());
    const std::string good = dir.write("good.tsum", bytes);
    LoadedData loaded = loadData(good, 5, noStage);
    ASSERT_TRUE(loaded.ok()) << loaded.error;
    EXPECT_EQ(loaded.stepSeconds, 3600);
    EXPECT_EQ(loaded.summarySamples, 17);
    EXPECT_EQ(loaded.summaryDays, (std::vector<std::int32_t>{kMonday, kSaturday}));
    EXPECT_EQ(loaded.dataset->firstDay, kMonday);
    EXPECT_EQ(loaded.summary.counts[1], 17);
    // Monday's 10 as 2, 3, 2, 3 and Saturday's 7 as 1, 2, 2, 2 over 08:00-09:00.
    const std::int64_t quarters[] = {3, 5, 4, 5};
    for (int q = 0; q < 4; ++q)
        EXPECT_EQ(loaded.summary.bins[1][static_cast<std::size_t>(32 + q)], quarters[q]) << "quarter " << q;
    ControlSettings settings;
    HeatmapEngine::install(std::move(loaded.engine), settings);
    EXPECT_TRUE(HeatmapEngine::filtersDayClasses());
    const auto monday = HeatmapEngine::dayClassTally(std::uint8_t{1} << dayClassOf(kMonday));
    ASSERT_TRUE(monday.has_value());
    EXPECT_EQ(monday->counts[1], 10);
    HeatmapEngine::release();

    struct Broken {
        const char* name;
        std::string bytes;
        const char* reason;
    } broken[] = {
        {"cut.tsum", bytes.substr(0, bytes.size() - 5), "truncated"},
        {"damaged.tsum", bytes.substr(0, 100) + char(bytes[100] ^ 0x10) + bytes.substr(101), "corrupt"},
    };
    for (const Broken& b : broken) {
        const std::string path = dir.write(b.name, b.bytes);
        const LoadedData failed = loadData(path, 5, noStage);
        EXPECT_FALSE(failed.ok()) << b.name;
        EXPECT_NE(failed.error.find(path), std::string::npos) << failed.error;
        EXPECT_NE(failed.error.find(b.reason), std::string::npos) << failed.error;
        EXPECT_EQ(failed.error.find('\n'), std::string::npos) << failed.error;
        EXPECT_FALSE(failed.dataset) << b.name;
        EXPECT_FALSE(failed.engine) << b.name;
    }
}

}  // namespace
