// The saved grid in real units, end to end: samples through the engine, the
// readout at the densest cell, "Save grid" and trackora-heatmap --geotiff,
// read back through GDAL as a GIS reads them.
#include <gtest/gtest.h>

#include <cpl_conv.h>
#include <gdal_priv.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/MapGeometry.h"
#include "app/ReadoutText.h"
#include "app/GridExport.h"
#include "engine/HeatmapEngine.h"
#include "tests/TempDir.h"

namespace {

struct Band {
    double transform[6] = {};
    std::vector<float> cells;  // first row north
    std::string units;
    // The stored value at a longitude and latitude, through the geotransform.
    float at(double longitude, double latitude) const {
        const int col = static_cast<int>(std::floor((longitude - transform[0]) / transform[1]));
        const int row = static_cast<int>(std::floor((latitude - transform[3]) / transform[5]));
        return cells[static_cast<std::size_t>(row) * 1000 + static_cast<std::size_t>(col)];
    }
};

Band readBand(const std::string& path) {
    GDALAllRegister();
    Band band;
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    EXPECT_TRUE(dataset) << CPLGetLastErrorMsg();
    if (!dataset) return band;
    dataset->GetGeoTransform(band.transform);
    band.cells.resize(1000 * 1000);
    EXPECT_EQ(dataset->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, 1000, 1000, band.cells.data(), 1000, 1000,
                                                  GDT_Float32, 0, 0, nullptr),
              CE_None);
    if (const char* units = dataset->GetMetadataItem("UNITS")) band.units = units;
    return band;
}

// Seven walks in one spot (the densest cell) and three buses in another.
constexpr double kDenseLat = 39.9087, kDenseLon = 116.3977;
constexpr int kDenseSamples = 7;
std::vector<Datapoint> samples() {
    std::vector<Datapoint> points;
    for (int i = 0; i < kDenseSamples; ++i)
        points.emplace_back(normalizeLatitude(static_cast<float>(kDenseLat)),
                            normalizeLongitude(static_cast<float>(kDenseLon)), mode::WALK, 3600 * i);
    for (int i = 0; i < 3; ++i) points.emplace_back(normalizeLatitude(39.8f), normalizeLongitude(116.5f), mode::BUS, 7200);
    return points;
}

}  // namespace

// What the readout says at the densest cell, what the legend's top says and
// what "Save grid" writes there agree, whatever the scale and kernel; with a
// one-cell kernel all three are the samples counted there over the cell's area.
TEST(Export, SavedGridHoldsTheReadoutsSamplesPerKm2AndTheCount) {
    setenv("TRACKORA_ENGINE", "cpu", 1);
    struct Case {
        int size;
        bool log;
    };
    for (const Case c : {Case{1, false}, Case{1, true}, Case{9, true}, Case{9, false}}) {
        SCOPED_TRACE("size " + std::to_string(c.size) + (c.log ? ", log" : ", linear"));
        TempDir dir;
        ControlSettings settings;
        settings.mode_mask = kAllModes;
        settings.kernel_size = c.size;
        settings.sigma = 2.0f;
        settings.use_log_scale = c.log;
        const std::vector<Datapoint> points = samples();
        HeatmapEngine::initialize(points, settings);
        const std::vector<float> grid = HeatmapEngine::computeHeatmap(settings);

        const analysis::MapPoint cursor{(kDenseLon - 116.15) / 0.45, (kDenseLat - 39.75) / 0.35};
        const analysis::GridCell cell = analysis::cellAt(cursor);
        const HeatmapEngine::CellValue value = HeatmapEngine::cellValue(cell.row, cell.col);
        const double readout = analysis::densityPerKm2(value.density, cell.row);
        const std::string readoutLine = analysis::readoutText(cursor, value.density, value.samples);
        const std::vector<analysis::LegendTick> legend = analysis::legendTicks(
            HeatmapEngine::lastMaximumDensity(), HeatmapEngine::lastUsedLogScale(), analysis::densestRow(grid));
        ASSERT_FALSE(legend.empty());

        const std::string density = (dir.root() / "density.tif").string();
        const std::string count = (dir.root() / "count.tif").string();
        saveGridGeoTiff(density, grid, settings, GridValues::perKm2, GeoFrame{});
        saveGridGeoTiff(count, grid, settings, GridValues::count, GeoFrame{});
        HeatmapEngine::release();

        const Band perKm2 = readBand(density);
        const Band counts = readBand(count);
        const float saved = perKm2.at(kDenseLon, kDenseLat);
        EXPECT_EQ(perKm2.units, "samples/km2");
        EXPECT_EQ(counts.units, "samples");
        EXPECT_NEAR(saved, readout, readout * 1e-6);
        const std::string shown = analysis::formatDensity(saved);
        EXPECT_NE(readoutLine.find("\n" + shown + " samples/km"), std::string::npos) << readoutLine << " vs " << shown;
        EXPECT_EQ(analysis::formatDensity(legend.front().perKm2), shown);
        // No cell of the saved grid is denser than the one the legend tops.
        float densest = 0.0f;
        for (float v : perKm2.cells) densest = std::max(densest, v);
        EXPECT_LE(densest, saved * 1.01f);

        EXPECT_EQ(counts.at(kDenseLon, kDenseLat), kDenseSamples);
        EXPECT_EQ(value.samples, kDenseSamples);
        EXPECT_EQ(counts.at(116.5, 39.8), 3.0f);
        if (c.size == 1) {
            EXPECT_NEAR(saved * analysis::cellAreaKm2(cell.row), kDenseSamples, kDenseSamples * 1e-6);
        }
    }
}

