#pragma once
// trackora-heatmap's --geotiff: the density grid as a GeoTIFF that a GIS
// places where the cells lie on the earth.
#include <string>
#include <vector>

#include "app/ControlSettings.h"
#include "model/Datapoint.h"

// Where the grid lies. A point's cell is the truncated normalised product
// plus one, so grid column c covers longitudes kBoxWest + (c - 1) * kCellWidth
// to kBoxWest + c * kCellWidth, and row r latitudes kBoxSouth + (r - 1) *
// kCellHeight to kBoxSouth + r * kCellHeight: column 0 and row 0 lie just
// outside the box. The spans are written as decimals (0.45 and 0.35 degrees)
// because 116.6 - 116.15 in binary is a little less than 0.45.
struct GridGeoreference {
    static constexpr double kBoxWest = 116.15;
    static constexpr double kBoxSouth = 39.75;
    static constexpr double kCellWidth = 0.45 / 1000;
    static constexpr double kCellHeight = 0.35 / 1000;
    static constexpr double kWest = kBoxWest - kCellWidth;    // western edge of column 0
    static constexpr double kSouth = kBoxSouth - kCellHeight;  // southern edge of row 0
};

// The largest summed weight of any cell for these settings, before the
// logarithm and the normalisation (the CPU engine's raw grid).
double densestCell(const std::vector<Datapoint>& points, const ControlSettings& settings);

// Writes `grid` (normalised, row 0 south) as a Float32 GeoTIFF in EPSG:4326,
// with the settings and `densest` as metadata, through OutputFile. Throws
// OutputError with the system's or GDAL's reason.
void writeDensityGeoTiff(const std::string& path, const std::vector<float>& grid, const ControlSettings& settings,
                         double densest);
