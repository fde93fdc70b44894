#pragma once
// The per-element rules of the density estimate, compiled by nvcc for the
// CUDA kernels and by the host compiler for the CPU engines, so every engine
// places, counts, filters, stamps, combines and finishes exactly alike.
#include <cstddef>
#include <cstdint>

#include "kde/GridShape.h"
#include "model/CellRule.h"
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
static_assert(kMaxKernelSize % 2 == 1 && 4LL * kMaxKernelSize * kMaxKernelSize <= 2147483647LL &&
                  4LL * (kMaxKernelSize + 2) * (kMaxKernelSize + 2) > 2147483647LL,
              "the largest odd table side whose bytes fit a signed 32-bit count");
static_assert(
    [] {
        int side = 1;
        for (int digit = 0; digit < kPrecision; ++digit) side *= 10;
        return side;
    }() == kSide,
    "the grid side is 10^precision");
static_assert(kCells == kSide * kSide);

// Blocks of kThreadsPerBlock threads that cover n items, rounded up in
// integers: the launches' and the maximum search's one rule.
TRACKORA_HD constexpr long long blocks_for(long long n) {
    return (n + kThreadsPerBlock - 1) / kThreadsPerBlock;
}
// Blocks of the first pass over the grid, one result each.
inline constexpr int kCellBlocks = static_cast<int>(blocks_for(kCells));
static_assert(kCellBlocks == 3907 && blocks_for(kCellBlocks) == 16 && blocks_for(16) == 1,
              "the grid's maximum takes three passes: 3907, 16 and 1 values");
// Below this many values one thread folds them instead of block passes.
inline constexpr int kFoldBelow = 64;

// The count grid: the density grid with this margin on every side. The
// engines count the points centred on it per cell and convolve the counts
// once; points centred further out are stamped one by one.
inline constexpr int kCountPad = 64;
inline constexpr int kCountSide = kSide + 2 * kCountPad;
inline constexpr std::size_t kCountCells = std::size_t{kCountSide} * kCountSide;
// Every count-grid index fits 32 bits with one value to spare for "none".
inline constexpr std::uint32_t kNoCountCell = 0xFFFFFFFFu;
static_assert(kCountCells <= std::size_t{kNoCountCell});

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
TRACKORA_HD inline int cell_index(float scaled, int output_size) { return gridCellOf(scaled, output_size); }
TRACKORA_HD inline Cell cell_of(const Datapoint& point, int output_size = kSide) {
    const float row = point.x * static_cast<float>(output_size);
    const float col = point.y * static_cast<float>(output_size);
    if (!fitsInt(row) || !fitsInt(col)) return Cell{0, 0, false};
    // fitsInt keeps the floor within -2^31 .. 2^31 - 128.
    return Cell{cell_index(row, output_size), cell_index(col, output_size), true};
}

static_assert(kCountPad <= kMaxHalf, "the margin lies within the reach of the largest table");

// Where a point goes: points centred further out than the largest table half
// never reach the grid (dropped); within the margin they are counted, beyond
// it stamped one by one (far).
enum class Place { dropped, counted, far };
TRACKORA_HD inline Place place_of(const Cell& cell) {
    if (!cell.valid) return Place::dropped;
    const int lowFar = -kMaxHalf;
    const int highFar = kSide - 1 + kMaxHalf;
    if (cell.row < lowFar || cell.row > highFar || cell.col < lowFar || cell.col > highFar) return Place::dropped;
    const int high = kSide - 1 + kCountPad;
    if (cell.row >= -kCountPad && cell.row <= high && cell.col >= -kCountPad && cell.col <= high)
        return Place::counted;
    return Place::far;
}

// Index into the count grid of a counted point's centre cell.
TRACKORA_HD inline std::uint32_t count_index(const Cell& cell) {
    return static_cast<std::uint32_t>((cell.row + kCountPad) * kCountSide + (cell.col + kCountPad));
}

