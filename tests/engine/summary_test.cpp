// Summaries: the grid from a summary against the CPU engine's from the
// samples it counts, merging, and the files a summary is refused for.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "EngineTestData.h"
#include "cpu/CountingEngine.h"
#include "cpu/SummaryBuilder.h"
#include "cpu/SummaryEngine.h"
#include "model/Summary.h"
#include "tests/TempDir.h"

namespace {

// Dated samples where a wrong key shows: a hotspot, a uniform spread, the
// count grid's margin and just beyond it (far, dropped), invalid
// coordinates, mode values outside the eleven, times on step edges, a few
// unknown dates. Times outside the day (which a summary only totals) are
// kept apart in `outsideDay`.
struct DatedSamples {
    std::vector<Datapoint> points;
    std::vector<std::int32_t> days;
    std::size_t outsideDay = 0;
};
DatedSamples datedSamples(unsigned seed, int uniform) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(-0.08f, 1.08f);
    std::uniform_int_distribution<std::int32_t> time(0, 86399);
    const std::int32_t oddModes[] = {0, 3, 2048, -1};
    const std::int32_t edges[] = {0, 899, 900, 3599, 3600, 25200, 32399, 86399};
    DatedSamples out;
    const std::int32_t firstDay = dayNumber(2024, 3, 1);
    for (int i = 0; i < uniform; ++i) {
        const bool hot = i % 4 == 0;
        const float x = hot ? 0.3f + 0.0004f * static_cast<float>(random() % 1000) / 1000.0f : unit(random);
        const float y = hot ? 0.6f + 0.0004f * static_cast<float>(random() % 1000) / 1000.0f : unit(random);
        const int k = static_cast<int>(random() % (kModeCount + 4));
        const auto mode = modeValue(k < kModeCount ? kModes[k] : oddModes[k - kModeCount]);
        const std::int32_t t = random() % 6 == 0 ? edges[random() % std::size(edges)] : time(random);
        out.points.emplace_back(x, y, mode, t);
        out.days.push_back(random() % 20 == 0 ? kUnknownDay : firstDay + static_cast<std::int32_t>(random() % 30));
    }
    for (float bad : {std::nanf(""), 3e9f, -40.0f}) {
        out.points.emplace_back(bad, 0.5f, mode::WALK, 100);
        out.days.push_back(firstDay);
    }
    for (std::int32_t t : {-1, 86400, 90000}) {
        out.points.emplace_back(0.5f, 0.5f, mode::CAR, t);
        out.days.push_back(firstDay);
        ++out.outsideDay;
    }
    return out;
}

// The samples of the chosen day classes at times within the day: what a
// summary's selection stands for.
std::vector<Datapoint> selected(const DatedSamples& samples, std::uint8_t dayClasses) {
    std::vector<Datapoint> out;
    for (std::size_t i = 0; i < samples.points.size(); ++i)
        if ((dayClasses >> dayClassOf(samples.days[i])) & 1 && samples.points[i].time >= 0 &&
            samples.points[i].time < 86400)
            out.push_back(samples.points[i]);
    return out;
}

Summary summaryOf(const DatedSamples& samples, std::size_t first, std::size_t last, std::size_t pending) {
    engine::SummaryBuilder builder(GeoFrame{}, 900, "UTC", pending);
    builder.add(samples.points.data() + first, samples.days.data() + first, last - first);
    return builder.finish();
}

struct Case {
    std::int32_t mask;
    std::int32_t from, to;
    float sigma;
    int size;
    std::uint8_t dayClasses;
    bool log;
};

