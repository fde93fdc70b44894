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

// Lines that change modes, a window on step edges, weekdays with --per-day,
// the kernel and the scale, then every day again: a summary's script that
// ignored a line's weekdays, divided by other days or kept the last line's
// settings gives another grid than the samples' script.
TEST(SummaryHeatmapTool, ScriptLinesGiveTheSampleFilesGrids) {
    TempDir dir;
    std::mt19937 random(11);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<Datapoint> points;
    std::vector<std::int32_t> days;
    const std::int32_t first = dayNumber(2024, 4, 1);
    for (int i = 0; i < 20000; ++i) {
        const bool hot = i % 3 == 0;
        points.emplace_back(hot ? 0.4f + 0.01f * unit(random) : unit(random), hot ? 0.5f + 0.01f * unit(random) : unit(random),
                            kModes[random() % kModeCount], static_cast<std::int32_t>(random() % 86400));
        days.push_back(first + static_cast<std::int32_t>(random() % 17));
    }
    const std::string bin = dir.writeRecords("s.bin", points);
    dir.writeRecords("s.bin.days", days);
    ASSERT_EQ(daysFilePath(bin), bin + ".days");
    const std::string tsum = (dir.root() / "s.tsum").string();
    writeSummary(engine::summarise(SampleFile(bin), GeoFrame{}, 1800, "UTC"), tsum);

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
        const std::string command = std::string(TRACKORA_HEATMAP_TOOL) + " " + input + " --engine cpu --script " +
                                    script(tag) + " > " + (dir.root() / (tag + ".out")).string() + " 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << tag;
    }
    const auto bytes = [&](const std::string& name) {
        std::ifstream in(dir.root() / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    for (std::size_t i = 0; i < std::size(lines); ++i) {
        SCOPED_TRACE(lines[i]);
        EXPECT_EQ(bytes("summary" + std::to_string(i)).size(), 4u * 1000u * 1000u);
        EXPECT_TRUE(bytes("summary" + std::to_string(i)) == bytes("samples" + std::to_string(i)));
    }
}

}  // namespace
