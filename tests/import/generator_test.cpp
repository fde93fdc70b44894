// The default-data generator: the tree it writes imports with exactly the
// counts it reports, the same seed gives the same tree, and the map image
// it reads is recognised.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "model/TrajectoryLoader.h"
#include "tests/TempDir.h"
#include "tools/gendata/TrajectoryGenerator.h"

namespace fs = std::filesystem;

namespace {

// Streets every 16 pixels both ways, the main ones brighter.
RoadRaster gridRoads(int size) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(size) * size, 0);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            if (x % 16 < 2 || y % 16 < 2)
                pixels[static_cast<std::size_t>(y) * size + x] = (x % 64 < 2 || y % 64 < 2) ? 200 : 40;
    return RoadRaster(size, size, std::move(pixels));
}

std::string treeText(const fs::path& root) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::string all;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        all += fs::relative(file, root).string() + "\n" + content.str();
    }
    return all;
}

}  // namespace

TEST(Generator, TreeImportsWithTheCountsItReports) {
    TempDir dir;
    const RoadRaster roads = gridRoads(1024);
    GeneratorOptions options;
    options.targetFixes = 150000;
    const GeneratorReport report = generateTrajectoryTree(roads, dir.root() / "raw", options);
    EXPECT_GE(report.inside, options.targetFixes);
    EXPECT_GT(report.outside, 0);  // take-offs leave the box

    TrajectoryLoader loader;
    const auto points = loader.load((dir.root() / "raw").string(), true);
    EXPECT_EQ(loader.report.trajectoryFiles, report.trajectoryFiles);
    EXPECT_EQ(loader.report.labelFiles, report.labelFiles);
    EXPECT_EQ(loader.report.bytes, report.bytes);
    EXPECT_EQ(loader.report.lines, report.lines);
    EXPECT_EQ(loader.report.outside, report.outside);
    EXPECT_EQ(loader.report.labelLines, report.labelLines);
    EXPECT_EQ(loader.report.unknownLabelNames, 0);
    ASSERT_EQ(static_cast<std::int64_t>(points.size()), report.inside);

    std::int64_t perMode[kModeCount] = {};
    std::int64_t peak = 0, night = 0;
    for (const auto& p : points) {
        int bit = 0;
        while ((1 << bit) != p.mode) ++bit;
        ++perMode[bit];
        EXPECT_TRUE(p.x >= 0.0f && p.x <= 1.0f && p.y >= 0.0f && p.y <= 1.0f);
        ASSERT_TRUE(p.time >= 0 && p.time < 86400);
        peak += (p.time >= 7 * 3600 && p.time < 9 * 3600) || (p.time >= 17 * 3600 && p.time < 19 * 3600);
        night += p.time >= 2 * 3600 && p.time < 4 * 3600;
    }
    for (int i = 0; i < kModeCount; ++i) EXPECT_EQ(perMode[i], report.perMode[i]) << "mode bit " << i;
    EXPECT_GT(peak, static_cast<std::int64_t>(points.size()) / 3);  // commute peaks
    EXPECT_LT(night, static_cast<std::int64_t>(points.size()) / 100);

    // Every label name, "taxi" included, and both line ends occur.
    const std::string text = treeText(dir.root() / "raw");
    for (const char* name : {"walk", "bike", "bus", "car", "taxi", "subway", "train", "airplane", "boat",
                             "run", "motorcycle"})
        EXPECT_NE(text.find(std::string("\t") + name + "\n"), std::string::npos) << name;
    EXPECT_NE(text.find("\r\n"), std::string::npos);
}

TEST(Generator, SameSeedSameTree) {
    TempDir dir;
    const RoadRaster roads = gridRoads(512);
    GeneratorOptions options;
    options.targetFixes = 20000;
    generateTrajectoryTree(roads, dir.root() / "a", options);
    generateTrajectoryTree(roads, dir.root() / "b", options);
    options.seed += 1;
    generateTrajectoryTree(roads, dir.root() / "c", options);
    const std::string a = treeText(dir.root() / "a");
    EXPECT_EQ(a, treeText(dir.root() / "b"));
    EXPECT_NE(a, treeText(dir.root() / "c"));
}

TEST(Generator, ReadsTheMapImage) {
    const fs::path map = fs::path(TRACKORA_SOURCE_DIR) / "resources" / "map.png";
    if (!fs::exists(map)) GTEST_SKIP() << "no resources/map.png";
    const RoadRaster roads = RoadRaster::fromMapImage(map.string());
    EXPECT_GE(roads.width(), 2048);
    EXPECT_EQ(roads.width(), roads.height());
    const double share = static_cast<double>(roads.roadPixels()) / (double(roads.width()) * roads.height());
    EXPECT_GT(share, 0.02);
    EXPECT_LT(share, 0.6);
    // The attribution label in the south-east corner is not road.
    EXPECT_EQ(roads.at(roads.width() - 10, roads.height() - 10), 0);
    EXPECT_THROW(RoadRaster::fromMapImage((map.parent_path() / "absent.png").string()), std::runtime_error);
}
