#pragma once
// What the cells of a saved grid hold: samples per km² (the default, what the
// readout shows), the display levels the map is coloured by, or the samples
// centred in each cell. trackora-heatmap's --values and the viewer's "Save
// grid" share them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/ControlSettings.h"
#include "model/Datapoint.h"
#include "model/GeoFrame.h"

enum class GridValues { perKm2, display, count };

// "density", "display" or "count"; nothing for anything else.
std::optional<GridValues> parseGridValues(std::string_view text);
// The UNITS metadata item of a GeoTIFF holding such values.
const char* gridValuesUnits(GridValues values);

// How values per day were made: the days the selection covers (0: not per
// day) and, for a difference A - B of two selections, B's days and what B
// is ("modes walk; 00:00:00-24:00:00; sat,sun").
struct DayCount {
    std::int64_t days = 0;
    std::int64_t versusDays = 0;
    std::string versus;
};

// Each cell divided by `days` in single precision, as every per-day output
// divides (so a difference of two per-day grids is exactly theirs).
std::vector<float> perDayCells(const std::vector<float>& cells, std::int64_t days);

// A normalised grid (as computeHeatmap returns it, row 0 south) in samples
// per km²: each level taken back through the scale to the density it stands
// for, over its cell's area, as the readout converts.
std::vector<float> perKm2Grid(const std::vector<float>& grid, double densest, bool logScale, const GeoFrame& frame);

// The cells to save as `values`: the normalised grid itself, it in samples
// per km² (`densest` and `logScale` of the compute that gave it), or
// `counts`, the samples centred in each cell under the filters
// (HeatmapEngine::sampleCounts; read only for GridValues::count). `frame`
// gives the cells' areas.
std::vector<float> gridCells(GridValues values, const std::vector<float>& grid, double densest, bool logScale,
                             const std::vector<float>& counts, const GeoFrame& frame);

// The samples centred in each cell under the mode and time filters, indexed
// as the density grid: the engine's cell rule, points off the grid left out.
// Counted point by point, apart from the engine's index, for checking it.
std::vector<float> sampleCountGrid(const std::vector<Datapoint>& points, const ControlSettings& filters);
