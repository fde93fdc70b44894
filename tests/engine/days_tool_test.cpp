// trackora-heatmap's choice of days: --weekdays, --dates, --per-day and
// --versus on a recording tree, against counts made from its raw lines here.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../TempDir.h"
#include "kde/GridShape.h"

namespace {

namespace chr = std::chrono;

// A fix on the day `day` (days since 1970) at the centre of cell (row, col)
// of the default frame, so no rounding can move it to a neighbour.
struct Fix {
    int day, row, col;
};

std::string fixLine(const Fix& fix, int second) {
    const chr::year_month_day date{chr::sys_days{chr::days{fix.day}}};
    char line[128];
    std::snprintf(line, sizeof line, "%.7f,%.7f,0,0,0,%04d-%02u-%02u,%02d:%02d:%02d\n",
                  39.75 + (fix.row + 0.5) * 0.00035, 116.15 + (fix.col + 0.5) * 0.00045, static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), second / 3600,
                  second / 60 % 60, second % 60);
    return line;
}

int dayOf(int y, unsigned m, unsigned d) {
    return static_cast<int>(chr::sys_days(chr::year(y) / chr::month(m) / chr::day(d)).time_since_epoch().count());
}

bool weekend(int day) {
    const unsigned w = chr::weekday{chr::sys_days{chr::days{day}}}.c_encoding();
    return w == 0 || w == 6;
}