// trackora-heatmap: --geotiff holds samples per km² by default, --grid the
// display levels unless --values says otherwise, and --values count the
// samples in each cell, in both files.
TEST(Export, ToolWritesDensitiesByDefaultAndWhatValuesAsks) {
    TempDir dir;
    std::string records;
    for (const Datapoint& p : samples()) {
        const float x = p.x, y = p.y;
        const std::int32_t mode = p.mode, time = p.time;
        records.append(reinterpret_cast<const char*>(&x), 4).append(reinterpret_cast<const char*>(&y), 4);
        records.append(reinterpret_cast<const char*>(&mode), 4).append(reinterpret_cast<const char*>(&time), 4);
    }
    const std::string input = dir.write("samples.bin", records);
    const auto run = [&](const std::string& options) {
        const std::string command = std::string("TRACKORA_ENGINE=cpu ") + TRACKORA_HEATMAP_TOOL + " '" + input +
                                    "' --size 1 --linear " + options + " > /dev/null";
        return std::system(command.c_str());
    };
    const auto gridAt = [&](const std::string& name, double longitude, double latitude) {
        std::vector<float> cells(1000 * 1000);
        std::ifstream(dir.root() / name, std::ios::binary).read(reinterpret_cast<char*>(cells.data()), 4000000);
        const int row = static_cast<int>(std::floor((latitude - 39.75) / 0.00035));
        const int col = static_cast<int>(std::floor((longitude - 116.15) / 0.00045));
        return cells[static_cast<std::size_t>(row) * 1000 + static_cast<std::size_t>(col)];
    };
    const std::string d = dir.root().string();
    ASSERT_EQ(run("--geotiff '" + d + "/a.tif' --grid '" + d + "/a.grid'"), 0);
    const Band a = readBand(d + "/a.tif");
    EXPECT_EQ(a.units, "samples/km2");
    const int row = static_cast<int>(std::floor((kDenseLat - 39.75) / 0.00035));
    EXPECT_NEAR(a.at(kDenseLon, kDenseLat) * analysis::cellAreaKm2(row), kDenseSamples, 1e-4);
    EXPECT_EQ(gridAt("a.grid", kDenseLon, kDenseLat), 1.0f);

    ASSERT_EQ(run("--values count --geotiff '" + d + "/b.tif' --grid '" + d + "/b.grid'"), 0);
    EXPECT_EQ(readBand(d + "/b.tif").at(kDenseLon, kDenseLat), kDenseSamples);
    EXPECT_EQ(gridAt("b.grid", kDenseLon, kDenseLat), kDenseSamples);
    EXPECT_EQ(gridAt("b.grid", 116.5, 39.8), 3.0f);

    ASSERT_EQ(run("--values display --geotiff '" + d + "/c.tif'"), 0);
    EXPECT_EQ(readBand(d + "/c.tif").at(kDenseLon, kDenseLat), 1.0f);
    EXPECT_NE(run("--values samples --geotiff '" + d + "/d.tif' 2> /dev/null"), 0);
}