// Catches a key put in the wrong day class, group or step, a step range
// off by one at either end, a correction of the last counts that adds or
// takes away the wrong steps (the cases run on one engine, in an order
// that moves each end, toggles modes and days), a whole-day list that
// differs from its steps, and any change to how counts become a grid.
TEST(SummaryEngine, GridEqualsCpuEngineGridOfTheSameSamples) {
    const DatedSamples samples = datedSamples(3, 60000);
    auto summary = std::make_shared<const Summary>(summaryOf(samples, 0, samples.points.size(), 1 << 12));
    engine::SummaryEngine fromSummary(summary, 2);
    const Case cases[] = {
        {kAllModes, 0, 86400, 1.0f, 5, kAllDayClasses, true},
        {kAllModes, 3600, 7199, 1.0f, 5, kAllDayClasses, true},
        {kAllModes, 2700, 7199, 1.0f, 5, kAllDayClasses, false},      // the start moves back
        {kAllModes, 2700, 8999, 1.0f, 5, kAllDayClasses, false},      // the end moves on
        {kAllModes & ~mode::CAR, 2700, 8999, 2.0f, 11, kAllDayClasses, true},
        {mode::CAR | mode::WALK, 0, 86400, 2.0f, 11, 0x1f, true},     // weekdays alone
        {mode::CAR | mode::WALK, 0, 86400, 2.0f, 11, 0x60, true},     // the weekend
        {mode::CAR | mode::WALK, 0, 86400, 2.0f, 11, 0x80, true},     // unknown dates
        {0, 0, 86400, 3.0f, 21, kAllDayClasses, true},                // mask 0: other modes, all day
        {4096 | mode::BUS, 25200, 32399, 10.0f, 101, 0x7f, false},
        {kAllModes, 25200, 32399, 10.0f, 101, 0x03, true},
        {kAllModes, 0, 899, 1.0f, 3, kAllDayClasses, true},
        {kAllModes, 85500, 86399, 1.0f, 3, 0xfe, true},
        {kAllModes, 7200, 3599, 1.0f, 3, kAllDayClasses, true},       // an empty window
        {kAllModes, 0, 86400, 1.0f, 5, kAllDayClasses, true},         // back to everything
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("mask " + std::to_string(c.mask) + ", window " + std::to_string(c.from) + ".." +
                     std::to_string(c.to) + ", size " + std::to_string(c.size) + ", days " +
                     std::to_string(c.dayClasses));
        const std::vector<float> table = engine::makeGaussKernel(c.sigma, c.size);
        engine::CountingEngine fromSamples(selected(samples, c.dayClasses), 2);
        fromSamples.setKernel(table, c.size);
        fromSummary.setKernel(table, c.size);
        ControlSettings settings;
        settings.mode_mask = c.mask;
        settings.min_time = c.from;
        settings.max_time = c.to;
        settings.use_log_scale = c.log;
        settings.day_classes = c.dayClasses;
        ControlSettings allDays = settings;
        allDays.day_classes = kAllDayClasses;
        // The same counts, convolved alike: the same floats.
        ASSERT_EQ(fromSummary.compute(settings), fromSamples.compute(allDays));
        EXPECT_EQ(fromSummary.lastMaximum(), fromSamples.lastMaximum());
        EXPECT_EQ(fromSummary.cellCounts(settings), fromSamples.cellCounts(allDays));
        EXPECT_EQ(fromSummary.samplesInCell(300, 600, settings), fromSamples.samplesInCell(300, 600, allDays));
    }
}

// Catches a window inside steps that is cut to the steps it covers whole
// (or rounded past them) instead of taking every step it overlaps.
TEST(SummaryEngine, WindowOffStepEdgesTakesTheStepsItOverlapsWhole) {
    const DatedSamples samples = datedSamples(5, 20000);
    auto summary = std::make_shared<const Summary>(summaryOf(samples, 0, samples.points.size(), 1 << 20));
    engine::SummaryEngine fromSummary(summary, 1);
    engine::CountingEngine fromSamples(selected(samples, kAllDayClasses), 1);
    ControlSettings inside;
    inside.mode_mask = kAllModes;
    inside.min_time = 1000;  // in step 1 (900 .. 1799)
    inside.max_time = 3600;  // the first second of step 4
    ControlSettings whole = inside;
    whole.min_time = 900;
    whole.max_time = 4499;
    EXPECT_EQ(fromSummary.compute(inside), fromSamples.compute(whole));
}

