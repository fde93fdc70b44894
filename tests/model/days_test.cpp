// Sample dates: the calendar, the filters, the loaders' dates in the stored
// clock, the days column beside a sample file and the source that filters by it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "model/SampleDays.h"
#include "model/SampleSource.h"
#include "model/TrajectoryLoader.h"
#include "tests/TempDir.h"

namespace {

std::int32_t chronoDay(int y, unsigned m, unsigned d) {
    return static_cast<std::int32_t>(
        std::chrono::sys_days(std::chrono::year(y) / std::chrono::month(m) / std::chrono::day(d))
            .time_since_epoch()
            .count());
}

const std::string kHeader = "Geolife trajectory\nWGS 84\nAltitude is in Feet\nReserved 3\n0,2,255,My Track,0,0,2,0,0,0,0\n0\n";

}  // namespace

// The calendar arithmetic against the standard library's, over centuries
// either side of 1970, leap days and negative day numbers included.
TEST(SampleDays, CalendarAgreesWithChrono) {
    for (std::int32_t day = -800000; day <= 800000; day += 37) {
        const std::chrono::year_month_day ymd{std::chrono::sys_days{std::chrono::days{day}}};
        const CivilDate date = civilDate(day);
        ASSERT_EQ(date.year, static_cast<int>(ymd.year())) << day;
        ASSERT_EQ(date.month, static_cast<int>(static_cast<unsigned>(ymd.month()))) << day;
        ASSERT_EQ(date.day, static_cast<int>(static_cast<unsigned>(ymd.day()))) << day;
        ASSERT_EQ(dayNumber(date.year, date.month, date.day), day);
        const unsigned iso = std::chrono::weekday{std::chrono::sys_days{std::chrono::days{day}}}.iso_encoding();
        ASSERT_EQ(weekdayOf(day), static_cast<int>(iso) - 1) << day;
    }
}

TEST(SampleDays, ParsesDatesAndWeekdays) {
    struct DateCase {
        const char* text;
        std::int32_t day;  // kUnknownDay: refused
    };
    for (const DateCase& c : std::vector<DateCase>{{"2008-02-29", chronoDay(2008, 2, 29)},
                                                   {"1970-01-01", 0},
                                                   {"1969-12-31", -1},
                                                   {"2000-02-29", chronoDay(2000, 2, 29)},
                                                   {"2009-02-29", kUnknownDay},
                                                   {"1900-02-29", kUnknownDay},
                                                   {"2008-04-31", kUnknownDay},
                                                   {"2008-13-01", kUnknownDay},
                                                   {"2008-00-10", kUnknownDay},
                                                   {"2008-1-01", kUnknownDay},
                                                   {"20080101", kUnknownDay},
                                                   {"2008-01-01 ", kUnknownDay},
                                                   {"2008/01/01", kUnknownDay}}) {
        const auto day = parseDay(c.text);
        EXPECT_EQ(day.value_or(kUnknownDay), c.day) << c.text;
        if (day) {
            EXPECT_EQ(formatDay(*day), c.text);
        }
    }
    struct WeekCase {
        const char* text;
        int bits;  // -1: refused
    };
    for (const WeekCase& c : std::vector<WeekCase>{{"mon-fri", 0x1f},
                                                   {"sat,sun", 0x60},
                                                   {"weekend", 0x60},
                                                   {"weekdays", 0x1f},
                                                   {"fri-mon", 0x71},
                                                   {"tue", 0x02},
                                                   {"mon,wed-thu", 0x0d},
                                                   {"all", 0x7f},
                                                   {"", -1},
                                                   {"mon,", -1},
                                                   {"Mon", -1},
                                                   {"monday", -1},
                                                   {"mon-", -1}}) {
        const auto bits = parseWeekdays(c.text);
        EXPECT_EQ(bits ? int{*bits} : -1, c.bits) << c.text;
    }
}

