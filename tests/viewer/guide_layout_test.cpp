// Where the Data window opens beside the menu, and where the scale bar, the
// attribution and the graticule labels go over a letterboxed frame.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/GuideLayout.h"
#include "app/PanelRules.h"

namespace {
constexpr PanelPoint kDisplay{800.0f, 800.0f};
// The open menu at first start, at its full height.
constexpr PanelRect kMenu{168.0f, 0.0f, 330.0f, 590.0f};

bool insideRect(PanelPoint p, PanelRect r) {
    return p.x >= r.x && p.y >= r.y && p.x <= r.x + r.width && p.y <= r.y + r.height;
}
}  // namespace

TEST(DataWindowPlace, OpensClearOfTheMenuAndInsideTheDisplay) {
    struct Case {
        const char* what;
        PanelRect data;
        PanelRect menu;
    } cases[] = {
        {"first start, both opened", {0.0f, 212.0f, 300.0f, 255.0f}, kMenu},
        {"first start, as wide as it used to open", {0.0f, 212.0f, 380.0f, 255.0f}, kMenu},
        {"menu moved right: room to its left only", {300.0f, 100.0f, 300.0f, 255.0f}, {420.0f, 0.0f, 330.0f, 780.0f}},
        {"short menu: room below it", {100.0f, 100.0f, 560.0f, 255.0f}, {100.0f, 0.0f, 650.0f, 300.0f}},
    };
    for (const Case& c : cases) {
        const PanelPlace place = placeClearOf(c.data, c.menu, 260.0f, kDisplay);
        const PanelRect placed{place.at.x, place.at.y, place.width, c.data.height};
        EXPECT_FALSE(placed.overlaps(c.menu)) << c.what;
        EXPECT_TRUE(placed.inside(kDisplay)) << c.what;
        EXPECT_GE(place.width, 260.0f) << c.what;
        EXPECT_LE(place.width, c.data.width) << c.what;
    }
    // Clear already (the menu folded, or moved away by the user): left where it is.
    const PanelRect clear{0.0f, 212.0f, 300.0f, 255.0f};
    const PanelPlace kept = placeClearOf(clear, PanelRect{}, 260.0f, kDisplay);
    EXPECT_EQ(kept.at.x, 0.0f);
    EXPECT_EQ(kept.at.y, 212.0f);
    EXPECT_EQ(kept.width, 300.0f);
}

// A frame taller than wide is letterboxed: the map covers x 203..597 only.
TEST(MapGuidePlace, ScaleBarAttributionAndLabelsStayOnTheMap) {
    struct Case {
        const char* what;
        double left, top, right, bottom;  // the map's corners in window pixels
    } cases[] = {
        {"tall frame", 203.0, 0.0, 597.0, 800.0},
        {"wide frame", 0.0, 230.0, 800.0, 570.0},
        {"square frame", 0.0, 0.0, 800.0, 800.0},
        {"zoomed past the window", -400.0, -400.0, 1200.0, 1200.0},
    };
    for (const Case& c : cases) {
        const PanelRect map = visibleMap(c.left, c.top, c.right, c.bottom, 800.0, 800.0);
        EXPECT_TRUE(map.inside(kDisplay)) << c.what;
        const BarPlace bar = scaleBarPlace(map);
        EXPECT_TRUE(insideRect({bar.right, bar.y}, map)) << c.what;
        EXPECT_TRUE(insideRect({static_cast<float>(bar.right - bar.maxPixels), bar.y}, map)) << c.what;
        const PanelPoint text{250.0f, 13.0f};  // "Map data © OpenStreetMap contributors"
        const PanelPoint at = attributionPlace(map, text);
        EXPECT_TRUE(insideRect(at, map)) << c.what;
        EXPECT_TRUE(insideRect({at.x + text.x, at.y + text.y}, map)) << c.what;
        // A line at the map's east edge, with a label 70 pixels wide, and
        // one at its west edge: both labels whole on the map.
        for (const float line : {map.x + map.width - 1.0f, map.x + map.width * 0.5f, map.x + 1.0f}) {
            const float x = lineLabelX(line, 70.0f, map);
            EXPECT_GE(x, map.x) << c.what << " line " << line;
            EXPECT_LE(x + 70.0f, map.x + map.width) << c.what << " line " << line;
        }
    }
}

// The basemap keeps a picture pixel for each screen pixel up to 8x zoom in
// the 800-pixel window, in the frame's shape, and never passes the largest
// texture GL takes.
TEST(BasemapSize, SharpToEightTimesZoomWithinTheTextureLimit) {
    struct Case {
        double extentX, extentY;
        int maxSide;
    } cases[] = {
        {0.49, 1.0, 16384},  // a tall city frame
        {1.0, 0.6, 16384},   // a wide one
        {1.0, 1.0, 16384},
        {1.0, 1.0, 4096},    // a driver with small textures: capped, still square
        {0.3, 1.0, 2048},
    };
    for (const Case& c : cases) {
        const PixelSize size = basemapSize(c.extentX, c.extentY, 800.0, 8.0, c.maxSide);
        EXPECT_LE(std::max(size.width, size.height), c.maxSide);
        const double needX = 800.0 * 8.0 * c.extentX, needY = 800.0 * 8.0 * c.extentY;
        if (std::max(needX, needY) <= c.maxSide) {
            // Screen pixels per picture pixel at 8x: at most one.
            EXPECT_GE(size.width, needX - 0.5) << c.extentX << "x" << c.extentY;
            EXPECT_GE(size.height, needY - 0.5) << c.extentX << "x" << c.extentY;
        } else {
            EXPECT_EQ(std::max(size.width, size.height), c.maxSide);
        }
        // The frame's shape, to a pixel.
        EXPECT_NEAR(static_cast<double>(size.width) / size.height, c.extentX / c.extentY, 1.0 / size.height + 1e-3);
    }
}