// Catches a merge that is not the sum (a key dropped or doubled, blocks or
// cells out of order, totals or days not combined), one that depends on
// the order, a fold of the builder's buffer that loses counts (a small
// buffer folds thousands of times), and a file that does not read back as
// what was written.
// The fold sorts keys by their bits in passes: catches a pass that drops
// the top bits (1-minute steps of every day class reach 38 bits), a digit
// counted in the wrong bucket, and a fold whose order depends on how often
// it runs. Every build, whatever its buffer, gives the same strictly
// ascending keys.
TEST(SummaryBuilder, KeysOfEveryWidthFoldInOrderWhateverTheBuffer) {
    const DatedSamples samples = datedSamples(5, 20000);
    std::vector<std::string> encoded;
    for (const std::size_t pending : {std::size_t{1}, std::size_t{777}, std::size_t{1} << 20}) {
        engine::SummaryBuilder builder(GeoFrame{}, 60, "UTC", pending);
        builder.add(samples.points.data(), samples.days.data(), samples.points.size());
        const Summary summary = builder.finish();
        for (std::size_t b = 0; b < summary.blockCount(); ++b) {
            if (b > 0) {
                ASSERT_LT(summary.blockIds[b - 1], summary.blockIds[b]);
            }
            for (std::uint64_t i = summary.blockStart[b] + 1; i < summary.blockStart[b + 1]; ++i)
                ASSERT_LT(summary.cells[i - 1], summary.cells[i]);
        }
        EXPECT_GT(summary.blockIds.back(), 1u << 16);
        encoded.push_back(encodeSummary(summary));
    }
    EXPECT_EQ(encoded[0], encoded[1]);
    EXPECT_EQ(encoded[0], encoded[2]);
}

