#pragma once
// The kernels of the density pipeline, for the module's .cu files only
// (kernels.cu defines them). The per-element rules are kde/KdeLogic.h's,
// the convolution passes and the launch chunks cuda/CudaPlan.h's.
//
// Launch shapes: blocks of gpuplan::kThreads (256) threads, one thread per
// point or cell, unless stated otherwise. Kernels over points take at most
// gpuplan::kLaunchPoints points per launch (gpuplan::pointChunks), so counts
// and thread indices fit an int.
#include <cuda_runtime.h>

#include <cstdint>
#include <vector>

#include "cuda/CudaCheck.cuh"
#include "kde/KdeLogic.h"
#include "model/Datapoint.h"

// The literal path: adds the whole table centred on each passing point, with
// float atomics; output_data holds the kde::kSide^2 cells of the grid.
// The table is kernel_rows x kernel_cols, row-major.
__global__ void stamp_whole_table_kernel(const Datapoint* points, int n_point, const float* kernel, int kernel_rows,
                                         int kernel_cols, float* output_data, int mode_mask, int min_time,
                                         int max_time);

// The counting path, first step: the integer count of the passing points per
// centre cell of the count grid (counts: kde::kCountCells, zeroed before).
// Exact whatever order the atomics take.
__global__ void count_kernel(const Datapoint* points, int n_point, std::uint32_t* counts, int mode_mask,
                             int min_time, int max_time);

// The counting path's convolution with the table's factors (half = side / 2:
// the east-west factor for the rows pass, the north-south one for the columns),
// its weights taken `chunk` at a time (1..gpuplan::kFactorChunk) through
// shared memory. Horizontal pass: blocks (4, rows row_first..row_last of the
// count grid), into rows (gpuplan::kRowCells); vertical pass: blocks
// (4, 1000), into the grid.
__global__ void convolve_rows_kernel(const std::uint32_t* counts, const float* factor, int half, int reach,
                                     int row_first, float* rows, int chunk);
__global__ void convolve_columns_kernel(const float* rows, const float* factor, int half, int row_first,
                                        int row_last, float* output_data, int chunk);

// The counting path's points centred beyond the count grid's margin
// (gpuplan::farPoints), each stamped with the factor's outer product, added
// to the convolved grid with float atomics.
__global__ void far_kernel(const Datapoint* points, int n_point, const float* row_factor, int kernel_rows,
                           const float* col_factor, int kernel_cols, float* output_data, int mode_mask,
                           int min_time, int max_time);

// The finishing step's first half: the optional logarithm in place and the
// maximum of each block of cells into block_max (one value per block).
// Exactly kThreads threads per block.
__global__ void log_max_kernel(float* data, int N, bool use_log, float* block_max);

// The finishing step's second half: division by the maximum the search left
// on the device at max_at; all zeros when it is not positive and finite.
__global__ void normalize_by_kernel(float* data, int N, const float* max_at);

namespace engine::detail {

// The maximum's kernels, launched from kernels.cu, where they are defined.
// One pass of reduction_kernel_blocks: `blocks` blocks of kThreads threads,
// block b taking the maximum of in[256 b ..] (as far as n reaches) into out[b].
void launchBlocksPass(int blocks, const float* in, float* out, int n, cudaStream_t stream);
// reduction_kernel_serial: one thread folds all n values into out[0].
void launchSerial(const float* in, float* out, int n, cudaStream_t stream);

// The maximum of n device values; the result stays on the device, at the
// returned address. Below kde::kFoldBelow values one thread folds them into
// first[0]; otherwise block passes alternate between the regions first and
// second (first takes ceil(n / 256) values, second the next pass's), so no
// pass writes where its own blocks read. passes, when given, receives each
// pass's result count.
const float* reduceMaximum(FailureFlag& flag, const float* values, int n, float* first, float* second,
                           std::vector<int>* passes, cudaStream_t stream);

}  // namespace engine::detail
