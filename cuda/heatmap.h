#pragma once
// The CUDA density engine: device buffers, the kernels and their launchers.
// Plain C++ for every includer but heatmap.cu; the kernel declarations are
// seen by nvcc only. The per-element rules and the reductionOperation
// selector live in engine/KdeLogic.h, shared with the CPU engines.
#include <memory>
#include <string>
#include <vector>

#include "engine/Backend.h"
#include "engine/KdeLogic.h"

namespace engine {

// Either a running CUDA engine holding the uploaded points, or the reason
// none could start (no device, no driver, not enough memory), in words.
struct CudaStart {
    std::unique_ptr<DensityBackend> backend;
    std::string problem;
};
CudaStart startCudaEngine(const std::vector<Datapoint>& points);

// The kernels on host arrays, for the GPU tests. Each throws
// std::runtime_error naming the failed CUDA call.
// One pass of reduction_kernel_blocks: one result per block of 256.
std::vector<float> cudaReduceBlocksPass(const std::vector<float>& data, reductionOperation operation);
// reduction_kernel_warp over the whole array.
float cudaReduceWarp(const std::vector<float>& data, reductionOperation operation);
// The pipeline's maximum search (passes receives each pass's result count).
float cudaMaximum(const std::vector<float>& data, std::vector<int>* passes);
std::vector<float> cudaLog(const std::vector<float>& data);
std::vector<float> cudaNormalize(const std::vector<float>& data, float max);

}  // namespace engine

#if defined(__CUDACC__)
// Launch shapes: blocks of 256 threads, one thread per point or cell.
__global__ void kde_kernel(const Datapoint* points, int n_point, const float* kernel, int kernel_size,
                           float* output_data, int precision, int mode_mask, int min_time, int max_time);
__global__ void log_kernel(float* data, int N);
__global__ void normalize_kernel(float* data, int N, float max);
__global__ void reduction_kernel_blocks(const float* data, float* output, int N, int num_blocks,
                                        reductionOperation operation);
__global__ void reduction_kernel_warp(const float* data, float* output_value, int N, reductionOperation operation);
#endif
