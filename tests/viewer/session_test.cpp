// Opening data while the viewer runs: a folder dropped on the window loads
// in the background and replaces the open samples; a failed load keeps them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include "app/MapGeometry.h"
#include "app/ReadoutText.h"
#include "app/AppState.h"
#include "settings/ControlSettings.h"
#include "app/Input.h"
#include "app/Session.h"
#include "engine/HeatmapEngine.h"
#include "tests/TempDir.h"

namespace {

const std::string kHeader =
    "Geolife trajectory\nWGS 84\nAltitude is in Feet\nReserved 3\n0,2,255,My Track,0,0,2,8421376\n0\n";

// Waits for the background load the drop started and applies it, as the
// frame loop does at the start of a frame.
bool finishLoad() {
    session.loader.wait();
    return applyFinishedLoad();
}

}  // namespace

TEST(Session, DroppedFolderIsImportedAndReplacesTheSamplesAndAFailureKeepsThem) {
    TempDir dir;
    // Two users: three walks (labelled) and two unlabelled fixes.
    dir.write("tree/000/labels.txt",
              "Start Time\tEnd Time\tTransportation Mode\n2009/06/01 08:00:00\t2009/06/01 09:00:00\twalk\n");
    dir.write("tree/000/Trajectory/a.plt", kHeader + "39.9,116.3,0,0,0,2009-06-01,08:00:00\n"
                                                     "39.9,116.3,0,0,0,2009-06-01,08:10:00\n"
                                                     "39.9,116.3,0,0,0,2009-06-01,08:20:00\n");
    dir.write("tree/001/Trajectory/b.plt", kHeader + "39.8,116.4,0,0,0,2009-06-01,12:00:00\n"
                                                     "39.8,116.4,0,0,0,2009-06-01,12:05:00\n");
    const std::string folder = (dir.root() / "tree").string();

    settings = ControlSettings{};
    settings.toggleMode(mode::WALK);  // ticked while nothing was open
    settings.use_log_scale = false;
    settings.applied_mode_mask = settings.mode_mask;
    const char* paths[] = {folder.c_str()};
    dropCallback(nullptr, 1, paths);
    ASSERT_TRUE(finishLoad());

    ASSERT_TRUE(dataset);
    EXPECT_EQ(dataset->count, 5);
    EXPECT_EQ(session.openPath, folder);
    EXPECT_EQ(session.openCount, 5);
    EXPECT_EQ(session.summary.counts[1], 3);  // walks
    EXPECT_EQ(session.summary.counts[0], 2);  // unknown
    EXPECT_EQ(session.summary.bins[1][32], 2);  // 08:00-08:15
    EXPECT_EQ(session.summary.bins[1][33], 1);  // 08:15-08:30
    // The new samples have no grid yet: the tick made earlier applies now.
    EXPECT_TRUE(settings.needsRecompute());
    const std::vector<float> grid = HeatmapEngine::computeHeatmap(settings);
    EXPECT_EQ(grid.size(), static_cast<std::size_t>(kGridCells));
    const int row = static_cast<int>((39.9f - 39.75f) / 0.35f * 1000.0f);
    const int col = static_cast<int>((116.3f - 116.15f) / 0.45f * 1000.0f);
    EXPECT_EQ(HeatmapEngine::cellValue(row, col).samples, 3);
    // The readout over that cell's middle names the same cell's numbers.
    const analysis::MapPoint middle{(col + 0.5) / 1000.0, (row + 0.5) / 1000.0};
    const HeatmapEngine::CellValue value = HeatmapEngine::cellValue(row, col);
    EXPECT_GT(value.density, 0.0f);
    const std::string text = analysis::readoutText(middle, value.density, value.samples);
    EXPECT_EQ(text.substr(text.find('\n') + 1),
              analysis::formatDensity(value.density / analysis::cellAreaKm2(row)) +
                  " samples/km\xC2\xB2\n3 samples in this cell");

    // A path that is not there: one line in the panel, the samples stay.
    const std::string missing = (dir.root() / "nothing-here.bin").string();
    const char* missingPaths[] = {missing.c_str()};
    dropCallback(nullptr, 1, missingPaths);
    ASSERT_TRUE(finishLoad());
    EXPECT_EQ(session.loadMessage, "Could not load samples from \"" + missing + "\": No such file or directory");
    EXPECT_EQ(dataset->count, 5);
    EXPECT_EQ(session.openPath, folder);
    HeatmapEngine::release();
}

// Save grid and Save image never write over what is open: the sample file
// or its frame file would be destroyed while the viewer shows them.
TEST(Session, SavesRefuseTheOpenDataAndItsFrameFile) {
    TempDir dir;
    const std::string samples = dir.writeRecords("city.bin", std::vector<Datapoint>{Datapoint(0.5f, 0.5f, mode::WALK, 3600)});
    const std::string frame = dir.write("city.bin.frame", "# frame\nsouth 39.75\nwest 116.15\nnorth 40.1\neast 116.6\n");
    settings = ControlSettings{};
    const char* paths[] = {samples.c_str()};
    dropCallback(nullptr, 1, paths);
    ASSERT_TRUE(finishLoad());
    ASSERT_EQ(session.openPath, samples);
    settings.mode_mask = kAllModes;
    acceptGrid(HeatmapEngine::computeHeatmap(settings));
    for (const std::string& target : {samples, frame}) {
        const auto before = std::filesystem::file_size(target);
        target.copy(session.gridName.data(), target.size());
        session.gridName[target.size()] = '\0';
        saveGrid();
        EXPECT_TRUE(session.saveMessageIsError) << target;
        EXPECT_NE(session.saveMessage.find("which the save would destroy"), std::string::npos) << session.saveMessage;
        EXPECT_EQ(std::filesystem::file_size(target), before);
        EXPECT_FALSE(openDataClash(target).empty());
    }
    EXPECT_EQ(openDataClash((dir.root() / "other.tif").string()), "");
}

