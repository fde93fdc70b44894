// The numbers and texts the viewer shows the analyst, checked against values
// worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cctype>
#include <string>
#include <vector>

#include "app/DayPlayback.h"
#include "app/MapGeometry.h"
#include "app/OutputName.h"
#include "app/ReadoutText.h"

using namespace analysis;

namespace {

// Forward view transform, as the vertex shader applies it: texture
// coordinate -> corner -> clip -> window pixel (y down).
void pixelOf(double s, double t, const ViewTransform& v, double* x, double* y) {
    const double clipX = v.zoom * (2.0 * s - 1.0) + v.translateX;
    const double clipY = v.zoom * (2.0 * t - 1.0) + v.translateY;
    *x = (clipX + 1.0) * 0.5 * 800.0;
    *y = (1.0 - clipY) * 0.5 * 800.0;
}

}  // namespace

TEST(Readout, CursorPixelsInvertTheViewTransform) {
    struct Case {
        double x, y;
        ViewTransform view;
        double s, t;
    };
    const Case cases[] = {
        {400, 400, {}, 0.5, 0.5},
        {0, 0, {}, 0.0, 1.0},          // top-left pixel corner: west, north
        {800, 800, {}, 1.0, 0.0},
        {400, 400, {2.0f, 0.5f, 0.0f}, 0.375, 0.5},  // the map moved right: the centre shows west of middle
        {600, 200, {1.5f, -0.25f, 0.3f}, 0.5 + (0.5 + 0.25) / 3.0, 0.5 + (0.5 - 0.3) / 3.0},
    };
    for (const Case& c : cases) {
        const MapPoint p = mapPointAt(c.x, c.y, 800, 800, c.view);
        EXPECT_NEAR(p.s, c.s, 1e-6) << c.x << "," << c.y;
        EXPECT_NEAR(p.t, c.t, 1e-6) << c.x << "," << c.y;
        double x = 0, y = 0;
        pixelOf(p.s, p.t, c.view, &x, &y);
        EXPECT_NEAR(x, c.x, 1e-3);
        EXPECT_NEAR(y, c.y, 1e-3);
    }
    EXPECT_FALSE(mapPointAt(10, 10, 800, 800, {1.0f, 0.5f, 0.0f}).onMap());  // panned off the map
}

TEST(Readout, CellRuleAreaAndTextAtAKnownPlace) {
    // Tiananmen Square, 39.90870 N 116.39770 E.
    const MapPoint p{(116.3977 - 116.15) / 0.45, (39.9087 - 39.75) / 0.35};
    const GridCell cell = cellAt(p);
    EXPECT_EQ(cell.row, 453);  // floor(453.43): the cell that holds it
    EXPECT_EQ(cell.col, 550);  // floor(550.44)
    EXPECT_EQ(cellAt(MapPoint{0.0, 0.0}).row, 0);
    EXPECT_EQ(cellAt(MapPoint{1.0, 1.0}).col, 999);  // the east border: the last column

    // R^2 * dlon * (sin north - sin south), R = 6371.0088 km: about 0.00149 km²
    // in the middle, shrinking northwards with the cosine of the latitude.
    EXPECT_NEAR(cellAreaKm2(500), 0.00149342, 1e-8);
    EXPECT_NEAR(cellAreaKm2(0), 0.00149723, 1e-8);
    EXPECT_GT(cellAreaKm2(0), cellAreaKm2(999));

    // 1.5 samples of density in a middle cell: 1.5 / 0.00149342 = 1004.4 per km².
    const MapPoint middle{0.25, 0.50012};
    EXPECT_EQ(readoutText(middle, 1.5, 3), "39.92504\xC2\xB0 N  116.26250\xC2\xB0 E\n1.00k samples/km\xC2\xB2\n"
                                           "3 samples in this cell");
    EXPECT_EQ(readoutText(p, 0.0, 1), "39.90870\xC2\xB0 N  116.39770\xC2\xB0 E\n0 samples/km\xC2\xB2\n"
                                      "1 sample in this cell");
}

