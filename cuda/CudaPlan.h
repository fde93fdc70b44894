#pragma once
// The host-side decisions of the CUDA engine: where each point goes (count
// grid or stamped one by one), launch shapes, launch chunks, the reduction
// passes, the device-memory footprint and the weight-table check. Plain C++
// with no CUDA include, compiled into the module's library (trackora_cuda)
// whether or not CUDA is built, so the CPU tests check what the GPU will be
// asked to do.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kde/KdeLogic.h"
#include "model/Datapoint.h"
#include "model/HostDevice.h"
#include "model/SampleSource.h"

namespace gpuplan {

// The two ways the engine sums the weights. `counting` (the `cuda` engine)
// counts the points per centre cell and convolves the counts with the
// table's one-dimensional factor; `literal` (`cuda-literal`) adds the whole
// table per point.
enum class Path { counting, literal };

inline constexpr int kThreads = kde::kThreadsPerBlock;
// The count grid (kde::kCountSide, kde::kCountPad) is the CPU engine's, so
// both engines count the same points.
using kde::kCountPad;
using kde::kCountSide;
// Horizontal pass output: the count grid's rows, the density grid's columns.
inline constexpr std::size_t kRowCells = std::size_t{kCountSide} * kde::kSide;
// Factor weights held in shared memory at a time by the convolution passes.
inline constexpr int kFactorChunk = 1024;
// Points per launch, so counts and thread indices always fit an int.
inline constexpr std::size_t kLaunchPoints = std::size_t{1} << 30;
// Samples per page-locked staging buffer of an upload (two of them, 4 MiB
// each): a source's larger chunks go in parts.
inline constexpr std::size_t kStagingSamples = std::size_t{1} << 18;
// The first reduction pass's results over the grid (kde::kCellBlocks), and
// room for the later passes' results after them.
inline constexpr int kPartials = kde::kCellBlocks + static_cast<int>(kde::blocks_for(kde::kCellBlocks));
static_assert(kPartials - kde::kCellBlocks == 16, "the second pass's 16 results fit after the first's");
// Kept free for the CUDA context and launches beyond the engine's buffers.
inline constexpr std::size_t kHeadroomBytes = std::size_t{64} << 20;

// The convolution's arithmetic, shared by the kernels and the CPU tests: an
// IEEE product and sum, never fused into one multiply-add, so the device's
// sums do not depend on what the compiler contracts. The CPU engine's own
// wide path fuses and flushes subnormals: the two agree within rounding.
TRACKORA_HD inline float product(float a, float b) {
#if defined(__CUDA_ARCH__)
    return __fmul_rn(a, b);
#else
    return a * b;
#endif
}
TRACKORA_HD inline float sum(float a, float b) {
#if defined(__CUDA_ARCH__)
    return __fadd_rn(a, b);
#else
    return a + b;
#endif
}

// Horizontal pass, one chunk of weights: adds weights[k] * count[c - v] for
// v = first + k, k < length, to total, where count_row is a count-grid row
// and c a grid column; counts outside the count grid are 0 and skipped.
TRACKORA_HD inline float row_sum_part(float total, const std::uint32_t* count_row, const float* weights, int first,
                                      int length, int c) {
    for (int k = 0; k < length; ++k) {
        const int column = c - (first + k) + kCountPad;
        if (column >= 0 && column < kCountSide)
            total = sum(total, product(weights[k], static_cast<float>(count_row[column])));
    }
    return total;
}

// Vertical pass, one chunk: adds weights[k] * rows[centre - u][c] for
// u = first + k, k < length; rows holds kde::kSide columns per row.
TRACKORA_HD inline float column_sum_part(float total, const float* rows, const float* weights, int first, int length,
                                         int centre, int c) {
    for (int k = 0; k < length; ++k) {
        const int i = centre - (first + k);
        total = sum(total, product(weights[k], rows[static_cast<std::size_t>(i) * kde::kSide + c]));
    }
    return total;
}

// The table offsets u the vertical pass sums for grid row r: those whose
// count-grid row r + kCountPad - u lies within row_first..row_last.
struct Range {
    int first;
    int last;
};
TRACKORA_HD inline Range column_range(int r, int half, int row_first, int row_last) {
    const int centre = r + kCountPad;
    const int low = centre - row_last;
    const int high = centre - row_first;
    return Range{low > -half ? low : -half, high < half ? high : half};
}

// One thread's whole pass, the loops of the convolution kernels: the
// horizontal pass for grid column c of a count-grid row (table offsets
// -reach..reach), and the vertical pass for grid cell (r, c) (the offsets of
// column_range). The factor is taken `chunk` weights at a time through
// load(first, length), which returns the weights of offsets first ..
// first + length - 1: on the device every thread of the block takes part in
// the load, so every thread runs the loop, the spare ones (c beyond the
// grid) included, and only the others sum.
template <typename Load>
TRACKORA_HD inline float row_pass(const std::uint32_t* count_row, int reach, int chunk, int c, Load& load) {
    float total = 0.0f;
    for (int first = -reach; first <= reach; first += chunk) {
        const int length = reach - first + 1 < chunk ? reach - first + 1 : chunk;
        const float* weights = load(first, length);
        if (c < kde::kSide) total = row_sum_part(total, count_row, weights, first, length, c);
    }
    return total;
}
template <typename Load>
TRACKORA_HD inline float column_pass(const float* rows, Range range, int chunk, int r, int c, Load& load) {
    float total = 0.0f;
    for (int first = range.first; first <= range.last; first += chunk) {
        const int length = range.last - first + 1 < chunk ? range.last - first + 1 : chunk;
        const float* weights = load(first, length);
        if (c < kde::kSide) total = column_sum_part(total, rows, weights, first, length, r + kCountPad, c);
    }
    return total;
}

// Blocks of kThreads that cover n items (at least one).
int blocksFor(std::int64_t n);

// One kernel launch over points [first, first + count).
struct Chunk {
    std::size_t first;
    int count;
    int blocks;
};
// Chunks of at most perLaunch points; one empty chunk for no points, so the
// launch and its spare threads still run.
std::vector<Chunk> pointChunks(std::size_t points, std::size_t perLaunch = kLaunchPoints);

// Block counts of the maximum search's passes over n values: empty when n is
// below 64 (one thread folds them), {3907, 16, 1} for the grid.
std::vector<int> maximumPasses(int n);


// Device bytes the engine holds: points, grid, partial results and the
// table; the counting path's table is the factor, and it adds the far points,
// the count grid and the row buffer; the literal path's is the whole table
// (up to 2.1 GB).
std::size_t footprintBytes(Path path, std::size_t points, std::size_t farPoints, int tableSize);
// Bytes of the table itself on the device.
std::size_t tableBytes(Path path, int tableSize);

// Empty when table holds rows x cols weights for odd sides within
// 1..kMaxKernelSize; otherwise the reason.
std::string tableProblem(std::size_t tableEntries, int rows, int cols);
inline std::string tableProblem(std::size_t tableEntries, int size) { return tableProblem(tableEntries, size, size); }

// The points the counting path stamps one by one (kde::Place::far), in input
// order: appended from one chunk of samples, or gathered from a whole
// source. They are rare (an import keeps the frame's fixes), so one pass on
// one thread serves.
void appendFarPoints(const Datapoint* samples, std::size_t count, std::vector<Datapoint>& far);
std::vector<Datapoint> farPoints(const SampleSource& samples);

std::string megabytes(std::size_t bytes);

}  // namespace gpuplan
