#pragma once
// The per-element rules of the density estimate, compiled by nvcc for the
// CUDA kernels and by the host compiler for the CPU engines, so every engine
// places, filters, stamps and combines exactly alike.
#include <cstdint>

#include "engine/GridShape.h"
#include "model/Datapoint.h"
#include "model/HostDevice.h"

#if !defined(__CUDACC__)
#include <cmath>
#endif

namespace kde {

inline constexpr int kPrecision = kGridPrecision;
inline constexpr int kSide = kGridSide;
inline constexpr int kCells = kGridCells;
inline constexpr int kThreadsPerBlock = 256;
// The largest odd table side whose bytes fit a signed 32-bit count.
inline constexpr int kMaxKernelSize = 23169;
inline constexpr int kMaxHalf = kMaxKernelSize / 2;

// A point's centre cell. valid is false for coordinates that are not finite
// or whose scaled value does not fit an int: such points are skipped.
struct Cell {
    int row;
    int col;
    bool valid;
};

TRACKORA_HD inline bool fitsInt(float scaled) {
    // NaN fails both comparisons; 2^31 is exactly representable as a float.
    return scaled > -2147483648.0f && scaled < 2147483648.0f;
}

// The grid side for a number of decimal digits per axis: 10^precision, a
// double power. A power of ten is a whole number, so it is rounded rather than
// truncated: a last-bit error of the device pow must not turn 1000 into 999.
// Sides above 46340 would overflow the int cell index; only kPrecision is used.
TRACKORA_HD inline int grid_side(int precision) {
    return static_cast<int>(pow(10.0, static_cast<double>(precision)) + 0.5);
}

// The cell that holds the point: the floor of the normalised coordinate
// times the side, the product in single precision; row from x (latitude),
// column from y. A product of exactly the side (a point on the north or east
// border of the frame) belongs to the last row or column, so every point of
// the frame lands on the grid. Points outside keep their cell beyond the
// edge, where the stamp is clipped.
TRACKORA_HD inline int cell_index(float scaled, int output_size) {
    if (scaled == static_cast<float>(output_size)) return output_size - 1;
    return static_cast<int>(floorf(scaled));
}
TRACKORA_HD inline Cell cell_function(const Datapoint& point, int output_size = kSide) {
    const float row = point.x * static_cast<float>(output_size);
    const float col = point.y * static_cast<float>(output_size);
    if (!fitsInt(row) || !fitsInt(col)) return Cell{0, 0, false};
    // fitsInt keeps the floor within -2^31 .. 2^31 - 128.
    return Cell{cell_index(row, output_size), cell_index(col, output_size), true};
}

// Mode filter: a point whose mode is one of the eleven flags passes when its
// bit is set; any other mode value passes. With every flag set nothing is
// tested, which gives the same answer.
TRACKORA_HD inline bool mode_passes(std::int32_t mode, std::int32_t mode_mask) {
    if (mode_mask == kAllModes) return true;
    for (int bit = 0; bit < kModeCount; ++bit) {
        const std::int32_t flag = std::int32_t{1} << bit;
        if ((mode_mask & flag) == 0 && mode == flag) return false;
    }
    return true;
}

// The time window is inclusive and is not applied at all with mask 0.
TRACKORA_HD inline bool time_passes(std::int32_t time, std::int32_t mode_mask, std::int32_t min_time,
                                    std::int32_t max_time) {
    return mode_mask == 0 || (time >= min_time && time <= max_time);
}

TRACKORA_HD inline bool point_passes(const Datapoint& point, std::int32_t mode_mask, std::int32_t min_time,
                                     std::int32_t max_time) {
    return mode_passes(static_cast<std::int32_t>(point.mode), mode_mask) &&
           time_passes(point.time, mode_mask, min_time, max_time);
}

// The log scale applies to every mode mask alike: "Use Log Scale" means
// log scale whatever is ticked.
TRACKORA_HD inline bool log_enabled(bool use_log_scale, std::int32_t mode_mask) {
    (void)mode_mask;
    return use_log_scale;
}

// Adds the weight table centred on (row, col) of an output_size x
// output_size grid, table row u + half on grid row row + u and table column
// v + half on grid column col + v. Positions outside the grid are dropped at
// all four edges; the loops cover only the part of the table that lands
// inside, so far-away points cost nothing.
template <typename Add>
TRACKORA_HD inline void stamp_function(int row, int col, const float* kernel, int kernel_size, int output_size,
                                       Add& add) {
    const long long half = kernel_size / 2;
    const long long side = output_size;
    const long long r = row;
    const long long c = col;
    const long long uLow = (-half > -r) ? -half : -r;
    const long long uHigh = (half < side - 1 - r) ? half : side - 1 - r;
    const long long vLow = (-half > -c) ? -half : -c;
    const long long vHigh = (half < side - 1 - c) ? half : side - 1 - c;
    for (long long u = uLow; u <= uHigh; ++u) {
        const float* tableRow = kernel + (u + half) * kernel_size + half;
        const long long gridRow = (r + u) * side + c;
        for (long long v = vLow; v <= vHigh; ++v)
            add(static_cast<int>(gridRow + v), tableRow[v]);
    }
}

// The host engines' add step for stamp_function: one thread adds at a time.
// The CUDA kernel adds atomically instead.
struct AddToGrid {
    float* grid;
    TRACKORA_HD void operator()(int index, float weight) const { grid[index] += weight; }
};

// Combining functions of the reductions. fmin/fmax return the other operand
// when one is NaN, as the single-precision minimum and maximum do.
TRACKORA_HD inline float sum_function(const float& x, const float& y) { return x + y; }
TRACKORA_HD inline float min_function(const float& x, const float& y) { return fminf(x, y); }
TRACKORA_HD inline float max_function(const float& x, const float& y) { return fmaxf(x, y); }

// ln(1 + density): every cell that holds samples stays positive, so thin
// heat is never drawn as empty; zero (and -0) cells keep their value. From a
// density of 1 on, 1 + density rounds by at most half an ulp of a value whose
// logarithm is at least ln 2, so logf(1 + density) stays within two ulps of
// the exact value and costs a third of log1pf, which only small densities
// need.
TRACKORA_HD inline float log_function(float value) {
    if (value >= 1.0f) return logf(1.0f + value);
    return value != 0.0f ? log1pf(value) : value;
}

// Division by the maximum. The caller only divides by a positive finite
// maximum; a cell that is not finite still never leaves as NaN or infinity.
TRACKORA_HD inline float normalize_function(float value, float max) {
    const float scaled = value / max;
    return (scaled - scaled == 0.0f) ? scaled : 0.0f;
}

// A normalised cell back in summed weights, given the maximum the grid was
// divided by and whether the logarithm was taken: what the readout shows.
TRACKORA_HD inline float unscale_function(float normalised, float max, bool logged) {
    const float scaled = normalised * max;
    return logged ? expm1f(scaled) : scaled;
}

TRACKORA_HD inline bool usable_maximum(float max) {
    return max > 0.0f && max - max == 0.0f;  // positive and finite
}

}  // namespace kde

// Reduction selector shared by the CUDA reductions and the reference engine.
enum reductionOperation : std::int32_t { MIN = 0, MAX = 1, SUM = 2 };

namespace kde {
TRACKORA_HD inline float reduction_initial(reductionOperation operation) {
    return operation == MIN ? 3.4028235e38f : 0.0f;
}

// The reductions' combining function, chosen when the reduction is compiled.
template <reductionOperation operation>
TRACKORA_HD inline float reduction_function(const float& x, const float& y) {
    if constexpr (operation == MIN)
        return min_function(x, y);
    else if constexpr (operation == MAX)
        return max_function(x, y);
    else
        return sum_function(x, y);
}
}  // namespace kde
