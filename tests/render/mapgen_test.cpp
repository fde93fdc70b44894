// The map generator's projection, road styles and rasteriser, and the
// committed images it produced.
#include <gtest/gtest.h>
#include <stb_image.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>

#include "gis/MapRaster.h"

using namespace mapgen;

TEST(MapGen, ProjectionCoversExactlyTheBoxNorthUp) {
    const PixelPoint nw = project(40.1, 116.15, 4096, 4096);
    EXPECT_DOUBLE_EQ(nw.x, 0.0);
    EXPECT_DOUBLE_EQ(nw.y, 0.0);
    const PixelPoint se = project(39.75, 116.6, 4096, 4096);
    EXPECT_NEAR(se.x, 4096.0, 1e-9);
    EXPECT_NEAR(se.y, 4096.0, 1e-9);
    // Linear in degrees: the box's middle is the image's middle, and the
    // normalised sample coordinates map straight onto it.
    const PixelPoint mid = project(39.925, 116.375, 2048, 1000);
    EXPECT_NEAR(mid.x, 1024.0, 1e-9);
    EXPECT_NEAR(mid.y, 500.0, 1e-9);
    const double lat = 39.9087, lon = 116.3975;
    const PixelPoint p = project(lat, lon, 1000, 1000);
    EXPECT_NEAR(p.x, (lon - 116.15) / 0.45 * 1000, 1e-9);         // grid column
    EXPECT_NEAR(1000 - p.y, (lat - 39.75) / 0.35 * 1000, 1e-9);   // grid row, from the south
}

TEST(MapGen, MajorRoadsAreWiderBrighterAndDrawnLater) {
    const char* order[] = {"footway", "other", "service", "residential", "tertiary",
                           "secondary", "primary", "trunk", "motorway"};
    for (int i = 1; i < 9; ++i) {
        const RoadStyle lower = styleOf(order[i - 1]);
        const RoadStyle upper = styleOf(order[i]);
        EXPECT_GT(upper.layer, lower.layer) << order[i];
        EXPECT_GT(upper.width, lower.width) << order[i];
        EXPECT_GT(upper.colour.r, lower.colour.r) << order[i];
    }
    EXPECT_LT(styleOf("primary_link").width, styleOf("primary").width);
    EXPECT_EQ(styleOf("primary_link").layer, styleOf("primary").layer);
    // Railways are the "other" class, and only they make the railway mask.
    EXPECT_TRUE(isRailway("other"));
    for (const char* name : {"motorway", "footway", "platform", "bus_guideway", "others", ""})
        EXPECT_FALSE(isRailway(name)) << name;
    // Unknown or misspelt classes still draw, as minor roads.
    EXPECT_EQ(styleOf("roat").layer, styleOf("service").layer);
    EXPECT_EQ(styleOf("_link").layer, styleOf("service").layer);
    // Every road is brighter than the ground in every channel.
    for (const char* name : order) {
        const Rgb c = styleOf(name).colour;
        EXPECT_GT(c.r, kBackground.r + 8);
        EXPECT_GT(c.g, kBackground.g + 8);
        EXPECT_GT(c.b, kBackground.b + 8);
    }
}

TEST(MapGen, SegmentsAreAntialiasedAndJointsDoNotDoubleUp) {
    Coverage coverage(20, 20);
    // Two chords of one road meeting at (10, 10.5), 3.6 pixels wide.
    drawSegment(coverage, {4.0, 10.5}, {10.0, 10.5}, 3.6);
    drawSegment(coverage, {10.0, 10.5}, {16.0, 10.5}, 3.6);
    const auto a = [&](int x, int y) { return coverage.alpha[static_cast<std::size_t>(y) * 20 + x]; };
    EXPECT_EQ(a(10, 10), 1.0f);  // the joint: covered once, not more
    EXPECT_EQ(a(5, 9), 1.0f);
    EXPECT_EQ(a(5, 11), 1.0f);
    EXPECT_GT(a(5, 12), 0.0f);   // soft edge
    EXPECT_LT(a(5, 12), 1.0f);
    EXPECT_EQ(a(5, 14), 0.0f);
    EXPECT_EQ(a(0, 10), 0.0f);   // past the round cap
    // Segments beyond the image are clipped, not written out of bounds.
    drawSegment(coverage, {-50.0, -50.0}, {70.0, 70.0}, 2.0);
    std::vector<std::uint8_t> rgb(20 * 20 * 3, 0);
    composite(rgb, coverage, {200, 100, 50});
    EXPECT_EQ(rgb[(10 * 20 + 10) * 3], 200);
    EXPECT_EQ(rgb[(0 * 20 + 0) * 3 + 1], 100);   // the diagonal
    EXPECT_EQ(rgb[(19 * 20 + 0) * 3], 0);
    for (float v : coverage.alpha) ASSERT_EQ(v, 0.0f);  // cleared for the next layer
}

// Every pixel of the image against the segment, as a plain loop: what the
// rasteriser must draw, whichever pixels it chooses to visit.
Coverage referenceSegment(int width, int height, PixelPoint a, PixelPoint b, double lineWidth) {
    Coverage reference(width, height);
    const double edge = std::max(lineWidth * 0.5, 0.5);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double dx = b.x - a.x, dy = b.y - a.y, px = x + 0.5 - a.x, py = y + 0.5 - a.y;
            const double lengthSquared = dx * dx + dy * dy;
            const double t = lengthSquared > 0.0 ? std::clamp((px * dx + py * dy) / lengthSquared, 0.0, 1.0) : 0.0;
            const double distance = std::hypot(px - t * dx, py - t * dy);
            reference.alpha[static_cast<std::size_t>(y) * width + x] =
                static_cast<float>(std::clamp(edge + 0.5 - distance, 0.0, 1.0) * std::min(lineWidth, 1.0));
        }
    return reference;
}