namespace {

// The saved picture's world file puts the map's drawn edges on the frame's
// edges, letterbox or not, and is withheld for a zoomed or panned view.
TEST(Export, SavedPictureWorldFileFollowsTheMapAsDrawn) {
    const GeoFrame frame{47.5, -122.5, 47.8, -122.1};
    const struct {
        const char* name;
        analysis::ViewTransform view;
        bool placed;
        double left, top, right, bottom;  // the map's edges in the 800 x 600 picture
    } cases[] = {
        {"fills the window", {1.0f, 0.0f, 0.0f, 1.0f, 1.0f}, true, 0, 0, 800, 600},
        {"letterboxed, wide", {1.0f, 0.0f, 0.0f, 1.0f, 0.5f}, true, 0, 150, 800, 450},
        {"letterboxed, tall", {1.0f, 0.0f, 0.0f, 0.75f, 1.0f}, true, 100, 0, 700, 600},
        {"pan stalled short of its target", {1.0f, 1e-7f, -1e-7f, 1.0f, 1.0f}, true, 0, 0, 800, 600},
        {"zoomed", {1.5f, 0.0f, 0.0f, 1.0f, 1.0f}, false, 0, 0, 0, 0},
        {"panned", {1.0f, 0.1f, 0.0f, 1.0f, 1.0f}, false, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<std::string> text = viewWorldFileText(frame, 800, 600, c.view);
        ASSERT_EQ(text.has_value(), c.placed);
        if (!c.placed) continue;
        std::istringstream in(*text);
        double a = 0, d = 0, b = 0, e = 0, x = 0, y = 0;
        ASSERT_TRUE(in >> a >> d >> b >> e >> x >> y);
        EXPECT_EQ(d, 0.0);
        EXPECT_EQ(b, 0.0);
        // Pixel edges: the centre of pixel (i, j) is (x + i a, y + j e).
        const auto longitude = [&](double edge) { return x - a / 2 + edge * a; };
        const auto latitude = [&](double edge) { return y - e / 2 + edge * e; };
        // Within a hundredth of a pixel: a stalled pan shifts the map that little.
        EXPECT_NEAR(longitude(c.left), frame.west, a / 100);
        EXPECT_NEAR(longitude(c.right), frame.east, a / 100);
        EXPECT_NEAR(latitude(c.top), frame.north, -e / 100);
        EXPECT_NEAR(latitude(c.bottom), frame.south, -e / 100);
    }
}

}  // namespace

// "Per day": the readout, the legend's top and the saved grid agree on the
// densest cell's density divided by the days, their units say per day, and
// the saved counts are divided too; zero days divide nothing.
TEST(Export, PerDayReadoutLegendAndSavedGridAgree) {
    setenv("TRACKORA_ENGINE", "cpu", 1);
    TempDir dir;
    ControlSettings settings;
    settings.mode_mask = kAllModes;
    settings.kernel_size = 1;
    settings.sigma = 2.0f;
    const std::vector<Datapoint> points = samples();
    HeatmapEngine::initialize(points, settings);
    const std::vector<float> grid = HeatmapEngine::computeHeatmap(settings);
    const analysis::MapPoint cursor{(kDenseLon - 116.15) / 0.45, (kDenseLat - 39.75) / 0.35};
    const analysis::GridCell cell = analysis::cellAt(cursor);
    const HeatmapEngine::CellValue value = HeatmapEngine::cellValue(cell.row, cell.col);
    const double whole = analysis::densityPerKm2(value.density, cell.row);
    constexpr std::int64_t kDays = 4;

    const std::string readout = analysis::readoutText(cursor, value.density, value.samples, GeoFrame{}, kDays);
    const std::string shown = analysis::formatDensity(whole / kDays);
    EXPECT_NE(readout.find("\n" + shown + " samples/km\xC2\xB2 per day\n"), std::string::npos) << readout;
    EXPECT_NE(readout.find("7 samples in this cell, 1.75 a day"), std::string::npos) << readout;
    const analysis::Legend legend = analysis::legendFor(HeatmapEngine::lastMaximumDensity(),
                                                        HeatmapEngine::lastUsedLogScale(), analysis::densestRow(grid),
                                                        analysis::ScaleLock{}, GeoFrame{}, kDays);
    EXPECT_EQ(legend.unit, "samples/km\xC2\xB2 per day");
    ASSERT_FALSE(legend.labels.empty());
    EXPECT_EQ(legend.labels.front(), shown);
    // Zero days: nothing divided, nor said to be per day.
    const std::string undivided = analysis::readoutText(cursor, value.density, value.samples, GeoFrame{}, 0);
    EXPECT_NE(undivided.find("\n" + analysis::formatDensity(whole) + " samples/km\xC2\xB2\n"), std::string::npos);

    const std::string density = (dir.root() / "density.tif").string();
    const std::string count = (dir.root() / "count.tif").string();
    saveGridGeoTiff(density, grid, settings, GridValues::perKm2, GeoFrame{}, {}, kDays);
    saveGridGeoTiff(count, grid, settings, GridValues::count, GeoFrame{}, {}, kDays);
    HeatmapEngine::release();
    const Band perKm2 = readBand(density);
    const Band counts = readBand(count);
    EXPECT_EQ(perKm2.units, "samples/km2/day");
    EXPECT_EQ(counts.units, "samples/day");
    EXPECT_NEAR(perKm2.at(kDenseLon, kDenseLat), whole / kDays, whole / kDays * 1e-6);
    EXPECT_EQ(counts.at(kDenseLon, kDenseLat), 7.0f / kDays);
}
