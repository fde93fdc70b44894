// trackora-heatmap --script on a summary: each line's grid is the sample
// file's grid for the same line, weekdays and --per-day included.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "cpu/SummaryBuilder.h"
#include "model/SampleDays.h"
#include "model/SampleSource.h"
#include "model/Summary.h"
#include "tests/TempDir.h"

namespace {

// A dated sample file of `n` samples (a hotspot over a uniform spread, every
// mode, 17 days from a Monday) and its summary in 30-minute steps.
struct DatedFile {
    std::string bin, tsum;
};
DatedFile datedFile(const TempDir& dir, const std::string& name, unsigned seed, int n, std::int32_t step = 1800) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<Datapoint> points;
    std::vector<std::int32_t> days;
    const std::int32_t first = dayNumber(2024, 4, 1);
    for (int i = 0; i < n; ++i) {
        const bool hot = i % 3 == 0;
        points.emplace_back(hot ? 0.4f + 0.01f * unit(random) : unit(random), hot ? 0.5f + 0.01f * unit(random) : unit(random),
                            kModes[random() % kModeCount], static_cast<std::int32_t>(random() % 86400));
        days.push_back(first + static_cast<std::int32_t>(random() % 17));
    }
    DatedFile out;
    out.bin = dir.writeRecords(name + ".bin", points);
    dir.writeRecords(name + ".bin.days", days);
    EXPECT_EQ(daysFilePath(out.bin), out.bin + ".days");
    out.tsum = (dir.root() / (name + ".tsum")).string();
    writeSummary(engine::summarise(SampleFile(out.bin), GeoFrame{}, step, "UTC"), out.tsum);
    return out;
}

std::string bytesOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int runTool(const std::string& arguments, const std::string& log) {
    return std::system((std::string(TRACKORA_HEATMAP_TOOL) + " " + arguments + " > " + log + " 2>&1").c_str());
}

TEST(SummaryHeatmapTool, ScriptLinesGiveTheSampleFilesGrids) {
    TempDir dir;
    const DatedFile file = datedFile(dir, "s", 11, 20000);
    const std::string bin = file.bin, tsum = file.tsum;

    const char* const lines[] = {
        "--modes walk,car --time 07:00-08:59:59 --values count",
        "--weekdays sat,sun --per-day --sigma 2 --size 9 --values density",
        "--weekdays mon,wed --modes bus,walk --time 06:00-23:59:59 --linear --values display",
        "--size 21 --values density",
    };
    const auto script = [&](const std::string& tag) {
        std::string text;
        for (std::size_t i = 0; i < std::size(lines); ++i)
            text += std::string(lines[i]) + " --grid " + (dir.root() / (tag + std::to_string(i))).string() + "\n";
        return dir.write(tag + ".txt", text);
    };
    for (const auto& [input, tag] : {std::pair{bin, std::string("samples")}, std::pair{tsum, std::string("summary")}}) {
        ASSERT_EQ(runTool(input + " --engine cpu --script " + script(tag), (dir.root() / (tag + ".out")).string()), 0)
            << tag;
    }
    const auto bytes = [&](const std::string& name) { return bytesOf((dir.root() / name).string()); };
    for (std::size_t i = 0; i < std::size(lines); ++i) {
        SCOPED_TRACE(lines[i]);
        EXPECT_EQ(bytes("summary" + std::to_string(i)).size(), 4u * 1000u * 1000u);
        EXPECT_TRUE(bytes("summary" + std::to_string(i)) == bytes("samples" + std::to_string(i)));
    }
}

// --versus on a summary: B as the same summary under another selection, or
// another summary of the same frame and step, gives the grid --versus gives
// on the sample files (each divided by its own days on its weekdays). A B
// that took A's weekdays or days, or a summary of another step taken as B,
// fails.
TEST(SummaryHeatmapTool, VersusGivesTheSampleFilesDifference) {
    TempDir dir;
    const DatedFile a = datedFile(dir, "a", 5, 12000);
    const DatedFile b = datedFile(dir, "b", 6, 9000);
    const std::string log = (dir.root() / "log.txt").string();
    struct Case {
        const char* name;
        std::string versus;        // for the sample file
        std::string versusSummary; // for the summary
    } cases[] = {
        {"same data, other weekdays and window", "--versus --weekdays sat,sun --modes walk,bus --time 06:00-09:59:59",
         "--versus --weekdays sat,sun --modes walk,bus --time 06:00-09:59:59"},
        {"another file", "--versus --input " + b.bin + " --weekdays tue", "--versus --input " + b.tsum + " --weekdays tue"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string common = " --engine cpu --weekdays mon-fri --modes walk,car --sigma 2 --size 9 --values count";
        const std::string fromSamples = (dir.root() / "samples.f32").string();
        const std::string fromSummary = (dir.root() / "summary.f32").string();
        ASSERT_EQ(runTool(a.bin + common + " --grid " + fromSamples + " " + c.versus, log), 0) << bytesOf(log);
        ASSERT_EQ(runTool(a.tsum + common + " --grid " + fromSummary + " " + c.versusSummary, log), 0) << bytesOf(log);
        EXPECT_EQ(bytesOf(fromSummary).size(), 4u * 1000u * 1000u);
        EXPECT_TRUE(bytesOf(fromSummary) == bytesOf(fromSamples));
    }
    const DatedFile hourly = datedFile(dir, "hourly", 7, 100, 3600);
    EXPECT_EQ(runTool(a.tsum + " --grid " + (dir.root() / "x.f32").string() + " --versus --input " + hourly.tsum, log), 256);
    EXPECT_NE(bytesOf(log).find("another frame, step or clock"), std::string::npos) << bytesOf(log);
}

}  // namespace