// The days a selection covers, against a count day by day.
TEST(SampleDays, DaysCoveredCountsEachPassingDay) {
    const std::int32_t first = chronoDay(2007, 12, 20), last = chronoDay(2009, 1, 10);
    for (const std::uint8_t weekdays : {std::uint8_t{0x7f}, std::uint8_t{0x60}, std::uint8_t{0x1f}, std::uint8_t{0x01},
                                        std::uint8_t{0}})
        for (const auto& [from, to] : std::vector<std::pair<std::int32_t, std::int32_t>>{
                 {chronoDay(2008, 1, 1), chronoDay(2008, 12, 31)},
                 {chronoDay(2000, 1, 1), chronoDay(2020, 1, 1)},
                 {chronoDay(2008, 3, 5), chronoDay(2008, 3, 5)},
                 {chronoDay(2010, 1, 1), chronoDay(2010, 2, 1)}}) {
            const DayFilter filter{weekdays, from, to};
            std::int64_t expected = 0;
            for (std::int32_t day = first; day <= last; ++day) expected += filter.passes(day);
            EXPECT_EQ(daysCovered(filter, first, last), expected) << int{weekdays} << " " << from << ".." << to;
        }
}

// Every reader dates its fixes in the clock their time of day is stored
// in: a fix near midnight UTC moves to the next or previous day with the
// offset or the zone, as its time of day does.
TEST(LoaderDays, EachInputDatesItsFixesInTheStoredClock) {
    TempDir dir;
    struct Case {
        std::string name, content;
        std::int32_t offset;
        std::string zone;
        std::vector<std::int32_t> days;
    };
    const std::string plt = kHeader + "39.9,116.3,0,492,39744.1,2008-10-23,02:53:04\n"
                                      "39.91,116.31,0,492,39744.1,2008-10-23,23:53:10\n";
    const std::string csv = "latitude,longitude,timestamp\n39.9,116.3,2008-10-23T02:53:04Z\n39.91,116.31,2008-10-23T23:53:10Z\n";
    const std::string gpx =
        "<?xml version=\"1.0\"?><gpx version=\"1.1\" creator=\"t\" xmlns=\"http://www.topografix.com/GPX/1/1\">"
        "<trk><trkseg><trkpt lat=\"39.9\" lon=\"116.3\"><time>2008-10-23T02:53:04Z</time></trkpt>"
        "<trkpt lat=\"39.91\" lon=\"116.31\"><time>2008-10-23T23:53:10+00:00</time></trkpt></trkseg></trk></gpx>";
    const std::int32_t d22 = chronoDay(2008, 10, 22), d23 = chronoDay(2008, 10, 23), d24 = chronoDay(2008, 10, 24);
    const std::vector<Case> cases = {
        {"a.plt", plt, 0, "", {d23, d23}},
        {"b.plt", plt, 8 * 3600, "", {d23, d24}},
        {"c.plt", plt, -5 * 3600, "", {d22, d23}},
        {"d.plt", plt, 0, "America/Los_Angeles", {d22, d23}},
        {"e.plt", plt, 0, "Asia/Shanghai", {d23, d24}},
        {"f.csv", csv, 8 * 3600, "", {d23, d24}},
        {"g.gpx", gpx, -5 * 3600, "", {d22, d23}},
        {"h.gpx", gpx, 0, "Asia/Shanghai", {d23, d24}},
        {"tree/000/Trajectory/i.plt", plt, 8 * 3600, "", {d23, d24}},
        // A text sample's date is in its file's clock; an offset moves it
        // with the time of day, a sample without one stays without.
        {"j.txt", "39.9 116.3 100 1 2008-10-23\n39.9 116.3 86000 1 2008-10-23\n39.9 116.3 100 1\n", 3600, "",
         {d23, d24, kUnknownDay}},
        {"k.txt", "39.9 116.3 100 1 2008-10-23\n", -3600, "", {d22}},
    };
    for (const Case& c : cases) {
        TrajectoryLoader loader;
        loader.tracks.utcOffsetSeconds = c.offset;
        if (!c.zone.empty()) loader.tracks.zone = gis::TimeZone::locate(c.zone);
        const std::string path = dir.write(c.name, c.content);
        const std::string input = c.name.starts_with("tree/") ? (dir.root() / "tree").string() : path;
        std::vector<std::int32_t> days;
        const auto points = loader.loadDated(input, -1, true, days);
        EXPECT_EQ(days, c.days) << c.name;
        EXPECT_EQ(points.size(), days.size()) << c.name;
        // The streamed load hands the same dates with its fixes.
        std::vector<std::int32_t> streamed;
        loader.loadDated(input, -1, true, [&](std::vector<Datapoint>& fixes, std::vector<std::int32_t>& dates) {
            ASSERT_EQ(fixes.size(), dates.size());
            streamed.insert(streamed.end(), dates.begin(), dates.end());
        });
        EXPECT_EQ(streamed, c.days) << c.name;
    }
}

