#pragma once
// The per-frame density refresh, separated from the window so that which
// engine calls happen in which frame can be tested with a recording engine.
#include <functional>
#include <vector>

#include "settings/ControlSettings.h"

// The engine operations the refresh needs; the viewer binds them to
// HeatmapEngine, tests to recorders.
struct DensitySteps {
    std::function<void(ControlSettings&)> rebuildKernel;
    std::function<std::vector<float>(ControlSettings&)> computeHeatmap;
    // Receives each new grid; in the viewer it fills the heatmap texture.
    std::function<void(const std::vector<float>&)> upload;
};

// After the panel has run: rebuilds the Gaussian table when size or sigma
// changed, then, when anything that affects the grid changed, computes a
// grid, records the applied mode mask, clears the change flags and uploads
// the grid. A grid of any size other than `gridCells` is not uploaded (one
// line on standard output), since the texture could not hold it. Returns
// whether a grid was computed.
bool refreshDensity(ControlSettings& settings, const DensitySteps& steps, std::size_t gridCells);

// HeatmapEngine's steps, adding the milliseconds spent in rebuildKernel and
// computeHeatmap to elapsedMs: how trackora-heatmap --script and the
// benchmark time a frame as the viewer runs it.
DensitySteps timedEngineSteps(double& elapsedMs, std::function<void(const std::vector<float>&)> upload);