// South of the equator and west of Greenwich: degrees with S and W, and the
// area of that frame's cells (0.0004 degrees a side at 12 S: a square of
// 44.5 m times the cosine of the latitude, by the flat approximation).
TEST(Readout, PlacesAndAreasOfAnyFrame) {
    const GeoFrame lima{-12.3, -77.2, -11.9, -76.8};
    const MapPoint p{(-77.0428 + 77.2) / 0.4, (-12.0462 + 12.3) / 0.4};
    EXPECT_EQ(readoutText(p, 0.0, 2, lima), "12.04620\xC2\xB0 S  77.04280\xC2\xB0 W\n0 samples/km\xC2\xB2\n"
                                           "2 samples in this cell");
    EXPECT_EQ(cellAt(p).row, 634);
    EXPECT_NEAR(cellAreaKm2(634, lima), 0.00193473255, 1e-11);
}

TEST(Readout, NumbersReadAtAGlance) {
    const std::pair<double, const char*> densities[] = {
        {0.0, "0"}, {-1.0, "0"}, {NAN, "0"}, {0.5124, "0.512"}, {1.0, "1.00"}, {37.44, "37.4"},
        {99.96, "100"}, {999.6, "1.00k"}, {1234.4, "1.23k"}, {12345.0, "12.3k"}, {4567000.0, "4.57M"},
    };
    for (const auto& [value, text] : densities) EXPECT_EQ(formatDensity(value), text) << value;
    EXPECT_EQ(formatCount(25000000), "25,000,000");
    EXPECT_EQ(formatCount(999), "999");
    EXPECT_EQ(formatCount(0), "0");
    EXPECT_EQ(formatCount(INT64_MIN), "-9,223,372,036,854,775,808");
}

TEST(Legend, TicksAreTheScaleInvertedPerKm2) {
    const double area = cellAreaKm2(501);
    // Log scale: v = ln(1 + d) / ln(1 + 1000), so v = 0.5 stands for sqrt(1001) - 1.
    const std::vector<LegendTick> log = legendTicks(1000.0, true, 501);
    ASSERT_EQ(log.size(), 5u);
    EXPECT_FLOAT_EQ(log[0].level, 1.0f);
    EXPECT_FLOAT_EQ(log[4].level, 0.0f);
    EXPECT_NEAR(log[0].perKm2, 1000.0 / area, 1e-6);
    EXPECT_NEAR(log[2].perKm2, (std::sqrt(1001.0) - 1.0) / area, 1e-6);
    EXPECT_NEAR(log[4].perKm2, 0.0, 1e-12);
    // Linear: evenly spaced.
    const std::vector<LegendTick> linear = legendTicks(1000.0, false, 501);
    ASSERT_EQ(linear.size(), 5u);
    EXPECT_NEAR(linear[1].perKm2, 750.0 / area, 1e-6);
    EXPECT_NEAR(linear[2].perKm2, 500.0 / area, 1e-6);
    // An all-zero grid has no scale to label.
    EXPECT_TRUE(legendTicks(0.0, true).empty());
    EXPECT_TRUE(legendTicks(NAN, false).empty());
}

TEST(Legend, ALockedScaleRescalesTheFrameAndShowsItsOwnMaximum) {
    const ScaleLock lock{true, 100.0};
    EXPECT_FLOAT_EQ(lockedLevelFactor(50.0, false, lock), 0.5f);
    EXPECT_FLOAT_EQ(lockedLevelFactor(50.0, true, lock), static_cast<float>(std::log1p(50.0) / std::log1p(100.0)));
    EXPECT_FLOAT_EQ(lockedLevelFactor(50.0, false, ScaleLock{false, 100.0}), 1.0f);
    EXPECT_FLOAT_EQ(lockedLevelFactor(50.0, false, ScaleLock{true, 0.0}), 1.0f);  // nothing to lock at
    std::vector<float> shown;
    scaleLevels({0.0f, 0.25f, 0.5f, 1.0f}, 2.0f, shown);  // a frame denser than the lock
    EXPECT_EQ(shown, (std::vector<float>{0.0f, 0.5f, 1.0f, 1.0f}));

    const Legend locked = legendFor(50.0, false, 501, lock);
    ASSERT_EQ(locked.labels.size(), 5u);
    EXPECT_EQ(locked.labels.front(), formatDensity(100.0 / cellAreaKm2(501)));
    EXPECT_EQ(locked.labels.back(), "0");
    EXPECT_EQ(locked.frameMaximum, "frame max " + formatDensity(50.0 / cellAreaKm2(501)));
    const Legend free = legendFor(50.0, false, 501, ScaleLock{});
    EXPECT_EQ(free.labels.front(), formatDensity(50.0 / cellAreaKm2(501)));
    EXPECT_TRUE(free.frameMaximum.empty());
}