// A segment costs its length times its width, not its bounding box: a way
// zigzagging across a basemap 6400 pixels wide drew every chord over the
// whole image. The pixels drawn are those of the plain loop.
TEST(MapGen, SegmentVisitsOnlyThePixelsNearIt) {
    const int width = 300, height = 200;
    struct Case {
        const char* name;
        PixelPoint a, b;
        double lineWidth;
    } cases[] = {
        {"diagonal across", {0.0, 0.0}, {300.0, 200.0}, 2.4},
        {"steep", {150.2, -5.0}, {160.7, 205.0}, 6.0},
        {"shallow", {-3.0, 100.3}, {303.0, 98.1}, 1.0},
        {"horizontal", {10.0, 50.5}, {290.0, 50.5}, 3.6},
        {"vertical", {40.5, 10.0}, {40.5, 190.0}, 0.6},
        {"a dot", {77.3, 66.6}, {77.3, 66.6}, 4.0},
        {"far off the image", {-1e12, -3e11}, {1e12, 4e11}, 2.0},
        {"beside the image", {-50.0, -40.0}, {400.0, -30.0}, 3.0},
    };
    for (const Case& c : cases) {
        Coverage coverage(width, height);
        const std::size_t visited = drawSegment(coverage, c.a, c.b, c.lineWidth);
        const Coverage reference = referenceSegment(width, height, c.a, c.b, c.lineWidth);
        for (std::size_t i = 0; i < coverage.alpha.size(); ++i)
            ASSERT_EQ(coverage.alpha[i], reference.alpha[i]) << c.name << ", pixel " << i % width << "," << i / width;
        // The part on the image, widened by the line's reach on every side.
        const double reach = std::max(c.lineWidth * 0.5, 0.5) + 2.0;
        const double across = std::min(std::abs(c.b.x - c.a.x), double(width)) +
                              std::min(std::abs(c.b.y - c.a.y), double(height));
        EXPECT_LE(double(visited), 2.0 * reach * (across + 2.0 * reach) + 4.0 * reach * reach) << c.name;
    }
}

TEST(MapGen, LegendTableRunsFromDarkAtTheTopToBrightAtTheBottom) {
    const auto image = lutImage(2, 256);
    // Relative luminance of the sRGB colour: inferno brightens steadily.
    const auto linear = [](int c) {
        const double v = c / 255.0;
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    const auto luminance = [&](int row) {
        const std::size_t i = static_cast<std::size_t>(row) * 2 * 3;
        return 0.2126 * linear(image[i]) + 0.7152 * linear(image[i + 1]) + 0.0722 * linear(image[i + 2]);
    };
    EXPECT_EQ(image[0], 0x00);
    EXPECT_EQ(image[2], 0x04);
    for (int row = 1; row < 256; ++row) EXPECT_GE(luminance(row), luminance(row - 1)) << row;
    const std::size_t last = 255 * 2 * 3;
    EXPECT_EQ(image[last], 0xfc);
    EXPECT_EQ(image[last + 1], 0xff);
    EXPECT_EQ(image[last + 2], 0xa4);
}

TEST(MapGen, CommittedImagesHaveTheDocumentedShape) {
    const std::string root = TRACKORA_SOURCE_DIR;
    int w = 0, h = 0, n = 0;
    stbi_set_flip_vertically_on_load(false);
    unsigned char* map = stbi_load((root + "/resources/map.png").c_str(), &w, &h, &n, 3);
    ASSERT_NE(map, nullptr) << "resources/map.png";
    EXPECT_EQ(w, 4096);
    EXPECT_EQ(h, 4096);
    // Roads are there, and the southern strip (south of 39.788 N, from row
    // 3651, drawn from other data) is as busy as the rows just north of it:
    // no empty band and no seam. The attribution rows are left out.
    const auto roadShare = [&](int firstRow, int lastRow) {
        std::size_t road = 0, all = 0;
        for (int y = firstRow; y < lastRow; ++y)
            for (int x = 0; x < w; x += 3) {
                const unsigned char* p = map + (static_cast<std::size_t>(y) * w + x) * 3;
                road += p[2] > kBackground.b + 8;
                ++all;
            }
        return static_cast<double>(road) / static_cast<double>(all);
    };
    const double whole = roadShare(0, 4000);
    const double north = roadShare(3300, 3651);
    const double south = roadShare(3651, 4000);
    EXPECT_GT(whole, 0.02);
    EXPECT_GT(south, north * 0.6);
    EXPECT_LT(south, north * 1.6);
    // The ground is one flat colour: the north-west corner lies off every road.
    EXPECT_EQ(map[0], kBackground.r);
    EXPECT_EQ(map[1], kBackground.g);
    EXPECT_EQ(map[2], kBackground.b);
    stbi_image_free(map);

    unsigned char* lut = stbi_load((root + "/resources/lut.png").c_str(), &w, &h, &n, 3);
    ASSERT_NE(lut, nullptr) << "resources/lut.png";
    const unsigned char* top = lut;
    const unsigned char* bottom = lut + static_cast<std::size_t>(h - 1) * w * 3;
    EXPECT_LT(top[0] + top[1] + top[2], 20);          // darkest on top, beside "0" when flipped
    EXPECT_GT(bottom[0] + bottom[1] + bottom[2], 600);  // brightest at the bottom
    stbi_image_free(lut);
}
