#include "app/GridValues.h"

#include "app/MapGeometry.h"
#include "kde/GridShape.h"
#include "kde/KdeLogic.h"

std::optional<GridValues> parseGridValues(std::string_view text) {
    if (text == "density") return GridValues::perKm2;
    if (text == "display") return GridValues::display;
    if (text == "count") return GridValues::count;
    return std::nullopt;
}

const char* gridValuesUnits(GridValues values) {
    switch (values) {
        case GridValues::perKm2: return "samples/km2";
        case GridValues::count: return "samples";
        case GridValues::display: break;
    }
    return "display level 0-1";
}

std::vector<float> perDayCells(const std::vector<float>& cells, std::int64_t days) {
    std::vector<float> out(cells.size(), 0.0f);
    if (days <= 0) return out;  // no day: callers refuse such selections before any compute
    const auto divisor = static_cast<float>(days);
    for (std::size_t i = 0; i < cells.size(); ++i) out[i] = cells[i] / divisor;
    return out;
}

std::vector<float> perKm2Grid(const std::vector<float>& grid, double densest, bool logScale, const GeoFrame& frame) {
    std::vector<float> values(grid.size(), 0.0f);
    if (grid.size() != static_cast<std::size_t>(kGridCells)) return values;
    for (int row = 0; row < kGridSide; ++row) {
        const std::size_t first = static_cast<std::size_t>(row) * kGridSide;
        for (std::size_t i = first; i < first + kGridSide; ++i)
            if (grid[i] > 0.0f)
                values[i] = static_cast<float>(
                    analysis::densityPerKm2(analysis::densityAtLevel(grid[i], densest, logScale), row, frame));
    }
    return values;
}

std::vector<float> sampleCountGrid(const std::vector<Datapoint>& points, const ControlSettings& filters) {
    std::vector<std::int64_t> counts(static_cast<std::size_t>(kGridCells), 0);
    for (const Datapoint& point : points) {
        if (!kde::point_passes(point, filters.mode_mask, filters.min_time, filters.max_time)) continue;
        const kde::Cell cell = kde::cell_of(point);
        if (!cell.valid || cell.row < 0 || cell.row >= kGridSide || cell.col < 0 || cell.col >= kGridSide) continue;
        ++counts[static_cast<std::size_t>(cell.row) * kGridSide + static_cast<std::size_t>(cell.col)];
    }
    // Float32 holds every count up to 2^24 exactly; a single cell rarely holds more.
    return std::vector<float>(counts.begin(), counts.end());
}

std::vector<float> gridCells(GridValues values, const std::vector<float>& grid, double densest, bool logScale,
                             const std::vector<float>& counts, const GeoFrame& frame) {
    switch (values) {
        case GridValues::perKm2: return perKm2Grid(grid, densest, logScale, frame);
        case GridValues::count: return counts;
        case GridValues::display: break;
    }
    return grid;
}
