#pragma once
// What the map generator offers: the projection of the sample box onto the
// map image, the road styles by class, an antialiased segment rasteriser and
// the colour table of the legend. Pure functions on plain buffers, so they
// can be tested without writing files.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace mapgen {

// The box the density grid covers. The image shows exactly this rectangle,
// north up, linear in degrees (the grid is linear in degrees too).
inline constexpr double kNorth = 40.1;
inline constexpr double kSouth = 39.75;
inline constexpr double kWest = 116.15;
inline constexpr double kEast = 116.6;

struct Rgb {
    std::uint8_t r, g, b;
};

// Flat background: every pixel that is neither road nor attribution has
// exactly this colour, which is how a road pixel is recognised.
inline constexpr Rgb kBackground{26, 29, 34};

// Continuous pixel coordinates: x grows east, y grows south; pixel (i, j)
// covers [i, i+1) x [j, j+1), so (0, 0) is the north-west corner.
struct PixelPoint {
    double x, y;
};
PixelPoint project(double latitude, double longitude, int width, int height);

struct RoadStyle {
    int layer;      // drawing order: higher layers are drawn later, on top
    double width;   // full line width in pixels of a 4096-pixel image
    Rgb colour;
};
inline constexpr int kLayerCount = 9;
// Style of an OpenStreetMap highway class; unknown classes get the style of
// minor service roads.
RoadStyle styleOf(std::string_view roadClass);
// Whether segments of this class are railway track ("other" in the road
// data is mostly railways); they make the railway mask the default-data
// generator runs its trains along.
bool isRailway(std::string_view roadClass);
// Full width in pixels of a 4096-pixel image of the lines in the railway
// mask: wide enough for a walker to follow without slipping off.
inline constexpr double kRailMaskWidth = 3.0;

// A single-channel coverage buffer into which the segments of one layer are
// drawn (maximum, so joints of consecutive chords do not double up), then
// laid over the image in one pass.
struct Coverage {
    int width = 0;
    int height = 0;
    std::vector<float> alpha;
    Coverage(int w, int h) : width(w), height(h), alpha(static_cast<std::size_t>(w) * h, 0.0f) {}
};
// Round-capped, antialiased line of the given full width in pixels. Only
// the pixels near the segment are visited, so its cost follows its length
// (clipped to the image) and width; returns how many pixels it visited.
std::size_t drawSegment(Coverage& coverage, PixelPoint a, PixelPoint b, double lineWidth);
// Blends `colour` over the RGB image with the coverage as opacity and clears
// the coverage for the next layer.
void composite(std::vector<std::uint8_t>& rgb, Coverage& coverage, Rgb colour);

// The inferno colour map sampled at eleven evenly spaced points from 0
// (darkest) to 1 (brightest); the published table is in the public domain.
inline constexpr std::array<Rgb, 11> kInferno{{
    {0x00, 0x00, 0x04}, {0x16, 0x0b, 0x39}, {0x42, 0x0a, 0x68}, {0x6a, 0x17, 0x6e},
    {0x93, 0x26, 0x67}, {0xbc, 0x37, 0x54}, {0xdd, 0x51, 0x3a}, {0xf3, 0x78, 0x19},
    {0xfc, 0xa5, 0x0a}, {0xf6, 0xd7, 0x46}, {0xfc, 0xff, 0xa4},
}};
// Colour of a normalised density v in [0, 1], linear between the samples.
Rgb inferno(double v);
// The legend image, `width` x `height` RGB, top row darkest (density 0) and
// bottom row brightest (density 1): loaded flipped, the texture holds the
// brightest colour at t = 0, where the shader looks up v = 1 (t = 1 - v) and
// the legend shows "1".
std::vector<std::uint8_t> lutImage(int width, int height);

}  // namespace mapgen
