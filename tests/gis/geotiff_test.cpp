// trackora-heatmap --geotiff: the grid placed on the earth where its cells
// lie, read back through GDAL as a GIS reads it.
#include <gtest/gtest.h>

#include <cpl_conv.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/GridExport.h"
#include "engine/HeatmapEngine.h"
#include "kde/KdeLogic.h"
#include "tests/TempDir.h"
#include "tools/import/ImportTool.h"

namespace {

struct Raster {
    double transform[6] = {};
    std::string epsg;
    int width = 0, height = 0;
    GDALDataType type = GDT_Unknown;
    std::string compression;
    std::string layout;
    std::string unit;
    std::string description;
    int overviews = 0;
    std::vector<float> rows;  // as stored: first row north
    std::string metadata(const char* name) const {
        for (const auto& [key, value] : items)
            if (key == name) return value;
        return "(absent)";
    }
    std::vector<std::pair<std::string, std::string>> items;

    // The stored value at a longitude and latitude, through the geotransform.
    float at(double longitude, double latitude) const {
        const int col = static_cast<int>(std::floor((longitude - transform[0]) / transform[1]));
        const int row = static_cast<int>(std::floor((latitude - transform[3]) / transform[5]));
        return rows[static_cast<std::size_t>(row) * width + col];
    }
};

Raster readBack(const std::string& path) {
    GDALAllRegister();
    Raster raster;
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    EXPECT_TRUE(dataset) << CPLGetLastErrorMsg();
    if (!dataset) return raster;
    dataset->GetGeoTransform(raster.transform);
    if (const OGRSpatialReference* srs = dataset->GetSpatialRef())
        raster.epsg = std::string(srs->GetAuthorityName(nullptr) ? srs->GetAuthorityName(nullptr) : "") + ":" +
                      (srs->GetAuthorityCode(nullptr) ? srs->GetAuthorityCode(nullptr) : "");
    raster.width = dataset->GetRasterXSize();
    raster.height = dataset->GetRasterYSize();
    EXPECT_EQ(dataset->GetRasterCount(), 1);
    GDALRasterBand* band = dataset->GetRasterBand(1);
    raster.type = band->GetRasterDataType();
    if (const char* c = dataset->GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE")) raster.compression = c;
    if (const char* l = dataset->GetMetadataItem("LAYOUT", "IMAGE_STRUCTURE")) raster.layout = l;
    raster.unit = band->GetUnitType();
    raster.description = band->GetDescription();
    raster.overviews = band->GetOverviewCount();
    raster.rows.resize(static_cast<std::size_t>(raster.width) * raster.height);
    EXPECT_EQ(band->RasterIO(GF_Read, 0, 0, raster.width, raster.height, raster.rows.data(), raster.width,
                             raster.height, GDT_Float32, 0, 0, nullptr),
              CE_None);
    if (char** items = dataset->GetMetadata()) {
        for (; *items; ++items) {
            const std::string item = *items;
            const auto eq = item.find('=');
            raster.items.emplace_back(item.substr(0, eq), item.substr(eq + 1));
        }
    }
    return raster;
}

void expectGeoreference(const Raster& raster) {
    // The cells tile the box exactly: its west and north edges, its spans over 1000.
    const double expected[6] = {116.15, 0.00045, 0.0, 40.1, 0.0, -0.00035};
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(raster.transform[i], expected[i], 1e-12) << "geotransform " << i;
    EXPECT_EQ(raster.epsg, "EPSG:4326");
    EXPECT_EQ(raster.width, 1000);
    EXPECT_EQ(raster.height, 1000);
    EXPECT_EQ(raster.type, GDT_Float32);
    EXPECT_EQ(raster.compression, "DEFLATE");
}

// A cluster in the south-east and a lone point in the north-west, so a
// flipped or mirrored file puts them elsewhere.
std::vector<Datapoint> clusters() {
    std::vector<Datapoint> points;
    for (int i = 0; i < 3; ++i) points.emplace_back(normalizeLatitude(39.8f), normalizeLongitude(116.5f), mode::BUS, 3600);
    points.emplace_back(normalizeLatitude(40.05f), normalizeLongitude(116.2f), mode::WALK, 3600);
    return points;
}

TEST(GeoTiff, ClustersLieAtTheirLatitudeAndLongitude) {
    TempDir dir;
    ControlSettings settings;
    settings.mode_mask = kAllModes;
    settings.kernel_size = 1;
    settings.use_log_scale = false;
    setenv("TRACKORA_ENGINE", "cpu", 1);
    const auto points = clusters();
    HeatmapEngine::initialize(points, settings);
    const std::vector<float> grid = HeatmapEngine::computeHeatmap(settings);
    const float densest = HeatmapEngine::lastMaximumDensity();
    HeatmapEngine::release();
    const std::string path = (dir.root() / "heat.tif").string();
    writeDensityGeoTiff(path, grid, settings, densest, GridValues::display, GeoFrame{});

    const Raster raster = readBack(path);
    expectGeoreference(raster);
    ASSERT_EQ(raster.rows.size(), grid.size());
    EXPECT_EQ(raster.at(116.5, 39.8), 1.0f);
    EXPECT_EQ(raster.at(116.2, 40.05), 1.0f / 3.0f);
    EXPECT_EQ(raster.at(116.5, 40.05), 0.0f);  // the cluster mirrored north
    EXPECT_EQ(raster.at(116.2, 39.8), 0.0f);
    // The band holds the grid exactly, its first row being grid row 999.
    for (int row = 0; row < 1000; ++row)
        for (int col = 0; col < 1000; ++col)
            ASSERT_EQ(raster.rows[static_cast<std::size_t>(999 - row) * 1000 + col], grid[row * 1000 + col])
                << "grid row " << row << ", column " << col;
    EXPECT_EQ(raster.metadata("MAX_DENSITY"), "3");
    EXPECT_EQ(raster.metadata("SIZE"), "1");
    EXPECT_EQ(raster.metadata("MODES"), "all");
    EXPECT_EQ(raster.metadata("SCALE"), "linear");
    EXPECT_EQ(raster.metadata("TIME_WINDOW"), "00:00:00-24:00:00");
    // Nothing but the file itself: no temporary or sidecar file stays.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.root()), {}), 1);
}

// From a phone's GPX file to a GeoTIFF with the tool: the band equals what
// --grid writes and the track lies where it was recorded.
TEST(GeoTiff, ToolWritesTheGridOfAGpxTrack) {
    TempDir dir;
    std::string gpx =
        "<?xml version=\"1.0\"?>\n<gpx version=\"1.1\" creator=\"phone\" "
        "xmlns=\"http://www.topografix.com/GPX/1/1\"><trk><trkseg>\n";
    for (int i = 0; i < 20; ++i)
        gpx += "<trkpt lat=\"39.9\" lon=\"" + std::to_string(116.3 + i * 0.0001) + "\"><time>2009-06-01T0" +
               std::to_string(i % 10) + ":00:00Z</time></trkpt>\n";
    gpx += "</trkseg></trk></gpx>\n";
    const std::string input = dir.write("walk.gpx", gpx);
    const std::string tif = (dir.root() / "walk.tif").string();
    const std::string grid = (dir.root() / "walk.grid").string();
    const std::string command = std::string("TRACKORA_ENGINE=cpu ") + TRACKORA_HEATMAP_TOOL + " '" + input +
                                "' --sigma 2 --size 7 --modes unknown --time 00:00-05:00 --linear --values display --geotiff '" + tif +
                                "' --grid '" + grid + "' > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);

    const Raster raster = readBack(tif);
    expectGeoreference(raster);
    std::vector<float> cells(1000 * 1000);
    std::ifstream(grid, std::ios::binary).read(reinterpret_cast<char*>(cells.data()), 4000000);
    for (int row = 0; row < 1000; ++row)
        for (int col = 0; col < 1000; ++col)
            ASSERT_EQ(raster.rows[static_cast<std::size_t>(999 - row) * 1000 + col], cells[row * 1000 + col]);
    EXPECT_GT(raster.at(116.3005, 39.9), 0.5f);
    EXPECT_EQ(raster.at(116.3005, 39.95), 0.0f);
    EXPECT_EQ(raster.metadata("SIGMA"), "2");
    EXPECT_EQ(raster.metadata("SIZE"), "7");
    EXPECT_EQ(raster.metadata("MODES"), "unknown");
    EXPECT_EQ(raster.metadata("TIME_WINDOW"), "00:00:00-05:00:00");
    EXPECT_EQ(raster.metadata("SCALE"), "linear");
    // Twelve points between 00:00 and 05:00 along the line: the densest cell
    // holds one to three of them, weighted by the Gaussian.
    const double densest = std::stod(raster.metadata("MAX_DENSITY"));
    EXPECT_GT(densest, 0.0);
    EXPECT_LT(densest, 3.0);
}

// Runs the tool through the shell; its exit status, with stdout and stderr
// in `output`.
int runTool(const std::string& arguments, std::string& output, const std::string& prefix = "") {
    const std::string command = prefix + "TRACKORA_ENGINE=cpu " + TRACKORA_HEATMAP_TOOL + " " + arguments + " 2>&1";
    output.clear();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, got);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One file named twice as an output, by whatever path, is refused before
// anything is written: only the last write would have survived.
TEST(GeoTiff, ATargetNamedTwiceIsRefused) {
    TempDir dir;
    const std::string input = dir.write("in.txt", "39.9 116.3 3600 2\n");
    const std::string target = (dir.root() / "out.tif").string();
    const std::string script = dir.write("lines", "--geotiff " + target + "\n--sigma 2 --grid " +
                                                      (dir.root() / "." / "out.tif").string() + "\n");
    struct Case {
        std::string arguments;
        const char* where;
    };
    const Case cases[] = {
        {"--grid " + target + " --geotiff " + target, "(--grid and --geotiff)"},
        {"--script " + script, "(line 1 --geotiff and line 2 --grid)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        std::string output;
        EXPECT_EQ(runTool(input + " " + c.arguments, output), 2);
        EXPECT_NE(output.find("is named twice as an output " + std::string(c.where)), std::string::npos) << output;
        EXPECT_FALSE(std::filesystem::exists(target));
    }
}

// A script's outputs are opened one line at a time: hundreds of them run
// under a limit of 32 descriptors.
TEST(GeoTiff, AScriptHoldsFewDescriptorsOpen) {
    TempDir dir;
    const std::string input = dir.write("in.txt", "39.9 116.3 3600 2\n");
    std::string lines;
    for (int i = 0; i < 200; ++i) lines += "--geotiff " + (dir.root() / "out" / (std::to_string(i) + ".tif")).string() + "\n";
    const std::string script = dir.write("lines", lines);
    std::filesystem::create_directories(dir.root() / "out");
    std::string output;
    ASSERT_EQ(runTool(input + " --script " + script, output, "ulimit -n 32; "), 0) << output;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.root() / "out"), {}), 200);
}

