#pragma once
// The map's geometry for the analyst, with no window: where the cursor
// points on the map and back, the graticule and the scale bar that orient a
// map without a basemap, and a grid cell's area and density per km². Plain
// functions of plain values, tested without a window.
#include <array>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/GeoFrame.h"

namespace analysis {

inline constexpr int kSide = 1000;                 // grid cells per axis
inline constexpr double kEarthRadiusKm = 6371.0088;  // mean radius of the earth (IUGG)

// --- Cursor to map -------------------------------------------------------

// The map's view transform as the renderer applies it: clip = zoom * extent *
// corner + translation, corners -1..1, texture coordinate = corner * 0.5 +
// 0.5. The extent (1 or less on each axis) letterboxes a frame that is not
// square.
struct ViewTransform {
    float zoom = 1.0f;
    float translateX = 0.0f;
    float translateY = 0.0f;
    float extentX = 1.0f;
    float extentY = 1.0f;
};

// The map's extent for a frame: its true shape in metres at its centre
// latitude, the longer side filling the window. A frame within 2% of square
// fills it whole (the default box is 1.4% narrower than it is high, and its
// map is drawn square).
struct MapExtent {
    float x = 1.0f;
    float y = 1.0f;
};
MapExtent mapExtent(const GeoFrame& frame);

// A point of the map in normalised coordinates: s west to east (longitude,
// grid columns), t south to north (latitude, grid rows); 0..1 on the map.
struct MapPoint {
    double s = 0.0;
    double t = 0.0;
    bool onMap() const { return s >= 0.0 && s < 1.0 && t >= 0.0 && t < 1.0; }
    double latitude(const GeoFrame& frame) const { return frame.south + t * frame.latitudeSpan(); }
    double longitude(const GeoFrame& frame) const { return frame.west + s * frame.longitudeSpan(); }
};

// The map point under a cursor at (x, y) window pixels from the top-left of
// a width x height viewport, inverting the view transform.
MapPoint mapPointAt(double x, double y, double width, double height, const ViewTransform& view);
// The window pixel (from the top-left) where a map point is drawn.
struct WindowPoint {
    double x = 0.0;
    double y = 0.0;
};
WindowPoint windowPointOf(const MapPoint& point, double width, double height, const ViewTransform& view);

// --- Orientation without a map ---------------------------------------------

// Lines of equal latitude or longitude every `step` degrees across the part
// of the frame in view, with their labels ("39.9° N", "77.05° W").
struct GraticuleLine {
    bool latitude = false;  // a parallel (constant latitude); else a meridian
    double degrees = 0.0;
    double at = 0.0;        // t for a parallel, s for a meridian (0..1 on the map)
    std::string label;
};
// The step is the round number of degrees (1, 2 or 5 times a power of ten)
// that gives 3 to 10 lines over `visibleDegrees`, the larger span in view.
double graticuleStep(double visibleDegrees);
std::vector<GraticuleLine> graticule(const GeoFrame& frame, double sLow, double sHigh, double tLow, double tHigh);

// A scale bar of a round length (1, 2 or 5 times a power of ten metres) no
// longer than `maxPixels` at `metresPerPixel`: its length in pixels and its
// label ("500 m", "2 km").
struct ScaleBar {
    double pixels = 0.0;
    std::string label;
};
ScaleBar scaleBar(double metresPerPixel, double maxPixels);
// Metres per window pixel across the frame's centre latitude, east-west.
double metresPerPixel(const GeoFrame& frame, double width, const ViewTransform& view);

// The grid cell a sample at this point is counted in: the cell that holds
// it, as the density estimate places samples (the north and east borders in
// the last row and column).
struct GridCell {
    int row = 0;
    int col = 0;
};
GridCell cellAt(const MapPoint& point);

// The area of a grid cell in km² on a spherical earth: the band between the
// cell's two latitudes times its share of the full circle of longitude. Grid
// row r covers the frame's latitudes south + r * span / 1000 .. south +
// (r + 1) * span / 1000 (39.75 + r * 0.00035 .. in the default box).
double cellAreaKm2(int row, const GeoFrame& frame = GeoFrame{});

// A cell's summed density (samples) in samples per km²: over the cell's area.
// The readout, the legend and the saved grid all convert through it, so they
// agree to the last digit shown.
double densityPerKm2(double cellDensity, int row, const GeoFrame& frame = GeoFrame{});

// The density a level of the colour scale stands for, the inverse of the
// scale a grid went through: v = ln(1 + d) / ln(1 + max) with the log scale,
// d / max without. Level 1 is `maxDensity` itself.
double densityAtLevel(double level, double maxDensity, bool logScale);

// The grid row (0..999) of the densest cell of a normalised grid (row 0
// south, kSide x kSide), or the middle row when the grid is empty or all
// zeros: the row the legend's densities are given for.
int densestRow(const std::vector<float>& grid);

}  // namespace analysis
