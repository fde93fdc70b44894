#pragma once
// Saving the density grid the map shows, for use in GIS programs.
#include <string>
#include <vector>

#include "app/ControlSettings.h"

// Writes `grid` (1000 x 1000 floats, row 0 south, column 0 west, as the
// engine returns it) to `path` as a georeferenced raster of the box
// 39.75-40.1 N, 116.15-116.6 E, through OutputFile: the old file stays as it
// was when the write fails. `settings` says what the grid was computed for.
// Throws OutputError (or std::invalid_argument for a grid of another size).
void saveGridGeoTiff(const std::string& path, const std::vector<float>& grid, const ControlSettings& settings);