// GDAL never sees the target's name: "/vsimem/..." is a file like any other,
// written whole, not an empty file beside GDAL's memory.
TEST(GeoTiff, AVirtualLookingNameIsAnOrdinaryFile) {
    if (::access("/", W_OK) != 0 || std::filesystem::exists("/vsimem")) GTEST_SKIP() << "needs to make /vsimem";
    TempDir dir;
    const std::string input = dir.write("in.txt", "39.9 116.3 3600 2\n");
    const std::string target = "/vsimem/trackora-test-" + std::to_string(::getpid()) + "/x.tif";
    std::string output;
    const int status = runTool(input + " --geotiff " + target, output);
    std::string head(4, '\0');
    std::ifstream(target, std::ios::binary).read(head.data(), 4);
    const auto size = std::filesystem::exists(target) ? std::filesystem::file_size(target) : 0;
    std::filesystem::remove_all("/vsimem");
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(head, std::string("II*\0", 4));
    EXPECT_GT(size, 1000u);
}

// An engine named with --engine that cannot run is an error, not a quiet
// run on another engine.
TEST(GeoTiff, ANamedEngineThatCannotRunIsAnError) {
    TempDir dir;
    const std::string input = dir.write("in.txt", "39.9 116.3 3600 2\n");
    std::string output;
    const int status = runTool(input + " --engine cuda", output);
    if (status == 0) {
        EXPECT_NE(output.find("Density engine: CUDA"), std::string::npos) << output;
    } else {
        EXPECT_EQ(status, 2) << output;
        EXPECT_NE(output.find("--engine cuda: the CUDA engine cannot run here"), std::string::npos) << output;
    }
}

}  // namespace

