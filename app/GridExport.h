#pragma once
// The density grid as a GeoTIFF that a GIS places where the cells lie on the
// earth: trackora-heatmap's --geotiff and the viewer's "Save grid".
#include <optional>
#include <string>
#include <vector>

#include "app/MapGeometry.h"

#include "settings/ControlSettings.h"
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
// With days.days > 0 the values are per day: the units say so
// ("samples/km2/day") and a DAYS item records the days counted; with
// days.versusDays > 0 they are a difference A - B of two selections' values
// per day, DAYS_B and SELECTION_B recording B's.
void writeDensityGeoTiff(const std::string& path, const std::vector<float>& grid, const ControlSettings& settings,
                         double densest, GridValues values, const GeoFrame& frame, const std::string& clock = {},
                         const DayCount& days = {});
// The same into an output opened earlier (checked before long work); commits it.
void writeDensityGeoTiff(OutputFile& out, const std::vector<float>& grid, const ControlSettings& settings,
                         double densest, GridValues values, const GeoFrame& frame, const std::string& clock = {},
                         const DayCount& days = {});

// The band's description: what the values are and the settings that made
// them (modes, the window in its clock, sigma and size in cells and metres
// north-south), so a GIS names the band by what it holds.
std::string gridBandDescription(const ControlSettings& settings, GridValues values, const GeoFrame& frame,
                                const std::string& clock = {});

// A picture of the map in the frame's shape on the ground: its longer side
// `longSide` pixels, the other in proportion to the frame's metres at its
// centre latitude; square for a frame within 2% of square, as the viewer
// draws it.
struct PictureShape {
    int width = 0;
    int height = 0;
};
PictureShape pictureShape(const GeoFrame& frame, int longSide);
// The world file that places a width x height picture of the frame, north
// up, for GDAL and GIS software: pixel width, two rotations, minus the pixel
// height, then the centre of the top-left pixel, in degrees.
std::string worldFileText(const GeoFrame& frame, int width, int height);
// The world file of the viewer's saved picture, width x height pixels of
// the window under `view`: the map letterboxed in it as drawn, the bands
// beside it placed beyond the frame's edges. Nothing when the view is zoomed
// or panned (the map does not fill its extent): such a picture is placed
// by no world file the user would expect.
std::optional<std::string> viewWorldFileText(const GeoFrame& frame, int width, int height,
                                             const analysis::ViewTransform& view);
// Where a picture's world file goes: its extension replaced by ".pgw" (GDAL
// looks there), and its coordinate system beside it as PATH.aux.xml.
std::string worldFilePath(const std::string& picture);
std::string auxXmlPath(const std::string& picture);
// That .aux.xml: the picture's coordinate system, WGS 84 longitude/latitude.
std::string auxXmlText();

// The viewer's "Save grid": `grid` as the last computeHeatmap returned it,
// with that compute's densest cell and scale, saved as `values` (counts from
// the engine's index under the settings' filters). Throws OutputError, or
// std::invalid_argument for a grid of another size. With `days` > 0,
// densities and counts are per day over that many days, as
// trackora-heatmap --per-day writes them (display levels stay as they are).
void saveGridGeoTiff(const std::string& path, const std::vector<float>& grid, const ControlSettings& settings,
                     GridValues values, const GeoFrame& frame, const std::string& clock = {},
                     std::int64_t days = 0);
