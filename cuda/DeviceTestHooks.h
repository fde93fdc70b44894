#pragma once
// The CUDA module's kernels and internals on host arrays, for the GPU tests
// only: cuda/DeviceTestHooks.cu is compiled into the test build of the module
// (trackora_cuda_device_tests, under trackora_engine_device_tests), never
// into the libraries the viewer and the tools link.
#include <cstddef>
#include <vector>

#include "cuda/CudaEngineStart.h"

namespace engine {

// The raw grid of summed weights of an engine startCudaEngine made, before
// the logarithm and normalisation (std::invalid_argument for other engines).
std::vector<float> cudaDensity(DensityBackend& backend, const ControlSettings& settings);
// Factor weights the convolution loads into shared memory at a time
// (default gpuplan::kFactorChunk): a small value makes small tables take
// several loads, for the tests under compute-sanitizer.
void cudaSetFactorChunk(DensityBackend& backend, int chunk);
// Points per kernel launch (default gpuplan::kLaunchPoints): a small value
// splits even a small data set into several launches, so the chunk offsets
// run in the tests.
void cudaSetLaunchPoints(DensityBackend& backend, std::size_t points);

// Keeps CUDA's legacy default stream busy with one spinning thread until
// released (or for at most `seconds`), so a test can show that an engine's
// work does not wait for it. cudaReleaseDefaultStream returns false when the
// hold ran out by itself, i.e. something waited for it that long.
struct DefaultStreamHold;
DefaultStreamHold* cudaHoldDefaultStream(double seconds);
bool cudaReleaseDefaultStream(DefaultStreamHold* hold);

// Device memory taken away from the engines and given back, for the tests
// of the memory check. cudaFreeBytes is what the device has free now.
void* cudaTakeMemory(std::size_t bytes);
void cudaGiveMemory(void* memory);
std::size_t cudaFreeBytes();

// The kernels on host arrays, for the GPU tests. Each throws
// std::runtime_error naming the failed CUDA call.
// One pass of reduction_kernel_blocks: one result per block of 256.
std::vector<float> cudaReduceBlocksPass(const std::vector<float>& data);
// reduction_kernel_serial over the whole array (one thread folds it).
float cudaReduceSerial(const std::vector<float>& data);
// The pipeline's maximum search (passes receives each pass's result count).
float cudaMaximum(const std::vector<float>& data, std::vector<int>* passes);
// The finishing kernels: log_max_kernel's logarithm in place, and
// normalize_by_kernel with max placed on the device.
std::vector<float> cudaLog(const std::vector<float>& data);
std::vector<float> cudaNormalize(const std::vector<float>& data, float max);

}  // namespace engine