namespace {

// Another city, south of the equator and west of Greenwich: recordings
// imported with --box, their density saved by the tool, and the GeoTIFF
// read back through GDAL lies on that box with the heat where it was
// recorded, in samples per km².
TEST(GeoTiff, RecordingsFromAnotherCityLandWhereTheyWereRecorded) {
    TempDir dir;
    std::string lines = "h1\nh2\nh3\nh4\nh5\nh6\n";
    for (int i = 0; i < 50; ++i) lines += "-12.0462,-77.04265,0,0,0,2009-06-01,08:00:" + std::to_string(10 + i % 40) + "\n";
    dir.write("lima/000/Trajectory/1.plt", lines);
    const std::string samples = (dir.root() / "lima.bin").string();
    ImportOptions import;
    import.input = (dir.root() / "lima").string();
    import.output = samples;
    import.box = GeoFrame{-12.3, -77.2, -11.9, -76.8};
    std::ostringstream out, err;
    ASSERT_EQ(runImport(import, out, err), 0) << err.str();

    const std::string tif = (dir.root() / "lima.tif").string();
    const std::string command = std::string("TRACKORA_ENGINE=cpu ") + TRACKORA_HEATMAP_TOOL + " '" + samples +
                                "' --sigma 1 --size 3 --modes all --geotiff '" + tif + "' > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const Raster raster = readBack(tif);
    const double expected[6] = {-77.2, 0.0004, 0.0, -11.9, 0.0, -0.0004};
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(raster.transform[i], expected[i], 1e-12) << "geotransform " << i;
    EXPECT_EQ(raster.epsg, "EPSG:4326");
    EXPECT_EQ(raster.metadata("UNITS"), "samples/km2");
    // 50 samples in one cell of the 3 x 3 table: its centre weight over the
    // cell's area at 12 S. The cells there are 2.2% narrower than high, so
    // the table is narrowed east-west to stay round on the ground.
    const double area = 0.00193473255;  // km², the readout test's cell
    const double aspect = cellAspect(*import.box);
    ASSERT_LT(aspect, 0.98);
    // The table's centre weight, computed here from the Gaussian: sigma 1
    // north-south, 1 / aspect cells east-west.
    double sum = 0.0;
    for (int i = -1; i <= 1; ++i)
        for (int j = -1; j <= 1; ++j) sum += std::exp(-0.5 * (i * i + j * j * aspect * aspect));
    const double centreWeight = 1.0 / sum;
    EXPECT_NEAR(raster.at(-77.04265, -12.0462), 50 * centreWeight / area, 0.5);
    EXPECT_EQ(raster.at(-77.1, -12.2), 0.0f);
}

}  // namespace

