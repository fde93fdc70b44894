#pragma once
// The density engine: one module-wide instance that turns the loaded samples
// into a normalised 1000 x 1000 kernel-density grid for the current settings.
// It runs on CUDA when a working GPU is present and on a multi-threaded CPU
// engine otherwise; this header compiles with a plain C++ compiler.
#include <string>
#include <vector>

#include "app/ControlSettings.h"
#include "model/Datapoint.h"

inline constexpr int kGridPrecision = 3;
inline constexpr int kGridSide = 1000;
inline constexpr int kGridCells = kGridSide * kGridSide;

namespace HeatmapEngine {

// Takes the engine's own copy of the samples and builds the weight table for
// settings.kernel_size and settings.sigma. Prints one line naming the engine
// that runs (and why CUDA does not, when it does not). The environment
// variable TRACKORA_ENGINE=cpu|cuda|cuda-literal|reference forces a choice
// (cuda-literal: the CUDA engine adding the whole table per sample). Calling it
// again replaces the previous engine.
void initialize(std::vector<Datapoint> points, ControlSettings& settings);

// Rebuilds the weight table from settings.kernel_size and settings.sigma.
// Sizes are made odd and clamped to 1..23169 as the control panel does; a
// sigma for which the Gaussian has no finite weights gives a single-cell
// table (the limit of a vanishing sigma), and one whose weights all vanish
// gives a flat table.
void rebuildKernel(ControlSettings& settings);

// kGridCells floats, row r (from x, south to north) then column c (from y,
// west to east) at r * kGridSide + c. Normalised so the densest cell is 1
// (with the log scale: ln(density) over the largest logged value, empty cells
// 0). Never NaN or infinite: when no cell is positive every cell is 0.
// Before initialize or after release the grid is all zeros.
std::vector<float> computeHeatmap(ControlSettings& settings);

// Frees the engine's memory; initialize may be called again afterwards.
void release();

// The Gaussian weight table: size x size floats, row-major, summing to 1.
// size must be odd and at least 1 (std::invalid_argument otherwise).
std::vector<float> makeGaussKernel(float sigma, int size);

// "CUDA (NVIDIA H100)", "CPU, 2 threads", "reference CPU", or "none".
std::string engineName();

}  // namespace HeatmapEngine