// --visits folds the dates with their fixes: the dates kept are those of
// each visit's first fix.
TEST(LoaderDays, VisitsFoldDatesWithTheirFixes) {
    TempDir dir;
    const std::string path = dir.write("v.plt", kHeader + "39.9,116.3,0,0,0,2008-10-23,10:00:00\n"
                                                          "39.9,116.3,0,0,0,2008-10-24,10:00:00\n"
                                                          "39.95,116.35,0,0,0,2008-10-25,10:00:00\n");
    TrajectoryLoader loader;
    loader.tracks.visits = true;
    std::vector<std::int32_t> days;
    const auto points = loader.loadDated(path, -1, true, days);
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(days, (std::vector<std::int32_t>{chronoDay(2008, 10, 23), chronoDay(2008, 10, 25)}));
}

// The days column is one date per record; any other length is refused,
// naming the column, rather than pairing dates with the wrong records.
TEST(SampleFileDays, ColumnReadWithTheRecordsAndOtherLengthsRefused) {
    TempDir dir;
    const std::vector<Datapoint> records(3, Datapoint(0.5f, 0.5f, mode::WALK, 100));
    const std::string path = dir.writeRecords("s.bin", records);
    {
        SampleFile plain(path);
        EXPECT_FALSE(plain.hasDays());
    }
    const std::vector<std::int32_t> days = {5, kUnknownDay, -3};
    dir.writeRecords("s.bin.days", days);
    SampleFile file(path);
    ASSERT_TRUE(file.hasDays());
    std::vector<std::int32_t> read;
    file.forEachDatedChunk([&](const Datapoint*, const std::int32_t* d, std::size_t count, std::size_t) {
        read.insert(read.end(), d, d + count);
    });
    EXPECT_EQ(read, days);
    // A choice of days counts from the column alone.
    const DayFilteredSource chosen(file, DayFilter{0x7f, 5, 5});
    EXPECT_EQ(chosen.size(), 1u);
    EXPECT_EQ(chosen.firstDay(), -3);
    EXPECT_EQ(chosen.lastDay(), 5);
    for (const std::string& column : {std::string("\x05\0\0\0", 4), std::string(13, '\0'), std::string(16, '\0')}) {
        dir.write("s.bin.days", column);
        try {
            SampleFile wrong(path);
            ADD_FAILURE() << column.size() << " bytes were taken as the days of 3 records";
        } catch (const DataFileError& e) {
            const std::string message = e.what();
            EXPECT_NE(message.find("s.bin.days"), std::string::npos) << message;
            EXPECT_NE(message.find("3 records"), std::string::npos) << message;
            EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        }
    }
}

// The filtered source hands exactly the samples whose date passes, in
// order, numbered from 0; a sample without a date never passes, whatever
// the range.
TEST(DayFilteredSource, PassesOnlyDatedSamplesOfTheSelection) {
    std::vector<Datapoint> points;
    std::vector<std::int32_t> days;
    const std::int32_t saturday = chronoDay(2008, 1, 5);
    for (int i = 0; i < 40; ++i) {
        points.emplace_back(0.5f, 0.5f, mode::WALK, i);
        days.push_back(i % 5 == 4 ? kUnknownDay : saturday + i % 10);
    }
    SamplesInMemory source(points, days);
    struct Case {
        DayFilter filter;
        std::size_t expected;
    };
    for (const Case& c : std::vector<Case>{
             {DayFilter{}, 32},                                     // every dated sample, none undated
             {DayFilter{0x60, saturday, saturday + 9}, 16},         // weekends: days 0, 1, 7, 8 of each ten
             {DayFilter{0x7f, saturday + 2, saturday + 2}, 4},
             {DayFilter{0x7f, saturday + 100, saturday + 200}, 0}}) {
        DayFilteredSource filtered(source, c.filter);
        EXPECT_EQ(filtered.size(), c.expected);
        EXPECT_EQ(filtered.firstDay(), saturday);
        EXPECT_EQ(filtered.lastDay(), saturday + 8);
        std::vector<std::int32_t> times;
        std::size_t next = 0;
        filtered.forEachChunk([&](const Datapoint* samples, std::size_t count, std::size_t first) {
            EXPECT_EQ(first, next);
            next += count;
            for (std::size_t i = 0; i < count; ++i) times.push_back(samples[i].time);
        });
        std::vector<std::int32_t> expected;
        for (std::size_t i = 0; i < points.size(); ++i)
            if (c.filter.passes(days[i])) expected.push_back(points[i].time);
        EXPECT_EQ(times, expected);
        EXPECT_EQ(times.size(), c.expected);
    }
}