// The count-grid rows that reach the grid with a table of this half, and the
// table offsets a convolution pass loops over: beyond them the counts are
// all 0.
struct ConvolutionShape {
    int rowFirst;
    int rowLast;
    int reach;
};
TRACKORA_HD inline ConvolutionShape convolution_shape(int half) {
    const int first = kCountPad - half;
    const int last = kCountPad + kSide - 1 + half;
    const int reach = kSide - 1 + kCountPad;
    return ConvolutionShape{first > 0 ? first : 0, last < kCountSide - 1 ? last : kCountSide - 1,
                            half < reach ? half : reach};
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

// Adds a rows x cols stamp (both odd) centred on (row, col) of an
// output_size x output_size grid: weight(u + rows / 2, v + cols / 2) on grid
// row row + u and column col + v. The two sides differ where the frame's
// cells are not square on the ground, so the Gaussian stays round in metres.
// Positions outside the grid are dropped at all four edges; the loops cover
// only the part of the stamp that lands inside, so far-away points cost
// nothing.
template <typename Weight, typename Add>
TRACKORA_HD inline void stamp_inside(int row, int col, int rows, int cols, int output_size, const Weight& weight,
                                     Add& add) {
    const long long halfRows = rows / 2;
    const long long halfCols = cols / 2;
    const long long side = output_size;
    const long long r = row;
    const long long c = col;
    const long long uLow = (-halfRows > -r) ? -halfRows : -r;
    const long long uHigh = (halfRows < side - 1 - r) ? halfRows : side - 1 - r;
    const long long vLow = (-halfCols > -c) ? -halfCols : -c;
    const long long vHigh = (halfCols < side - 1 - c) ? halfCols : side - 1 - c;
    for (long long u = uLow; u <= uHigh; ++u) {
        const long long gridRow = (r + u) * side + c;
        for (long long v = vLow; v <= vHigh; ++v)
            add(static_cast<int>(gridRow + v), weight(u + halfRows, v + halfCols));
    }
}

// The weight table itself, row-major, `cols` weights a row.
struct TableWeight {
    const float* table;
    long long cols;
    TRACKORA_HD float operator()(long long i, long long j) const { return table[i * cols + j]; }
};
// The outer product of the table's one-dimensional factors (tableFactors):
// what the counting engines convolve with, so the points they stamp one by
// one weigh as the counted ones do. rowFactor runs north-south, colFactor
// east-west; for a square table they are the same values.
struct FactorWeight {
    const float* rowFactor;
    const float* colFactor;
    TRACKORA_HD float operator()(long long i, long long j) const { return rowFactor[i] * colFactor[j]; }
};

// The literal stamp: the whole rows x cols table, as the reference engines
// add it per sample.
template <typename Add>
TRACKORA_HD inline void stamp_table(int row, int col, const float* kernel, int rows, int cols, int output_size,
                                    Add& add) {
    stamp_inside(row, col, rows, cols, output_size, TableWeight{kernel, cols}, add);
}
template <typename Add>
TRACKORA_HD inline void stamp_table(int row, int col, const float* kernel, int kernel_size, int output_size,
                                    Add& add) {
    stamp_table(row, col, kernel, kernel_size, kernel_size, output_size, add);
}

// The stamp of a point beyond the count grid's margin (kde::Place::far), in
// both counting engines: the factors' outer product.
template <typename Add>
TRACKORA_HD inline void stamp_far(int row, int col, const float* rowFactor, int rows, const float* colFactor, int cols,
                                  int output_size, Add& add) {
    stamp_inside(row, col, rows, cols, output_size, FactorWeight{rowFactor, colFactor}, add);
}
template <typename Add>
TRACKORA_HD inline void stamp_far(int row, int col, const float* factor, int kernel_size, int output_size, Add& add) {
    stamp_far(row, col, factor, kernel_size, factor, kernel_size, output_size, add);
}

// The host engines' add step for stamp_table: one thread adds at a time.
// The CUDA kernel adds atomically instead.
struct AddToGrid {
    float* grid;
    TRACKORA_HD void operator()(int index, float weight) const { grid[index] += weight; }
};

// The maximum's combining function. fmaxf returns the other operand when one
// is NaN, as the single-precision maximum does.
TRACKORA_HD inline float max_of(const float& x, const float& y) { return fmaxf(x, y); }

// ln(1 + density): every cell that holds samples stays positive, so thin
// heat is never drawn as empty; zero (and -0) cells keep their value. From a
// density of 1 on, 1 + density rounds by at most half an ulp of a value whose
// logarithm is at least ln 2, so logf(1 + density) stays within two ulps of
// the exact value and costs a third of log1pf, which only small densities
// need.
TRACKORA_HD inline float log_cell(float value) {
    if (value >= 1.0f) return logf(1.0f + value);
    return value != 0.0f ? log1pf(value) : value;
}

// Division by the maximum. The caller only divides by a positive finite
// maximum; a cell that is not finite still never leaves as NaN or infinity.
TRACKORA_HD inline float normalize_cell(float value, float max) {
    const float scaled = value / max;
    return (scaled - scaled == 0.0f) ? scaled : 0.0f;
}

// A normalised cell back in summed weights, given the maximum the grid was
// divided by and whether the logarithm was taken: what the readout shows.
TRACKORA_HD inline float unscale_cell(float normalised, float max, bool logged) {
    const float scaled = normalised * max;
    return logged ? expm1f(scaled) : scaled;
}

TRACKORA_HD inline bool usable_maximum(float max) {
    return max > 0.0f && max - max == 0.0f;  // positive and finite
}

// The finishing step every engine takes, cell by cell: scale_cell on
// each raw cell, the maximum of the scaled cells (max_of from
// kMaximumStart, the identity of the maximum, so a missing cell changes
// nothing), then finish_cell with that maximum. A grid whose maximum is
// not positive and finite becomes all zeros.
inline constexpr float kMaximumStart = -__builtin_huge_valf();
TRACKORA_HD inline float scale_cell(float value, bool use_log) { return use_log ? log_cell(value) : value; }
TRACKORA_HD inline float finish_cell(float scaled, float max) {
    return usable_maximum(max) ? normalize_cell(scaled, max) : 0.0f;
}

}  // namespace kde

namespace kde {
// The single-thread fold's starting value: 0, so the maximum of negative
// values folds to 0 (the grid's own maximum starts from kMaximumStart, and
// its cells are never negative).
inline constexpr float kSerialMaximumStart = 0.0f;
}  // namespace kde