// A lock with nothing drawn would hold nothing while staying ticked: it is
// refused with a line until there is heat.
TEST(Session, ScaleLockIsRefusedWithNothingDrawn) {
    session.scaleLock = {};
    session.frameMaximum = 0.0;
    lockScale(false);
    EXPECT_FALSE(session.scaleLock.locked);
    EXPECT_EQ(session.lockMessage, "Nothing to lock yet: tick a mode so heat is drawn");
    session.frameMaximum = 12.5;
    lockScale(false);
    EXPECT_TRUE(session.scaleLock.locked);
    EXPECT_EQ(session.scaleLock.maxDensity, 12.5);
    EXPECT_EQ(session.lockMessage, "");
    unlockScale();
}

namespace {

// One motorway across Lima's frame, for the basemap tests.
const char* const kLimaExtract = R"(<?xml version="1.0" encoding="UTF-8"?>
<osm version="0.6" generator="trackora-test">
  <node id="1" version="1" lat="-12.1" lon="-77.2"/>
  <node id="2" version="1" lat="-12.1" lon="-76.8"/>
  <way id="10" version="1"><nd ref="1"/><nd ref="2"/><tag k="highway" v="motorway"/></way>
</osm>
)";

// Samples of Lima's frame open (none of them needed), with small basemaps.
void openLimaFrame() {
    dataset = std::make_unique<Dataset>(Dataset{"lima", 0, GeoFrame{-12.3, -77.2, -11.9, -76.8}, {}});
    session.openPath.clear();
    session.basemapMaxSide = 64;
    session.basemapAttribution.clear();
}

}  // namespace

// Typing in the Basemap field is a draft: a basemap being made for the
// chosen source is shown when done, and only Use or Enter starts another.
TEST(Session, BasemapFieldTypingChangesNothingUntilUse) {
    TempDir dir;
    const std::string extract = dir.write("lima.osm", kLimaExtract);
    const std::string other = (dir.root() / "callao.osm").string();  // not there
    openLimaFrame();
    const auto type = [](const std::string& text) {
        const std::size_t n = std::min(text.size(), session.basemapName.size() - 1);
        text.copy(session.basemapName.data(), n);
        session.basemapName[n] = '\0';
    };
    const auto finish = [] {
        if (session.basemapJob.valid()) session.basemapJob.wait();
        applyFinishedBasemap();
    };

    type(extract);
    useBasemap();
    ASSERT_TRUE(session.basemapJob.valid());
    type(other.substr(0, other.size() - 3));  // half-way through a new name
    finish();
    EXPECT_EQ(session.loadMessage, "");
    EXPECT_EQ(session.basemapAttribution, "Map data \xC2\xA9 OpenStreetMap contributors");
    EXPECT_FALSE(session.basemapJob.valid()) << "typing started another basemap";

    type(other);  // and Enter
    useBasemap();
    finish();
    EXPECT_NE(session.loadMessage.find("callao.osm"), std::string::npos) << session.loadMessage;

    session.basemapSource.clear();
    session.basemapName[0] = '\0';
    session.basemapMaxSide = 16384;
    session.loadMessage.clear();
    dataset.reset();
}

// A basemap being made for a source no longer chosen stops (another Use),
// and so does one being made when the viewer closes, leaving nothing shown.
TEST(Session, BasemapBeingMadeStopsOnAnotherUseAndOnClose) {
    TempDir dir;
    const std::string extract = dir.write("lima.osm", kLimaExtract);
    const std::string other = (dir.root() / "callao.osm").string();  // not there
    openLimaFrame();
    const auto use = [](const std::string& text) {
        text.copy(session.basemapName.data(), text.size());
        session.basemapName[text.size()] = '\0';
        useBasemap();
    };

    use(extract);
    const std::shared_ptr<std::atomic<bool>> first = session.basemapCancel;
    ASSERT_TRUE(first);
    use(other);
    EXPECT_TRUE(first->load()) << "the basemap no longer chosen was not stopped";
    session.basemapJob.wait();
    applyFinishedBasemap();  // the stopped one; the chosen one starts
    ASSERT_TRUE(session.basemapJob.valid());
    EXPECT_FALSE(session.basemapCancel->load());
    session.basemapJob.wait();
    applyFinishedBasemap();
    EXPECT_NE(session.loadMessage.find("callao.osm"), std::string::npos) << session.loadMessage;
    EXPECT_EQ(session.basemapAttribution, "");

    use(extract);
    const std::shared_ptr<std::atomic<bool>> closing = session.basemapCancel;
    stopBasemap();
    EXPECT_TRUE(closing->load());
    EXPECT_FALSE(session.basemapJob.valid());
    applyFinishedBasemap();
    EXPECT_EQ(session.basemapAttribution, "");

    session.basemapSource.clear();
    session.basemapName[0] = '\0';
    session.basemapMaxSide = 16384;
    session.loadMessage.clear();
    dataset.reset();
}