namespace {

// A sample file whose frame file names its clock: the GeoTIFF's time window
// says which clock its hours are on.
TEST(GeoTiff, TimeWindowNamesTheSamplesClock) {
    TempDir dir;
    const std::vector<Datapoint> samples(10, Datapoint(0.5f, 0.5f, mode::WALK, 8 * 3600));
    const std::string input = dir.write("la.bin", std::string_view(reinterpret_cast<const char*>(samples.data()),
                                                                   samples.size() * sizeof(Datapoint)));
    dir.write("la.bin.frame", frameFileText(GeoFrame{}, "America/Los_Angeles"));
    const std::string tif = (dir.root() / "la.tif").string();
    const std::string command = std::string("TRACKORA_ENGINE=cpu ") + TRACKORA_HEATMAP_TOOL + " '" + input +
                                "' --time 07:00-09:00 --geotiff '" + tif + "' > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(readBack(tif).metadata("TIME_WINDOW"), "07:00:00-09:00:00 America/Los_Angeles");
}

}  // namespace

namespace {

// What a GIS shows of the band: its unit and a description of what it holds
// and how it was made; laid out cloud-optimised, with overviews averaged
// where an average means something (never for counts).
TEST(GeoTiff, BandsCarryTheirUnitAndDescriptionInACloudOptimisedLayout) {
    TempDir dir;
    ControlSettings settings;
    settings.mode_mask = mode::WALK | mode::BUS;
    settings.min_time = 7 * 3600;
    settings.max_time = 9 * 3600;
    settings.sigma = 2.5f;
    std::vector<float> grid(kGridCells, 0.0f);
    grid[500500] = 3.0f;
    const struct {
        GridValues values;
        const char* unit;
        const char* description;
        bool overviews;
    } cases[] = {
        {GridValues::perKm2, "samples/km2",
         "density, samples per km2; modes walk,bus; window 07:00:00-09:00:00 America/Los_Angeles; sigma 2.5 cells "
         "(97 m), size 5 cells (195 m)",
         true},
        {GridValues::count, "samples", "samples centred in each cell; modes walk,bus; window 07:00:00-09:00:00 "
                                       "America/Los_Angeles",
         false},
        {GridValues::display, "", "display level 0-1; modes walk,bus; window 07:00:00-09:00:00 America/Los_Angeles; "
                                  "sigma 2.5 cells (97 m), size 5 cells (195 m), log scale",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.unit);
        const std::string path = (dir.root() / "band.tif").string();
        writeDensityGeoTiff(path, grid, settings, 3.0, c.values, GeoFrame{}, "America/Los_Angeles");
        const Raster raster = readBack(path);
        expectGeoreference(raster);
        EXPECT_EQ(raster.layout, "COG");
        EXPECT_EQ(raster.unit, c.unit);
        EXPECT_EQ(raster.description, c.description);
        EXPECT_EQ(raster.overviews > 0, c.overviews) << raster.overviews;
        EXPECT_EQ(raster.at(116.375 + 0.0001, 39.925 + 0.0001), 3.0f);  // the values as they were
    }
}

}  // namespace

