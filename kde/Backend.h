#pragma once
// What every density engine offers the facade (engine/HeatmapEngine.cpp): a
// weight table to hold and a raw-to-normalised grid computation, and the
// host helpers every engine uses to build and finish alike (kde/Backend.cpp).
// Internal to the engines, their tests and the benchmark; plain C++ so nvcc
// and the host compiler both read it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "settings/ControlSettings.h"
#include "model/Datapoint.h"

namespace engine {

class DensityBackend {
public:
    virtual ~DensityBackend() = default;
    // table holds rows * cols weights, row-major (both odd, 1..23169): rows
    // north-south, cols east-west.
    virtual void setKernel(const std::vector<float>& table, int rows, int cols) = 0;
    // A square table of size * size weights.
    void setKernel(const std::vector<float>& table, int size) { setKernel(table, size, size); }
    // The normalised grid; uses settings' filters and log switch only.
    virtual std::vector<float> compute(const ControlSettings& settings) = 0;
    virtual std::string name() const = 0;
    // Bytes the engine holds for the points and its caches (host or device).
    virtual std::size_t memoryBytes() const = 0;
    // Drops what was cached for the last filter, so a benchmark can time the
    // compute that follows a filter change.
    virtual void forgetLastCounts() {}
    // Milliseconds the device spent on the last compute, up to the
    // normalised grid and before its copy back to the host; negative for
    // engines that run on the host.
    virtual double lastDeviceMs() const { return -1.0; }

    // The value the last compute divided by: the densest cell's summed
    // weights, or its logarithm when the log scale was on. 0 when the last
    // grid was all zeros or nothing was computed yet.
    float lastMaximum() const { return lastMaximum_; }

    // The last compute's summed weights at cell index (row * 1000 + col),
    // before the logarithm and the division; 0 before any compute.
    virtual float densityAt(std::size_t index) = 0;

protected:
    float lastMaximum_ = 0.0f;
};

// Engines that can count the samples centred in one cell under a filter, for
// the viewer's readout: cell (row, col) of the 1000 x 1000 grid.
class CellCounter {
public:
    virtual ~CellCounter() = default;
    virtual std::int64_t samplesInCell(int row, int col, const ControlSettings& filters) = 0;
    // The samples centred in every cell of the 1000 x 1000 grid under the
    // filters, row by row as the density grid (exact up to 2^24 a cell).
    virtual std::vector<float> cellCounts(const ControlSettings& filters) = 0;
};

// The size computeHeatmap works with: the settings' odd-size rule, capped at
// the largest side whose bytes fit a signed 32-bit count.
int effectiveKernelSize(int size);

// The Gaussian weight table: size x size floats, row-major, summing to 1.
// size must be odd and at least 1 (std::invalid_argument otherwise).
std::vector<float> makeGaussKernel(float sigma, int size);

// makeGaussKernel, with the fallbacks for a sigma that yields no usable table.
std::vector<float> usableGaussKernel(float sigma, int size);

// A weight table's shape on the grid: rows north-south, cols east-west (both
// odd), and the Gaussian's sigma along each, in cells.
struct KernelShape {
    int rows = 1;
    int cols = 1;
    float sigmaRows = 1.0f;
    float sigmaCols = 1.0f;
    bool square() const { return rows == cols && sigmaRows == sigmaCols; }
};

// The table for a sigma and size in cells north-south over cells whose
// east-west width is `aspect` times their north-south height on the ground:
// east-west, sigma and reach in cells are divided by the aspect, so the
// Gaussian is round in metres. An aspect of 1 (what a frame within 2% of
// square is given) keeps the square table; one that is not positive and
// finite is taken as 1. The size goes through effectiveKernelSize; the
// east-west side is capped alike.
KernelShape kernelShape(float sigma, int size, double aspect);

// The Gaussian table of that shape, summing to 1; a square shape gives
// exactly makeGaussKernel's table. The fallbacks of usableGaussKernel apply.
std::vector<float> usableGaussKernel(const KernelShape& shape);

// The weight table's one-dimensional factor: its row sums over the square
// root of its total, so that factor[i] * factor[j] is table[i][j] within a few
// roundings. Both convolving engines use it, so they convolve alike.
std::vector<float> tableFactor(const std::vector<float>& table, int size);

// The factors of a rows x cols table: rows[i] * cols[j] is table[i][j]
// within a few roundings (row and column sums over the square root of the
// total). For a square table both equal tableFactor's.
struct TableFactors {
    std::vector<float> rows;
    std::vector<float> cols;
};
TableFactors tableFactors(const std::vector<float>& table, int rows, int cols);

// One line when the table ends inside two sigmas of its centre (north-south,
// the side Size sets), so the stamp shows the box's edges: what Size would hold the
// Gaussian to two sigmas. Empty when it does not.
std::string kernelCutShortWarning(const KernelShape& shape);

// Turns a raw density grid into the result in place: the optional logarithm,
// the maximum and the division. When the maximum is not positive and finite
// every cell becomes 0. Uses all hardware threads when threads > 1. Returns
// the maximum divided by, or 0 for an all-zero grid.
float finishGrid(std::vector<float>& grid, bool useLog, unsigned threads);

// The threads the host engines split their work over: the hardware's, at
// least 1.
unsigned hardwareThreads();

}  // namespace engine
