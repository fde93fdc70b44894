// trackora-summary on files: what build reads, and what it and merge refuse.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <algorithm>
#include <iterator>
#include <sstream>

#include "model/Summary.h"
#include "tests/TempDir.h"
#include "tools/summary/SummaryTool.h"

namespace {

struct ToolRun {
    int status;
    std::string out, err;
};
ToolRun run(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = runSummaryTool(args, out, err);
    return ToolRun{status, out.str(), err.str()};
}
std::string bytesOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Catches a build that reads only its first input or a merge that differs
// from reading the inputs together, a --dates range that keeps the wrong
// days, and dates lost between the text samples and the summary.
TEST(SummaryTool, BuildOfTwoInputsIsTheMergeOfTheirBuildsAndDatesSelectDays) {
    TempDir dir;
    const std::string a = dir.write("a.txt", "39.9 116.4 28800 16 2024-03-04\n39.91 116.41 30000 2 2024-03-05\n");
    const std::string b = dir.write("b.txt", "39.9 116.4 28810 16 2024-03-05\n39.8 116.2 100 1\n");
    const auto at = [&](const char* name) { return (dir.root() / name).string(); };
    ASSERT_EQ(run({"build", a, "-o", at("a.tsum")}).status, 0);
    ASSERT_EQ(run({"build", b, "-o", at("b.tsum")}).status, 0);
    ASSERT_EQ(run({"build", a, b, "-o", at("ab.tsum")}).status, 0);
    ASSERT_EQ(run({"merge", at("a.tsum"), at("b.tsum"), "-o", at("merged.tsum")}).status, 0);
    EXPECT_EQ(bytesOf(at("merged.tsum")), bytesOf(at("ab.tsum")));
    const Summary both = readSummary(at("ab.tsum"));
    EXPECT_EQ(both.totals.samples, 4u);
    EXPECT_EQ(both.days, (std::vector<std::int32_t>{dayNumber(2024, 3, 4), dayNumber(2024, 3, 5)}));

    ASSERT_EQ(run({"build", a, b, "-o", at("day.tsum"), "--dates", "2024-03-05..2024-03-05"}).status, 0);
    const Summary day = readSummary(at("day.tsum"));
    EXPECT_EQ(day.totals.samples, 2u);
    EXPECT_EQ(day.days, std::vector<std::int32_t>{dayNumber(2024, 3, 5)});
}

// Each refusal: the exit status, one line naming the file and the reason,
// and the output left as it was (here: a file already there).
TEST(SummaryTool, RefusesWithOneLineAndWritesNothing) {
    TempDir dir;
    const std::string samples = dir.write("s.txt", "39.9 116.4 28800 16 2024-03-04\n");
    const auto at = [&](const char* name) { return (dir.root() / name).string(); };
    ASSERT_EQ(run({"build", samples, "-o", at("q.tsum")}).status, 0);
    ASSERT_EQ(run({"build", samples, "-o", at("h.tsum"), "--step", "60m"}).status, 0);
    const std::string quarter = bytesOf(at("q.tsum"));
    dir.write("cut.tsum", quarter.substr(0, quarter.size() - 3));
    std::string flipped = quarter;
    flipped[flipped.size() / 2] ^= 0x40;
    dir.write("flip.tsum", flipped);
    const std::string existing = "what was there before";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string names;
        std::string reason;
    };
    const std::string out = at("out.tsum");
    const Case cases[] = {
        {{"merge", at("q.tsum"), at("h.tsum"), "-o", out}, 1, "h.tsum", "step of 3600 s is not 900 s"},
        {{"merge", at("q.tsum"), at("cut.tsum"), "-o", out}, 1, "cut.tsum", "truncated"},
        {{"merge", at("flip.tsum"), at("q.tsum"), "-o", out}, 1, "flip.tsum", "corrupt"},
        {{"build", samples, "-o", out, "--step", "7m"}, 2, "--step", "not one of"},
        {{"build", samples, "-o", out, "--dates", "2024-03-05..2024-03-01"}, 2, "--dates", "FROM..TO"},
        {{"build", samples, at("missing.txt"), "-o", out}, 1, "missing.txt", "no such file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.reason);
        dir.write("out.tsum", existing);
        const ToolRun result = run(c.args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_NE(result.err.find(c.names), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(bytesOf(out), existing);
    }
}

}  // namespace