namespace {

// Values per day say so: the unit and UNITS per day, the days counted in
// DAYS, and a difference names its second selection and its days.
TEST(GeoTiff, PerDayValuesCarryTheirUnitAndDays) {
    TempDir dir;
    // Saturday 2008-03-01 and Monday 2008-03-03, two samples in one cell.
    const std::string input = dir.write("s.txt", "39.90005 116.30005 100 2 2008-03-01\n"
                                                 "39.90005 116.30005 200 2 2008-03-03\n");
    const std::string tif = (dir.root() / "days.tif").string();
    const struct {
        std::string options;
        const char* unit;
        const char* days;
        const char* daysB;
        float value;
    } cases[] = {
        {"--per-day --values count", "samples/day", "3", nullptr, 2.0f / 3.0f},
        {"--per-day", "samples/km2/day", "3", nullptr, -1.0f},
        // The data runs Saturday to Monday: its weekend is two days.
        {"--weekdays sat,sun --per-day --values count", "samples/day", "2", nullptr, 0.5f},
        {"--values count --weekdays mon --versus --weekdays sat", "samples/day", "1", "1", 0.0f},
        {"--values count", "samples", nullptr, nullptr, 2.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        std::string output;
        ASSERT_EQ(runTool("'" + input + "' --size 1 --geotiff '" + tif + "' " + c.options, output), 0) << output;
        const Raster raster = readBack(tif);
        EXPECT_EQ(raster.unit, c.unit);
        EXPECT_EQ(raster.metadata("UNITS"), c.unit);
        EXPECT_EQ(raster.metadata("DAYS"), c.days ? c.days : "(absent)");
        EXPECT_EQ(raster.metadata("DAYS_B"), c.daysB ? c.daysB : "(absent)");
        if (c.value >= 0.0f) {
            EXPECT_EQ(raster.at(116.30005, 39.90005), c.value);
        }
    }
}

// A day cube per day: each slice's counts over the selection's days, its

// A day cube the tool wrote, read back through GDAL's multidimensional API:
// the count variable's unit, its slices whole, its grid mapping, the time
// axis's unit and the global "days" attribute.
struct CubeRead {
    std::string unit;
    std::size_t steps = 0;
    std::vector<float> cells;  // steps x 1000 x 1000
    bool mapped = false;
    std::string timeUnit;
    std::string days;
};
CubeRead readCube(const std::string& path) {
    CubeRead cube;
    GDALAllRegister();
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_MULTIDIM_RASTER | GDAL_OF_READONLY));
    EXPECT_TRUE(dataset) << CPLGetLastErrorMsg();
    if (!dataset) return cube;
    const auto root = dataset->GetRootGroup();
    const auto counts = root->OpenMDArray("count");
    EXPECT_TRUE(counts);
    if (!counts || counts->GetDimensionCount() != 3) return cube;
    cube.unit = counts->GetUnit();
    cube.steps = counts->GetDimensions()[0]->GetSize();
    cube.mapped = counts->GetSpatialRef() != nullptr;
    cube.timeUnit = root->OpenMDArray("time")->GetUnit();
    if (const auto days = root->GetAttribute("days")) cube.days = days->ReadAsString();
    cube.cells.resize(cube.steps * kGridCells);
    const GUInt64 start[3] = {0, 0, 0};
    const size_t count[3] = {cube.steps, 1000, 1000};
    EXPECT_TRUE(counts->Read(start, count, nullptr, nullptr, GDALExtendedDataType::Create(GDT_Float32), cube.cells.data()));
    return cube;
}
// unit per day and the days counted recorded.
TEST(GeoTiff, PerDayCubeSlicesAreCountsOverTheDays) {
    TempDir dir;
    const std::string input = dir.write("s.txt", "39.90005 116.30005 100 2 2008-03-01\n"
                                                 "39.90005 116.30005 200 2 2008-03-03\n"
                                                 "39.90005 116.30005 50000 2 2008-03-03\n");
    const std::string cube = (dir.root() / "days.nc").string();
    std::string output;
    ASSERT_EQ(runTool("'" + input + "' --values count --per-day --cube '" + cube + "' --step 12h", output), 0) << output;
    const CubeRead read = readCube(cube);
    EXPECT_EQ(read.unit, "samples/day");
    EXPECT_EQ(read.days, "3");
    ASSERT_EQ(read.steps, 2u);
    const std::vector<float>& cells = read.cells;
    float morning = 0, afternoon = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(kGridCells); ++i) {
        morning += cells[i];
        afternoon += cells[i + kGridCells];
    }
    EXPECT_EQ(morning, 2.0f / 3.0f);
    EXPECT_EQ(afternoon, 1.0f / 3.0f);
}

