#pragma once
// The density grid as a GeoTIFF that a GIS places where the cells lie on the
// earth: trackora-heatmap's --geotiff and the viewer's "Save grid".
#include <string>
#include <vector>

#include "app/ControlSettings.h"
#include "app/GridValues.h"
#include "model/Datapoint.h"
#include "model/GeoFrame.h"
#include "model/OutputFile.h"


// Writes `grid` (row 0 south, holding `values`: display levels as
// computeHeatmap returns them unless said otherwise) as a Float32 GeoTIFF in
// EPSG:4326 whose cells tile `frame`, with the settings, `densest` (the densest cell's summed weights,
// as HeatmapEngine::lastMaximumDensity gives them) and the values' UNITS as
// metadata, through OutputFile. Throws OutputError with the system's or
// GDAL's reason.
// `clock` names the clock of TIME_WINDOW ("08:00-10:00 America/Los_Angeles")
// when the samples have one.
void writeDensityGeoTiff(const std::string& path, const std::vector<float>& grid, const ControlSettings& settings,
                         double densest, GridValues values, const GeoFrame& frame, const std::string& clock = {});
// The same into an output opened earlier (checked before long work); commits it.
void writeDensityGeoTiff(OutputFile& out, const std::vector<float>& grid, const ControlSettings& settings,
                         double densest, GridValues values, const GeoFrame& frame, const std::string& clock = {});

// The band's description: what the values are and the settings that made
// them (modes, the window in its clock, sigma and size in cells and metres
// north-south), so a GIS names the band by what it holds.
std::string gridBandDescription(const ControlSettings& settings, GridValues values, const GeoFrame& frame,
                                const std::string& clock = {});

// The viewer's "Save grid": `grid` as the last computeHeatmap returned it,
// with that compute's densest cell and scale, saved as `values` (counts from
// the engine's index under the settings' filters). Throws OutputError, or
// std::invalid_argument for a grid of another size.
void saveGridGeoTiff(const std::string& path, const std::vector<float>& grid, const ControlSettings& settings,
                     GridValues values, const GeoFrame& frame, const std::string& clock = {});
