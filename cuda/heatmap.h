#pragma once
// The CUDA density engine: device buffers, the kernels and their launchers.
// Plain C++ for every includer but heatmap.cu; the kernel declarations are
// seen by nvcc only. The per-element rules and the reductionOperation
// selector live in engine/KdeLogic.h, shared with the CPU engines, the count
// grid and the finishing step included; launch shapes, memory sizes and the
// convolution passes in cuda/CudaPlan.h.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cuda/CudaPlan.h"
#include "engine/Backend.h"
#include "engine/KdeLogic.h"
#include "model/SampleSource.h"

namespace engine {

// Either a running CUDA engine holding the uploaded points, or the reason
// none could start (no device, no driver, not enough memory), in words, or
// neither with afterRelease set: the engine fits only in the memory that a
// running engine holds, and is to be started once that one is released.
struct CudaStart {
    std::unique_ptr<DensityBackend> backend;
    std::string problem;
    bool afterRelease = false;
};
// path: the counting engine (`cuda`) or the per-sample one (`cuda-literal`).
// tableSize: the side of the first weight table, part of the memory check.
// reclaimableBytes: device memory of a running engine that goes before this
// one is used.
CudaStart startCudaEngine(const std::vector<Datapoint>& points, gpuplan::Path path = gpuplan::Path::fast,
                          int tableSize = 1, std::size_t reclaimableBytes = 0);
// The same from a source read a chunk at a time (a sample file too large to
// hold in host memory); cancelled with the source.
CudaStart startCudaEngine(const SampleSource& samples, gpuplan::Path path = gpuplan::Path::fast,
                          int tableSize = 1, std::size_t reclaimableBytes = 0);

// Empty when a CUDA device is present, else the reason.
std::string cudaDeviceProblem();

// The device the engine would use, for reports: "NVIDIA H100 80GB HBM3,
// compute capability 9.0, 79.2 GiB, 132 multiprocessors; driver 13.0,
// runtime 13.0". Empty when there is none.
std::string cudaDeviceDescription();

}  // namespace engine

#if defined(__CUDACC__)
// Launch shapes: blocks of 256 threads, one thread per point or cell, unless
// stated otherwise.
// Per-sample stamp of the whole table (the `cuda-literal` path).
__global__ void kde_kernel(const Datapoint* points, int n_point, const float* kernel, int kernel_size,
                           float* output_data, int precision, int mode_mask, int min_time, int max_time);
// Integer count of the passing points per centre cell of the count grid.
__global__ void count_kernel(const Datapoint* points, int n_point, std::uint32_t* counts, int mode_mask,
                             int min_time, int max_time);
// Horizontal pass: blocks (4, count rows); vertical pass: blocks (4, 1000).
__global__ void convolve_rows_kernel(const std::uint32_t* counts, const float* factor, int half, int reach,
                                     int row_first, float* rows, int chunk);
__global__ void convolve_columns_kernel(const float* rows, const float* factor, int half, int row_first,
                                        int row_last, float* output_data, int chunk);
// Points centred beyond the count grid's margin, each stamped with the
// factor's outer product.
__global__ void far_kernel(const Datapoint* points, int n_point, const float* factor, int kernel_size,
                           float* output_data, int mode_mask, int min_time, int max_time);
// Optional logarithm in place and one maximum per block of 256 cells.
__global__ void log_max_kernel(float* data, int N, bool use_log, float* block_max);
// Division by the maximum found on the device; all zeros when it is not
// positive and finite.
__global__ void normalize_by_kernel(float* data, int N, const float* max_at);
// The combining function is chosen at compile time.
template <reductionOperation operation>
__global__ void reduction_kernel_blocks(const float* data, float* output, int N, int num_blocks);
// One thread folds the whole array: launch as <<<1, 1>>>.
template <reductionOperation operation>
__global__ void reduction_kernel_warp(const float* data, float* output_value, int N);
#endif