// A picture of a frame that is not square on the ground keeps its shape (a
// square one squashes it) and carries its world file and coordinate system,
// so GDAL places it on the frame; the default box stays 1000 x 1000.
TEST(GeoTiff, PicturesKeepTheFramesShapeAndCarryTheirPlace) {
    TempDir dir;
    const struct {
        GeoFrame frame;
        const char* size;
        int width, height;
    } cases[] = {
        {GeoFrame{47.425, -122.55, 47.775, -122.1}, "", 867, 1000},  // cells 33.7 x 38.9 m
        {GeoFrame{-0.15, 10.0, 0.15, 10.45}, " --png-size 600", 600, 400},
        {GeoFrame{}, "", 1000, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(frameText(c.frame));
        const std::string input = dir.writeRecords("in.bin", std::vector<Datapoint>{Datapoint(0.5f, 0.5f, mode::WALK, 60)});
        dir.write("in.bin.frame", frameFileText(c.frame));
        const std::string png = (dir.root() / "map.png").string();
        const std::string lut = dir.write("lut.ppm", std::string("P6\n1 2\n255\n") + std::string(6, '\x40'));
        std::string output;
        ASSERT_EQ(runTool("'" + input + "' --lut '" + lut + "' --png '" + png + "'" + c.size, output), 0) << output;
        GDALAllRegister();
        GDALDatasetUniquePtr picture(GDALDataset::Open(png.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
        ASSERT_TRUE(picture);
        EXPECT_EQ(picture->GetRasterXSize(), c.width);
        EXPECT_EQ(picture->GetRasterYSize(), c.height);
        double transform[6] = {};
        ASSERT_EQ(picture->GetGeoTransform(transform), CE_None);
        EXPECT_NEAR(transform[0], c.frame.west, 1e-9);
        EXPECT_NEAR(transform[3], c.frame.north, 1e-9);
        EXPECT_NEAR(transform[0] + transform[1] * c.width, c.frame.east, 1e-9);
        EXPECT_NEAR(transform[3] + transform[5] * c.height, c.frame.south, 1e-9);
        const OGRSpatialReference* srs = picture->GetSpatialRef();
        ASSERT_TRUE(srs);
        EXPECT_STREQ(srs->GetAuthorityCode(nullptr), "4326");
    }
}

}  // namespace

namespace {

// The day cube as xarray and QGIS read it: one slice per step, CF
// coordinates and units, and with counts the slices add up to the day.
TEST(GeoTiff, DayCubeSlicesAddUpToTheWholeDay) {
    TempDir dir;
    std::vector<Datapoint> points;
    for (int i = 0; i < 500; ++i)
        points.emplace_back(0.4f + (i % 7) * 0.01f, 0.6f - (i % 5) * 0.01f, static_cast<TransportationMode>(1 << (i % 3)),
                            (i * 173) % 86400);
    const std::string input = dir.writeRecords("day.bin", points);
    const std::string cube = (dir.root() / "day.nc").string();
    std::string output;
    ASSERT_EQ(runTool("'" + input + "' --values count --cube '" + cube + "' --step 1h", output), 0) << output;
    const CubeRead read = readCube(cube);
    EXPECT_EQ(read.unit, "samples");
    ASSERT_EQ(read.steps, 24u);
    EXPECT_TRUE(read.mapped);
    EXPECT_EQ(read.timeUnit, "seconds since 2000-01-01 00:00:00");
    const std::vector<float>& cells = read.cells;
    std::vector<double> day(kGridCells, 0.0);
    for (std::size_t i = 0; i < cells.size(); ++i) day[i % kGridCells] += cells[i];
    std::vector<double> expected(kGridCells, 0.0);
    for (const Datapoint& p : points) {
        const kde::Cell cell = kde::cell_of(p);
        expected[static_cast<std::size_t>(cell.row) * kGridSide + cell.col] += 1.0;
    }
    EXPECT_EQ(day, expected);
    // Hour 0 holds exactly the samples of its first 3600 seconds.
    double firstHour = 0.0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(kGridCells); ++i) firstHour += cells[i];
    EXPECT_EQ(firstHour, static_cast<double>(std::count_if(points.begin(), points.end(),
                                                           [](const Datapoint& p) { return p.time < 3600; })));
    // A step that does not divide the day is refused before anything is read.
    EXPECT_EQ(runTool("'" + input + "' --cube '" + cube + "' --step 7m", output), 2);
    EXPECT_NE(output.find("--step: \"7m\" is not a step that divides the day"), std::string::npos) << output;
}

}  // namespace