// The viewer's fields: open ends when empty, a date that is not one, FROM
// after TO and no weekday ticked each refused with the reason.
TEST(SampleDays, DayFieldsGiveAFilterOrTheReasonNot) {
    struct Case {
        std::uint8_t bits;
        const char *from, *to;
        const char* problem;  // "" when taken
    };
    for (const Case& c : std::vector<Case>{{0x60, "", "", ""},
                                           {0x7f, "2008-01-01", "", ""},
                                           {0x7f, "", "2008-12-31", ""},
                                           {0x7f, "2008-01-01", "2008-01-01", ""},
                                           {0x7f, "2008-02-30", "", "\"2008-02-30\" is not a date (yyyy-mm-dd)"},
                                           {0x7f, "2008-02-01", "2008-01-31", "the first date is after the last"},
                                           {0x00, "", "", "no weekday ticked"}}) {
        std::string problem;
        const auto filter = dayFilterOf(c.bits, c.from, c.to, problem);
        EXPECT_EQ(problem, c.problem) << c.from << ".." << c.to;
        EXPECT_EQ(filter.has_value(), std::string(c.problem).empty());
        if (!filter) continue;
        EXPECT_EQ(filter->weekdays, c.bits);
        EXPECT_EQ(filter->first, *c.from ? *parseDay(c.from) : DayFilter{}.first);
        EXPECT_EQ(filter->last, *c.to ? *parseDay(c.to) : DayFilter{}.last);
    }
}

// The date histogram's bars: a day each up to the cap, whole weeks a bar
// past it (every count kept, none twice), dates counted in any order, and a
// stray date centuries off stops the per-day counts instead of growing them.
TEST(SampleDays, DayCountsAndTheirBars) {
    const std::int32_t d0 = dayNumber(2008, 1, 1);
    const struct {
        std::vector<std::int32_t> days;
        int maxBars;
        int daysPerBar;
        std::vector<float> bars;
    } cases[] = {
        {{d0 + 2, d0, kUnknownDay, d0 + 2}, 10, 1, {1, 0, 2}},
        {{d0, d0 + 7, d0 + 13}, 14, 1, std::vector<float>{1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1}},
        {{d0, d0 + 7, d0 + 13, d0 + 14}, 2, 14, {3, 1}},
        {{d0 + 20, d0, d0 + 6}, 3, 7, {2, 0, 1}},
    };
    for (const auto& c : cases) {
        DayCounts counts;
        counts.add(c.days.data(), c.days.size());
        const DayBars bars = dayBars(counts, c.maxBars);
        EXPECT_EQ(bars.firstDay, d0);
        EXPECT_EQ(bars.daysPerBar, c.daysPerBar);
        EXPECT_EQ(bars.bars, c.bars);
        EXPECT_LE(bars.bars.size(), static_cast<std::size_t>(c.maxBars));
        EXPECT_EQ(bars.barOf(d0 - 5), 0);
        EXPECT_EQ(bars.barOf(d0 + 1000), static_cast<int>(bars.bars.size()) - 1);
    }
    DayCounts counts;
    const std::int32_t days[] = {d0, d0 + static_cast<std::int32_t>(DayCounts::kMaxSpan), kUnknownDay};
    counts.add(days, 3);
    EXPECT_TRUE(counts.tooWide);
    EXPECT_TRUE(dayBars(counts, 400).bars.empty());
    EXPECT_EQ(counts.undated, 1);
}