TEST(Day, TypedClockTimes) {
    const std::pair<const char*, std::int32_t> good[] = {
        {"07:30", 27000}, {"7:30", 27000}, {"07:30:15", 27015}, {" 23:59:59 ", 86399}, {"24:00", 86400},
        {"00:00", 0},
    };
    for (const auto& [text, seconds] : good) EXPECT_EQ(parseClock(text), seconds) << text;
    for (const char* bad : {"", "7", "07:3", "07:60", "07:30:60", "24:00:01", "25:00", "7:30:", "07-30", "x7:30",
                            "007:30", "07:30:15:01"})
        EXPECT_FALSE(parseClock(bad)) << bad;
}

TEST(Day, ClockHistogramAndCountsPerMode) {
    EXPECT_EQ(formatClock(0), "00:00:00");
    EXPECT_EQ(formatClock(3661), "01:01:01");
    EXPECT_EQ(formatClock(86399), "23:59:59");
    EXPECT_EQ(formatClock(86400), "24:00:00");

    const std::vector<Datapoint> points = {
        {0.5f, 0.5f, mode::WALK, 0},     {0.5f, 0.5f, mode::WALK, 899},   {0.5f, 0.5f, mode::WALK, 900},
        {0.5f, 0.5f, mode::BUS, 86399},  {0.5f, 0.5f, mode::BUS, 86400},  // past the day: counted, in no bin
        {0.5f, 0.5f, static_cast<TransportationMode>(3), 10},  // not one mode: counted nowhere
    };
    const DaySummary summary = summarise(points);
    EXPECT_EQ(summary.counts[1], 3);  // WALK
    EXPECT_EQ(summary.counts[3], 2);  // BUS
    EXPECT_EQ(summary.counts[0], 0);
    EXPECT_EQ(summary.total, 5);
    const auto walks = histogramFor(summary, mode::WALK);
    EXPECT_EQ(walks[0], 2.0f);
    EXPECT_EQ(walks[1], 1.0f);
    EXPECT_EQ(walks[95], 0.0f);
    const auto both = histogramFor(summary, mode::WALK | mode::BUS);
    EXPECT_EQ(both[95], 1.0f);
    EXPECT_EQ(both[0], 2.0f);
    EXPECT_EQ(histogramFor(summary, 0)[0], 0.0f);
}

TEST(Day, PlaybackSlidesLoopsAndStartsWhereTheWindowIs) {
    Playback play;  // one hour wide, one hour of the day per second
    startPlayback(play, 0);
    EXPECT_TRUE(play.playing);
    TimeWindow w = advancePlayback(play, 0.5);
    EXPECT_EQ(w.min, 1800);
    EXPECT_EQ(w.max, 5400);
    // The last hour of the day, then back to midnight.
    play.start = 82000.0;
    w = advancePlayback(play, 1.0);
    EXPECT_EQ(w.min, 82000 + 3600 - 82800);
    EXPECT_EQ(w.max, w.min + 3600);
    // From a window in the middle of the day; one too late to fit starts at midnight.
    startPlayback(play, 30000);
    EXPECT_EQ(advancePlayback(play, 0.0).min, 30000);
    startPlayback(play, 86000);
    EXPECT_EQ(advancePlayback(play, 0.0).min, 0);
    // A window as wide as the day stays put.
    play.width = 86400;
    startPlayback(play, 0);
    w = advancePlayback(play, 3.0);
    EXPECT_EQ(w.min, 0);
    EXPECT_EQ(w.max, 86400);
}

