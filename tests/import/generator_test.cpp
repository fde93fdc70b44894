// The default-data generator: the tree it writes imports with exactly the
// counts it reports, its fixes lie on the roads (trains on the railways) all
// over the box, the same seed gives the same tree, and the committed map
// image and railway mask are recognised and agree.
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

// Two railway lines crossing the whole raster on streets of `gridRoads`,
// 3 pixels wide like the committed mask: one north-south, one east-west.
RoadRaster railLines(int size) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(size) * size, 0);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            if ((x >= 383 && x < 386) || (y >= 639 && y < 642)) pixels[static_cast<std::size_t>(y) * size + x] = 255;
    return RoadRaster(size, size, std::move(pixels));
}

// Whether a road (or rail) pixel lies within `reach` pixels of the sample.
bool near(const RoadRaster& raster, const Datapoint& p, int reach) {
    const int x = static_cast<int>(p.y * raster.width());
    const int y = static_cast<int>((1.0f - p.x) * raster.height());
    for (int dy = -reach; dy <= reach; ++dy)
        for (int dx = -reach; dx <= reach; ++dx)
            if (raster.at(x + dx, y + dy)) return true;
    return false;
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
    const RoadRaster rails = railLines(1024);
    GeneratorOptions options;
    options.targetFixes = 150000;
    const GeneratorReport report = generateTrajectoryTree(roads, dir.root() / "raw", options, &rails);
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
    std::int64_t onRoad = 0, onRoadCounted = 0, onRail = 0, railCounted = 0;
    // Quarters of the box (south-west, south-east, north-west, north-east),
    // the southern strip and the airport's corner.
    std::int64_t quarter[4] = {}, southernStrip = 0, airport = 0;
    std::set<int> blocks;  // of a 5 x 5 division of the box
    for (const auto& p : points) {
        int bit = 0;
        while ((1 << bit) != p.mode) ++bit;
        ++perMode[bit];
        EXPECT_TRUE(p.x >= 0.0f && p.x <= 1.0f && p.y >= 0.0f && p.y <= 1.0f);
        ASSERT_TRUE(p.time >= 0 && p.time < 86400);
        peak += (p.time >= 7 * 3600 && p.time < 9 * 3600) || (p.time >= 17 * 3600 && p.time < 19 * 3600);
        night += p.time >= 2 * 3600 && p.time < 4 * 3600;
        ++quarter[(p.x >= 0.5f) * 2 + (p.y >= 0.5f)];
        blocks.insert(std::min(4, static_cast<int>(p.x * 5)) * 5 + std::min(4, static_cast<int>(p.y * 5)));
        southernStrip += p.x < 0.11f;                // south of 39.79 N
        airport += p.x > 0.9f && p.y > 0.9f;          // north of 40.065 N, east of 116.555 E
        if (p.mode == mode::SUBWAY || p.mode == mode::TRAIN) {
            ++railCounted;
            onRail += near(rails, p, 1);
        } else if (p.mode != mode::AIRPLANE && p.mode != mode::BOAT) {
            ++onRoadCounted;
            onRoad += near(roads, p, 1);  // GPS noise is a few metres, a pixel here is 38 m
        }
    }
    for (int i = 0; i < kModeCount; ++i) {
        EXPECT_EQ(perMode[i], report.perMode[i]) << "mode bit " << i;
        EXPECT_GT(perMode[i], 0) << "mode bit " << i;
    }
    EXPECT_GT(peak, static_cast<std::int64_t>(points.size()) / 3);  // commute peaks
    EXPECT_LT(night, static_cast<std::int64_t>(points.size()) / 100);
    EXPECT_GT(onRoad, onRoadCounted * 99 / 100);
    ASSERT_GT(railCounted, 0);
    EXPECT_GT(onRail, railCounted * 99 / 100);
    // People live and work all over the box, not in one quarter.
    for (int i = 0; i < 4; ++i) EXPECT_GT(quarter[i], static_cast<std::int64_t>(points.size()) / 20) << "quarter " << i;
    EXPECT_GT(southernStrip, static_cast<std::int64_t>(points.size()) / 500);
    EXPECT_GE(blocks.size(), 20u);
    EXPECT_GT(airport, 0);

    // Every label name, "taxi" included, and both line ends occur.
    const std::string text = treeText(dir.root() / "raw");
    for (const char* name : {"walk", "bike", "bus", "car", "taxi", "subway", "train", "airplane", "boat",
                             "run", "motorcycle"})
        EXPECT_TRUE(text.find(std::string("\t") + name + "\n") != std::string::npos ||
                    text.find(std::string("\t") + name + "\r\n") != std::string::npos)
            << name;
    EXPECT_NE(text.find("\r\n"), std::string::npos);
}

TEST(Generator, SameSeedSameTree) {
    TempDir dir;
    const RoadRaster roads = gridRoads(1024);
    const RoadRaster rails = railLines(1024);
    GeneratorOptions options;
    options.targetFixes = 20000;
    generateTrajectoryTree(roads, dir.root() / "a", options, &rails);
    generateTrajectoryTree(roads, dir.root() / "b", options, &rails);
    options.seed += 1;
    generateTrajectoryTree(roads, dir.root() / "c", options, &rails);
    const std::string a = treeText(dir.root() / "a");
    EXPECT_EQ(a, treeText(dir.root() / "b"));
    EXPECT_NE(a, treeText(dir.root() / "c"));
}

TEST(Generator, ReadsTheMapImageAndItsRailwayMask) {
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
    EXPECT_THROW(RoadRaster::fromMaskImage((map.parent_path() / "absent.png").string()), std::runtime_error);

    // The railway mask is drawn from the same data in the same projection:
    // its lines lie on the map's railways, and a mask of another size is
    // refused rather than misread.
    const RoadRaster rails = RoadRaster::fromMaskImage((map.parent_path() / "railways.png").string());
    ASSERT_EQ(rails.width(), roads.width());
    ASSERT_EQ(rails.height(), roads.height());
    ASSERT_GT(rails.roadPixels(), 10000);
    // (The mask's lines are 3 pixels wide, the map's railways 1.2.)
    std::int64_t onMap = 0;
    for (int y = 0; y < rails.height(); ++y)
        for (int x = 0; x < rails.width(); ++x)
            if (rails.at(x, y))
                onMap += roads.at(x - 1, y) || roads.at(x, y) || roads.at(x + 1, y) || roads.at(x, y - 1) ||
                         roads.at(x, y + 1);
    EXPECT_GT(onMap, rails.roadPixels() * 95 / 100);
    TempDir dir;
    const RoadRaster small = gridRoads(512);
    EXPECT_THROW(generateTrajectoryTree(small, dir.root() / "raw", GeneratorOptions{}, &rails), std::runtime_error);
}
