// Opening another city: the command line, the frame a load picks, the reason
// a load gave no samples, and the modes a user's file ticks.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "settings/ControlSettings.h"
#include "app/DataLoading.h"
#include "app/PanelRules.h"
#include "tests/TempDir.h"

namespace {

// `points` fixes of a walk along a street, from (lat, lon) north-east.
std::string walkGpx(double lat, double lon, int points) {
    std::string gpx = "<?xml version=\"1.0\"?>\n<gpx version=\"1.1\" creator=\"test\" "
                      "xmlns=\"http://www.topografix.com/GPX/1/1\"><trk><trkseg>\n";
    for (int i = 0; i < points; ++i) {
        char line[160];
        std::snprintf(line, sizeof line, "<trkpt lat=\"%.6f\" lon=\"%.6f\"><time>2024-05-01T08:%02d:%02dZ</time></trkpt>\n",
                      lat + 0.0004 * i, lon + 0.0003 * i, i / 60, i % 60);
        gpx += line;
    }
    return gpx + "</trkseg></trk></gpx>\n";
}

LoadedData load(const std::string& path, const FrameRequest& frame = {}) {
    return loadData(path, 5, [](const std::string&, float) {}, nullptr, 0, {}, frame);
}

}  // namespace

TEST(ViewerCommandLine, ReadsOptionsAndRefusesWhatItDoesNotKnow) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        const char* error;  // a part of the message
    } cases[] = {
        {{"--help"}, true, ""},
        {{"-h"}, true, ""},
        {{"--version"}, true, ""},
        {{"a.gpx", "--box", "47.5,-122.5,47.8,-122.2"}, true, ""},
        {{"--box", "fit", "a.gpx"}, true, ""},
        {{"--", "--help"}, true, ""},  // a file called "--help"
        {{"--bogus"}, false, "unknown option \"--bogus\""},
        {{"-x", "a.gpx"}, false, "unknown option \"-x\""},
        {{"a.gpx", "--box"}, false, "--box needs"},
        {{"--basemap"}, false, "--basemap needs"},
        {{"--box", "47.8,-122.5,47.5,-122.2"}, false, "south (47.8) must be below north"},
        {{"a.gpx", "b.gpx"}, false, "one path to open"},
    };
    for (const Case& c : cases) {
        ViewerOptions options;
        std::string error;
        EXPECT_EQ(parseViewerArguments(c.args, options, error), c.ok) << c.args[0];
        EXPECT_NE(error.find(c.error), std::string::npos) << c.args[0] << ": " << error;
    }
    ViewerOptions options;
    std::string error;
    ASSERT_TRUE(parseViewerArguments({"--box", "47.5,-122.5,47.8,-122.2", "--", "--help"}, options, error));
    EXPECT_FALSE(options.help);
    EXPECT_EQ(options.samplePath, "--help");
    EXPECT_EQ(options.frame.kind, FrameRequest::Kind::given);
    EXPECT_EQ(frameText(options.frame.frame), "47.5,-122.5,47.8,-122.2");
    ViewerOptions none;
    ASSERT_TRUE(parseViewerArguments({}, none, error));
    EXPECT_FALSE(none.samplePath);  // the default data: no mode ticked for it
    EXPECT_EQ(none.frame.kind, FrameRequest::Kind::automatic);
}

// A track in Seattle is kept whole in a frame fitted to it; the default
// city's track keeps the default box (the shipped map) even with some fixes
// out of town; a given box wins.
TEST(ViewerAnyCity, LoadPicksTheFrameItsFixesCallFor) {
    TempDir dir;
    const std::string seattle = dir.write("seattle.gpx", walkGpx(47.60, -122.34, 50));
    LoadedData loaded = load(seattle);
    ASSERT_TRUE(loaded.ok()) << loaded.error;
    EXPECT_EQ(loaded.dataset->count, 50);
    const GeoFrame frame = loaded.dataset->frame;
    EXPECT_LT(frame.south, 47.60);
    EXPECT_GT(frame.north, 47.60 + 0.0004 * 49);
    EXPECT_LT(frame.west, -122.34);
    EXPECT_GT(frame.east, -122.34 + 0.0003 * 49);
    EXPECT_TRUE(loaded.noSamplesReason.empty());

    // 30 fixes in Beijing and 10 beyond its box (a trip out of town).
    std::string beijing = walkGpx(39.90, 116.30, 30);
    const std::string away = walkGpx(40.50, 117.00, 10);
    beijing.insert(beijing.find("</trkseg>"), away.substr(away.find("<trkpt"), away.find("</trkseg>") - away.find("<trkpt")));
    loaded = load(dir.write("beijing.gpx", beijing));
    ASSERT_TRUE(loaded.ok()) << loaded.error;
    EXPECT_EQ(loaded.dataset->frame, GeoFrame{});
    EXPECT_EQ(loaded.dataset->count, 30);

    const GeoFrame given{47.0, -123.0, 48.0, -122.0};
    loaded = load(seattle, {FrameRequest::Kind::given, given});
    ASSERT_TRUE(loaded.ok()) << loaded.error;
    EXPECT_EQ(loaded.dataset->frame, given);
    EXPECT_EQ(loaded.dataset->count, 50);
}

TEST(ViewerAnyCity, NoSamplesComesWithItsReason) {
    TempDir dir;
    struct Case {
        std::string file;
        std::string content;
        FrameRequest frame;
        std::string reason;
    } cases[] = {
        {"seattle.gpx", walkGpx(47.60, -122.34, 17), {FrameRequest::Kind::given, GeoFrame{}},
         "all 17 points lie outside the frame 39.75,116.15,40.1,116.6"},
        {"empty.gpx", walkGpx(47.60, -122.34, 0), {}, "it holds no points"},
        {"empty.bin", "", {}, "it is shorter than one 16-byte record"},
    };
    for (const Case& c : cases) {
        const LoadedData loaded = load(dir.write(c.file, c.content), c.frame);
        ASSERT_TRUE(loaded.ok()) << c.file << ": " << loaded.error;
        EXPECT_EQ(loaded.dataset->count, 0) << c.file;
        EXPECT_EQ(loaded.noSamplesReason, c.reason) << c.file;
        // The console says it too.
        bool said = false;
        for (const std::string& note : loaded.notes) said = said || note.ends_with(": " + c.reason);
        EXPECT_TRUE(said) << c.file;
    }
}

TEST(ViewerAnyCity, GivenBoxOtherThanASampleFilesOwnIsRefused) {
    TempDir dir;
    const std::string path = dir.write("samples.bin", std::string(32, '\0'));
    const LoadedData loaded = load(path, {FrameRequest::Kind::given, GeoFrame{47.0, -123.0, 48.0, -122.0}});
    EXPECT_FALSE(loaded.ok());
    EXPECT_NE(loaded.error.find("normalised over 39.75,116.15,40.1,116.6"), std::string::npos) << loaded.error;
}

TEST(ViewerAnyCity, OpenedFileTicksTheModesItHolds) {
    ControlSettings settings;
    settings.mode_selected[1] = true;  // Walk, ticked before
    settings.mode_mask = kModes[1];
    std::array<std::int64_t, kModeCount> counts{};
    counts[0] = 17;  // Unknown, as a GPX track's points are
    counts[3] = 2;   // Bus
    tickHeldModes(settings, counts);
    EXPECT_EQ(settings.mode_mask, kModes[0] | kModes[1] | kModes[3]);
    for (int i = 0; i < kModeCount; ++i)
        EXPECT_EQ(settings.mode_selected[i], i == 0 || i == 1 || i == 3) << i;
}