TEST(Saving, TimeLeftAtThePaceSoFar) {
    EXPECT_EQ(timeLeft(10.0, 0.5), "about 10 s left");
    EXPECT_EQ(timeLeft(30.0, 0.25), "about 2 min left");  // 90 s
    EXPECT_EQ(timeLeft(0.2, 0.5), "");                     // too early to tell
    EXPECT_EQ(timeLeft(10.0, 0.01), "");
    EXPECT_EQ(timeLeft(10.0, 1.0), "");
    EXPECT_EQ(timeLeft(3.0, 0.999), "about 1 s left");
}

TEST(Saving, DefaultNamesCarryDateAndTime) {
    const std::string name = defaultOutputName("trackora-map", ".png", 1765267200);  // 2025-12-09 08:00 UTC
    // trackora-map-2025-12-DD-HHMMSS.png; the day and hour follow the local time zone.
    ASSERT_EQ(name.size(), std::string("trackora-map-2025-12-09-080000.png").size()) << name;
    EXPECT_EQ(name.substr(0, 21), "trackora-map-2025-12-");
    EXPECT_EQ(name.substr(23, 1), "-");
    EXPECT_EQ(name.substr(30), ".png");
    for (std::size_t i : {21u, 22u, 24u, 25u, 26u, 27u, 28u, 29u}) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(name[i]))) << name;
}

namespace {

// A frame that is not square keeps its shape in metres: the cursor maps
// through the letterbox both ways, and a point off the frame is off the map.
TEST(AnyFrame, LetterboxKeepsTheShapeAndTheCursorFindsItsPlace) {
    EXPECT_EQ(mapExtent(GeoFrame{}).x, 1.0f);  // 1.4% from square: drawn square as always
    const MapExtent wide = mapExtent(GeoFrame{51.2, -0.6, 51.7, 0.4});  // London: 1 x 0.5 degrees
    EXPECT_EQ(wide.x, 1.0f);
    EXPECT_NEAR(wide.y, 0.5 / std::cos(51.45 * 3.14159265358979 / 180.0), 1e-6);
    const ViewTransform view{2.0f, 0.3f, -0.2f, wide.x, wide.y};
    const MapPoint p{0.37, 0.61};
    const WindowPoint at = windowPointOf(p, 800, 800, view);
    const MapPoint back = mapPointAt(at.x, at.y, 800, 800, view);
    EXPECT_NEAR(back.s, p.s, 1e-9);
    EXPECT_NEAR(back.t, p.t, 1e-9);
    // Below the letterboxed map, inside the window: off the map.
    EXPECT_FALSE(mapPointAt(400, 795, 800, 800, ViewTransform{1.0f, 0.0f, 0.0f, wide.x, wide.y}).onMap());
}

TEST(AnyFrame, GraticuleOnRoundDegreesAndAScaleBarOfARoundLength) {
    EXPECT_EQ(graticuleStep(0.45), 0.1);
    EXPECT_EQ(graticuleStep(2.9), 0.5);
    EXPECT_EQ(graticuleStep(0.004), 0.001);
    const std::vector<GraticuleLine> lima = graticule(GeoFrame{-12.3, -77.2, -11.9, -76.8}, 0.0, 1.0, 0.0, 1.0);
    std::vector<std::string> labels;
    for (const GraticuleLine& line : lima) labels.push_back(line.label);
    EXPECT_EQ(labels, (std::vector<std::string>{"12.3\xC2\xB0 S", "12.2\xC2\xB0 S", "12.1\xC2\xB0 S", "12.0\xC2\xB0 S",
                                                "11.9\xC2\xB0 S", "77.2\xC2\xB0 W", "77.1\xC2\xB0 W", "77.0\xC2\xB0 W",
                                                "76.9\xC2\xB0 W", "76.8\xC2\xB0 W"}));
    EXPECT_NEAR(lima[1].at, 0.25, 1e-9);  // -12.2 lies a quarter of the way up
    const ScaleBar bar = scaleBar(48.0, 160.0);  // 7.68 km fit: 5 km
    EXPECT_EQ(bar.label, "5 km");
    EXPECT_NEAR(bar.pixels, 5000.0 / 48.0, 1e-9);
    EXPECT_EQ(scaleBar(0.5, 160.0).label, "50 m");
}

}  // namespace