std::vector<float> readGrid(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<float> grid(kGridCells);
    in.read(reinterpret_cast<char*>(grid.data()), kGridCells * 4);
    EXPECT_EQ(in.gcount(), kGridCells * 4) << path;
    return grid;
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int run(const std::string& arguments, const TempDir& dir) {
    const std::string command = "TRACKORA_ENGINE=cpu " + std::string(TRACKORA_HEATMAP_TOOL) + " " + arguments + " > " +
                                (dir.root() / "out.txt").string() + " 2> " + (dir.root() / "err.txt").string();
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Fixes from the last days of 2007 to the first of 2009, every fourth day,
// in a few cells, several a day; counted per cell by whether a filter of
// days takes them.
struct Tree {
    std::vector<Fix> fixes;
    std::string path;
    int first = 0, last = 0;

    explicit Tree(const TempDir& dir) {
        first = dayOf(2007, 12, 27);
        last = dayOf(2009, 1, 4);
        for (int day = first, i = 0; day <= last; day += 3, ++i)
            for (int k = 0; k <= i % 3; ++k) fixes.push_back({day, 400 + (i + k) % 5, 300 + k * 7});
        fixes.push_back({last, 410, 310});
        std::string text = "h\nh\nh\nh\nh\nh\n";
        for (std::size_t i = 0; i < fixes.size(); ++i) text += fixLine(fixes[i], static_cast<int>(i * 37 % 86400));
        path = dir.write("tree/000/Trajectory/a.plt", text);
        path = (dir.root() / "tree").string();
    }

    template <typename Take>
    std::vector<float> counts(Take take) const {
        std::vector<float> grid(kGridCells, 0.0f);
        for (const Fix& fix : fixes)
            if (take(fix.day)) grid[static_cast<std::size_t>(fix.row) * kGridSide + fix.col] += 1.0f;
        return grid;
    }
    template <typename Take>
    int days(int from, int to, Take take) const {
        int count = 0;
        for (int day = std::max(from, first); day <= std::min(to, last); ++day) count += take(day);
        return count;
    }
};

std::vector<float> divided(const std::vector<float>& grid, int days) {
    std::vector<float> out(grid.size());
    for (std::size_t i = 0; i < grid.size(); ++i) out[i] = grid[i] / static_cast<float>(days);
    return out;
}

}  // namespace

// Counts of the chosen days equal the raw lines' own, per day they are
// divided by the days the selection covers (clipped to the data's first
// and last), and --versus is exactly A per day minus B per day.
TEST(HeatmapDays, SelectionsCountTheRawLinesOfTheirDays) {
    TempDir dir;
    const Tree tree(dir);
    const int y2008 = dayOf(2008, 1, 1), end2008 = dayOf(2008, 12, 31);
    const auto in2008 = [&](int day) { return day >= y2008 && day <= end2008; };
    const auto weekend2008 = [&](int day) { return in2008(day) && weekend(day); };
    const auto weekdays2008 = [&](int day) { return in2008(day) && !weekend(day); };
    const auto january = [&](int day) { return day <= dayOf(2008, 1, 31); };
    const auto any = [](int) { return true; };
    const std::vector<float> weekendCounts = tree.counts(weekend2008);
    const std::vector<float> weekdayCounts = tree.counts(weekdays2008);
    const int weekendDays = tree.days(y2008, end2008, weekend2008);
    ASSERT_EQ(weekendDays, 104);  // 2008: 52 weekends
    const int weekdayDays = tree.days(y2008, end2008, weekdays2008);
    const std::vector<float> perDayWeekend = divided(weekendCounts, weekendDays);
    const std::vector<float> perDayWeekday = divided(weekdayCounts, weekdayDays);
    std::vector<float> versus(kGridCells);
    for (std::size_t i = 0; i < versus.size(); ++i) versus[i] = perDayWeekend[i] - perDayWeekday[i];

    struct Case {
        std::string options;
        std::vector<float> expected;
    };
    const std::string input = tree.path + " --size 1 --values count";
    const std::vector<Case> cases = {
        {"--weekdays sat,sun --dates 2008-01-01..2008-12-31", weekendCounts},
        {"--weekdays weekend --dates 2008-01-01..2008-12-31 --per-day", perDayWeekend},
        // From before the data's first day: only the days it covers count.
        {"--dates 2000-01-01..2008-01-31 --per-day", divided(tree.counts(january), tree.days(0, dayOf(2008, 1, 31), any))},
        {"--per-day", divided(tree.counts(any), tree.last - tree.first + 1)},
        {"--weekdays sat,sun --dates 2008-01-01..2008-12-31 --versus --weekdays mon-fri --dates 2008-01-01..2008-12-31",
         versus},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        const std::string grid = (dir.root() / "grid.f32").string();
        ASSERT_EQ(run(input + " --grid " + grid + " " + c.options, dir), 0) << readText((dir.root() / "err.txt").string());
        const std::vector<float> got = readGrid(grid);
        int wrong = 0;
        for (int i = 0; i < kGridCells && wrong < 5; ++i)
            if (got[static_cast<std::size_t>(i)] != c.expected[static_cast<std::size_t>(i)]) {
                ++wrong;
                ADD_FAILURE() << "cell " << i << ": " << got[static_cast<std::size_t>(i)] << ", expected "
                              << c.expected[static_cast<std::size_t>(i)];
            }
    }
}

// Script lines choose their days too: each line whose days differ from
// those indexed indexes its own, and gives the same counts as a run of its
// own would.
TEST(HeatmapDays, ScriptLinesChooseTheirDays) {
    TempDir dir;
    const Tree tree(dir);
    const int y2008 = dayOf(2008, 1, 1), end2008 = dayOf(2008, 12, 31);
    const auto weekend2008 = [&](int day) { return day >= y2008 && day <= end2008 && weekend(day); };
    const auto weekdays2008 = [&](int day) { return day >= y2008 && day <= end2008 && !weekend(day); };
    const std::string g1 = (dir.root() / "g1.f32").string(), g2 = (dir.root() / "g2.f32").string(),
                      g3 = (dir.root() / "g3.f32").string();
    const std::string script = dir.write(
        "s.txt", "--size 1 --values count --weekdays sat,sun --dates 2008-01-01..2008-12-31 --grid " + g1 + "\n" +
                     "--size 1 --values count --weekdays mon-fri --dates 2008-01-01..2008-12-31 --per-day --grid " +
                     g2 + "\n--size 1 --values count --grid " + g3 + "\n");
    ASSERT_EQ(run(tree.path + " --script " + script, dir), 0) << readText((dir.root() / "err.txt").string());
    EXPECT_EQ(readGrid(g1), tree.counts(weekend2008));
    EXPECT_EQ(readGrid(g2), divided(tree.counts(weekdays2008), tree.days(y2008, end2008, weekdays2008)));
    EXPECT_EQ(readGrid(g3), tree.counts([](int) { return true; }));

    // A line without days after one with them takes every sample again,
    // those without a date too.
    const std::string text = dir.write("t.txt", "39.90005 116.30005 100 2 2008-03-01\n39.90005 116.30005 200 2\n");
    const std::string lines = dir.write(
        "l.txt", "--size 1 --values count --dates 2008-03-01..2008-03-01 --grid " + g1 + "\n--size 1 --values count --grid " + g2 + "\n");
    ASSERT_EQ(run(text + " --script " + lines, dir), 0) << readText((dir.root() / "err.txt").string());
    const auto total = [](const std::vector<float>& grid) {
        float sum = 0;
        for (const float v : grid) sum += v;
        return sum;
    };
    EXPECT_EQ(total(readGrid(g1)), 1.0f);
    EXPECT_EQ(total(readGrid(g2)), 2.0f);
}

// A sample of unknown date passes no filter of dates, however wide; the
// samples with dates do.
TEST(HeatmapDays, ASampleWithoutADateNeverPasses) {
    TempDir dir;
    const std::string input = dir.write("s.txt", "39.90005 116.30005 100 2 2008-03-01\n"
                                                 "39.90005 116.30005 200 2\n"
                                                 "39.90005 116.30005 300 2 1971-01-01\n");
    const std::string grid = (dir.root() / "grid.f32").string();
    for (const std::string days : {"--dates 1900-01-01..2100-12-31", "--weekdays all", "--per-day"}) {
        SCOPED_TRACE(days);
        ASSERT_EQ(run(input + " --size 1 --values count --grid " + grid + " " + days, dir), 0)
            << readText((dir.root() / "err.txt").string());
        float total = 0;
        for (const float v : readGrid(grid)) total += v;
        // Per day: over every day from the first date to the last.
        const float expected =
            days == "--per-day" ? 2.0f / static_cast<float>(dayOf(2008, 3, 1) - dayOf(1971, 1, 1) + 1) : 2.0f;
        EXPECT_EQ(total, expected);
    }
}

// Choices of days that cannot be met: one line, the reason, nothing written.
TEST(HeatmapDays, SelectionsThatCannotBeMetWriteNothing) {
    TempDir dir;
    const Tree tree(dir);
    const std::string undated = dir.write("u.txt", "39.9 116.3 100 2\n");
    const std::string other = dir.write("other.bin", std::string(16, '\0'));
    dir.write("other.bin.frame", "south 39\nwest 116\nnorth 41\neast 117\n");
    dir.write("other.bin.days", std::string(4, '\0'));
    struct Case {
        std::string arguments;
        int status;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {undated + " --weekdays sat,sun", 1, "has no dates"},
        {undated + " --per-day", 1, "has no dates"},
        {tree.path + " --dates 2008-12-31..2008-01-01", 2, "starts after it ends"},
        {tree.path + " --dates 2008-02-30..2008-03-01", 2, "is not FROM..TO"},
        {tree.path + " --weekdays someday", 2, "is not a list of weekdays"},
        {tree.path + " --dates 2010-01-01..2010-12-31 --per-day", 1, "covers no day"},
        {tree.path + " --weekdays sat --dates 2008-01-07..2008-01-11", 1, "covers no day"},
        {tree.path + " --versus --dates 2012-01-01..2012-01-02", 1, "covers no day"},
        {tree.path + " --versus --input " + other, 1, "would not lie over each other"},
        {tree.path + " --versus --input " + undated, 1, "has no dates"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const std::string grid = (dir.root() / "never.f32").string();
        // Outputs come before --versus: what follows it is the second selection.
        std::string arguments = c.arguments;
        const auto versus = arguments.find(" --versus");
        arguments.insert(versus == std::string::npos ? arguments.size() : versus, " --grid " + grid);
        EXPECT_EQ(run(arguments, dir), c.status);
        const std::string err = readText((dir.root() / "err.txt").string());
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
        if (c.status == 1) {
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        }
        EXPECT_FALSE(std::filesystem::exists(grid));
    }
}
