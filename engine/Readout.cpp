// What the viewer reads from the last grid: the value and the samples of a
// cell (cached: the readout asks every frame), the maximum, the counts.
#include <cstddef>
#include <vector>

#include "engine/EngineState.h"
#include "kde/KdeLogic.h"

namespace HeatmapEngine {

using namespace detail;

std::vector<float> sampleCounts(const ControlSettings& filters) {
    if (!state.counter) return std::vector<float>(kGridCells, 0.0f);
    return state.counter->cellCounts(forTheEngine(filters));
}

CellValue cellValue(int row, int col) {
    CellValue value;
    if (row < 0 || row >= kGridSide || col < 0 || col >= kGridSide || !state.computed) return value;
    if (state.readout.row == row && state.readout.col == col) return state.readout.value;
    const std::size_t index = static_cast<std::size_t>(row) * kGridSide + col;
    try {
        value.density = state.active->densityAt(index);
    } catch (const std::exception& error) {
        if (!state.onGpu || !state.fallback) throw;
        // The grid on screen came from the GPU: the CPU engine computes it
        // again before it can be read.
        failOver(error);
        state.active->compute(state.lastSettings);
        state.lastMaximum = state.active->lastMaximum();
        value.density = state.active->densityAt(index);
    }
    if (state.counter) value.samples = state.counter->samplesInCell(row, col, state.lastSettings);
    state.readout = {row, col, value};
    return value;
}

float lastMaximumDensity() {
    return state.computed ? kde::unscale_cell(1.0f, state.lastMaximum, state.lastLog) : 0.0f;
}

bool lastUsedLogScale() { return state.lastLog; }

}  // namespace HeatmapEngine