TEST(Summary, HalvesSummarisedApartAndMergedEqualTheWholeByteForByte) {
    TempDir dir;
    const DatedSamples samples = datedSamples(9, 40000);
    const std::size_t half = samples.points.size() / 2;
    const Summary whole = summaryOf(samples, 0, samples.points.size(), 1 << 20);
    const Summary first = summaryOf(samples, 0, half, 7);
    const Summary second = summaryOf(samples, half, samples.points.size(), 1 << 20);
    EXPECT_EQ(whole.totals.samples, samples.points.size());
    EXPECT_EQ(whole.totals.outsideDay, samples.outsideDay);
    EXPECT_EQ(whole.totals.dropped + whole.totals.far + whole.totals.outsideDay + whole.totals.counted,
              samples.points.size());

    writeSummary(first, dir.root() / "a.tsum");
    writeSummary(second, dir.root() / "b.tsum");
    writeSummary(whole, dir.root() / "whole.tsum");
    Summary ab = readSummary(dir.root() / "a.tsum");
    mergeSummary(ab, readSummary(dir.root() / "b.tsum"), "b.tsum");
    Summary ba = readSummary(dir.root() / "b.tsum");
    mergeSummary(ba, readSummary(dir.root() / "a.tsum"), "a.tsum");
    writeSummary(ab, dir.root() / "ab.tsum");
    writeSummary(ba, dir.root() / "ba.tsum");
    const auto bytes = [&](const char* name) {
        std::ifstream in(dir.root() / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(bytes("ab.tsum"), bytes("whole.tsum"));
    EXPECT_EQ(bytes("ba.tsum"), bytes("whole.tsum"));
    EXPECT_EQ(readSummary(dir.root() / "whole.tsum"), whole);
}

// Each way a file or a merge goes wrong: one line naming the file and
// why, and the summary merged into left as it was.
TEST(Summary, RefusesTruncatedCorruptForeignAndOverflowingSummaries) {
    TempDir dir;
    const DatedSamples samples = datedSamples(4, 3000);
    const Summary good = summaryOf(samples, 0, samples.points.size(), 1 << 20);
    const std::string bytes = encodeSummary(good);
    const auto refused = [&](const std::string& name, const std::string& content, const std::string& reason) {
        const std::string path = dir.write(name, content);
        try {
            readSummary(path);
            ADD_FAILURE() << name << " was read";
        } catch (const SummaryError& error) {
            EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << error.what();
            EXPECT_EQ(std::string(error.what()).find('\n'), std::string::npos);
        }
    };
    for (std::size_t keep : {std::size_t{5}, std::size_t{20}, std::size_t{100}, bytes.size() / 2, bytes.size() - 9})
        refused("cut" + std::to_string(keep) + ".tsum", bytes.substr(0, keep),
                keep < 8 ? "not a summary" : "truncated");
    for (std::size_t at : {std::size_t{40}, std::size_t{100}, bytes.size() / 2, bytes.size() - 20}) {
        std::string damaged = bytes;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
        refused("flip" + std::to_string(at) + ".tsum", damaged, "corrupt");
    }
    refused("longer.tsum", bytes + "more", "corrupt: 4 bytes past its end");
    std::string later = bytes;
    later[8] = 2;  // version 2
    refused("later.tsum", later, "version 2");
    refused("other.tsum", "sample bytes that are not a summary", "not a summary");

    const auto unchangedAfter = [&](const Summary& other, const std::string& reason) {
        Summary into = good;
        try {
            mergeSummary(into, other, "other.tsum");
            ADD_FAILURE() << "merged: " << reason;
        } catch (const SummaryError& error) {
            EXPECT_NE(std::string(error.what()).find("other.tsum"), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << error.what();
        }
        EXPECT_EQ(into, good);
    };
    Summary otherStep = good;
    otherStep.stepSeconds = 3600;
    unchangedAfter(otherStep, "step of 3600 s");
    Summary otherFrame = good;
    otherFrame.frame.north = 40.2;
    unchangedAfter(otherFrame, "frame");

    // One count 5 short of 2^64: 4 more fit, 10 more do not.
    Summary near;
    const std::uint32_t cell = 1000;
    const std::uint64_t big = ~std::uint64_t{0} - 5;
    near.appendBlock(near.blockOf(2, 4, 30), &cell, &big, 1);
    near.totals.samples = near.totals.counted = big;
    Summary fits = near;
    const std::uint64_t four = 4;
    fits.counts = {four};
    fits.totals.samples = fits.totals.counted = 4;
    Summary sum = near;
    mergeSummary(sum, fits, "fits.tsum");
    EXPECT_EQ(sum.counts, std::vector<std::uint64_t>{~std::uint64_t{0} - 1});
    Summary into = near;
    Summary tooMany = near;
    tooMany.counts = {10};
    tooMany.totals = {};  // only the cell overflows
    try {
        mergeSummary(into, tooMany, "many.tsum");
        ADD_FAILURE() << "a count past 2^64 was merged";
    } catch (const SummaryError& error) {
        EXPECT_NE(std::string(error.what()).find("2^64"), std::string::npos) << error.what();
    }
    EXPECT_EQ(into, near);
}

// Catches trackora-heatmap reading a summary with another frame, window,
// day choice or kernel than the samples', or counting it otherwise: its
// grids, counts and densities, must be the sample file's byte for byte.
TEST(SummaryHeatmapTool, ASummaryGivesTheSampleFilesGrids) {
    TempDir dir;
    const DatedSamples samples = datedSamples(8, 30000);
    const std::string bin = (dir.root() / "s.bin").string();
    {
        std::ofstream records(bin, std::ios::binary);
        records.write(reinterpret_cast<const char*>(samples.points.data()),
                      static_cast<std::streamsize>(samples.points.size() * sizeof(Datapoint)));
        std::ofstream days(daysFilePath(bin), std::ios::binary);
        days.write(reinterpret_cast<const char*>(samples.days.data()),
                   static_cast<std::streamsize>(samples.days.size() * sizeof(std::int32_t)));
    }
    const std::string tsum = (dir.root() / "s.tsum").string();
    writeSummary(engine::summarise(SampleFile(bin), GeoFrame{}, 900, "UTC"), tsum);
    const std::string common = " --time 07:00-08:59:59 --weekdays mon-fri --sigma 3 --size 21 --modes walk,car,bus";
    for (const char* values : {"count", "density", "display"}) {
        SCOPED_TRACE(values);
        const auto run = [&](const std::string& input, const std::string& grid) {
            const std::string command = std::string(TRACKORA_HEATMAP_TOOL) + " " + input + common + " --values " +
                                        values + " --grid " + grid + " > /dev/null";
            return std::system(command.c_str());
        };
        ASSERT_EQ(run(bin, (dir.root() / "from-samples").string()), 0);
        ASSERT_EQ(run(tsum, (dir.root() / "from-summary").string()), 0);
        const auto bytes = [&](const char* name) {
            std::ifstream in(dir.root() / name, std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(in), {});
        };
        EXPECT_EQ(bytes("from-summary").size(), 4u * kGridCells);
        EXPECT_TRUE(bytes("from-summary") == bytes("from-samples"));
    }
}

}  // namespace
