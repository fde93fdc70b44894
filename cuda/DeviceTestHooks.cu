// The GPU tests' entry points (cuda/DeviceTestHooks.h): the engine's raw
// grid and launch settings, the kernels on host arrays, and device memory and
// the default stream held on purpose. Compiled into the test build of the
// engine only.
#include "cuda/DeviceTestHooks.h"

#include <cuda_runtime.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "cuda/CudaEngine.cuh"
#include "cuda/DeviceBuffer.cuh"
#include "cuda/kernels.cuh"

using gpuplan::kThreads;

namespace {

__global__ void read_timer_kernel(unsigned long long* now) {
    unsigned long long value;
    asm volatile("mov.u64 %0, %%globaltimer;" : "=l"(value));
    *now = value;
}

// Spins until *release is set or the globaltimer passes `until` (ns);
// *timed_out tells which.
__global__ void hold_kernel(const volatile int* release, unsigned long long until, int* timed_out) {
    unsigned long long now = 0;
    do {
        if (*release) {
            *timed_out = 0;
            return;
        }
        asm volatile("mov.u64 %0, %%globaltimer;" : "=l"(now));
    } while (now < until);
    *timed_out = 1;
}

}  // namespace

namespace engine {

namespace {

using detail::checkLaunch;
using detail::DeviceBuffer;
using detail::FailureFlag;

detail::CudaEngine& cudaEngine(DensityBackend& backend, const char* hook) {
    auto* engine = dynamic_cast<detail::CudaEngine*>(&backend);
    if (!engine) throw std::invalid_argument(std::string(hook) + " needs a CUDA engine");
    return *engine;
}

// Runs a kernel on a copy of data and brings the array back.
template <typename Launch>
std::vector<float> onDevice(const std::vector<float>& data, std::size_t outputs, Launch launch) {
    FailureFlag flag;
    DeviceBuffer<float> input(flag);
    input.upload(data.data(), data.size(), nullptr);
    DeviceBuffer<float> output(flag, outputs > 0 ? outputs : 1);
    launch(flag, input.get(), output.get());
    checkLaunch(flag);
    TRACKORA_CUDA_CHECK(flag, cudaDeviceSynchronize());
    std::vector<float> result(outputs);
    if (outputs > 0)
        TRACKORA_CUDA_CHECK(flag, cudaMemcpy(result.data(), output.get(), outputs * sizeof(float), cudaMemcpyDeviceToHost));
    return result;
}

}  // namespace

std::vector<float> cudaDensity(DensityBackend& backend, const ControlSettings& settings) {
    return cudaEngine(backend, "cudaDensity").density(settings);
}

void cudaSetFactorChunk(DensityBackend& backend, int chunk) {
    cudaEngine(backend, "cudaSetFactorChunk").setFactorChunk(chunk);
}

void cudaSetLaunchPoints(DensityBackend& backend, std::size_t points) {
    cudaEngine(backend, "cudaSetLaunchPoints").setLaunchPoints(points);
}

struct DefaultStreamHold {
    int* flags = nullptr;  // mapped host memory: [0] release, [1] timed out
};

DefaultStreamHold* cudaHoldDefaultStream(double seconds) {
    FailureFlag flag;
    auto* hold = new DefaultStreamHold;
    TRACKORA_CUDA_CHECK(flag, cudaHostAlloc(reinterpret_cast<void**>(&hold->flags), 2 * sizeof(int), cudaHostAllocMapped));
    hold->flags[0] = 0;
    hold->flags[1] = -1;
    int* device = nullptr;
    TRACKORA_CUDA_CHECK(flag, cudaHostGetDevicePointer(reinterpret_cast<void**>(&device), hold->flags, 0));
    // The globaltimer counts nanoseconds; read its start on the device.
    unsigned long long start = 0;
    unsigned long long* startOnDevice = nullptr;
    TRACKORA_CUDA_CHECK(flag, cudaMalloc(reinterpret_cast<void**>(&startOnDevice), sizeof start));
    read_timer_kernel<<<1, 1>>>(startOnDevice);
    checkLaunch(flag);
    TRACKORA_CUDA_CHECK(flag, cudaMemcpy(&start, startOnDevice, sizeof start, cudaMemcpyDeviceToHost));
    TRACKORA_CUDA_CHECK(flag, cudaFree(startOnDevice));
    hold_kernel<<<1, 1, 0, cudaStreamLegacy>>>(device, start + static_cast<unsigned long long>(seconds * 1e9), device + 1);
    checkLaunch(flag);
    return hold;
}

bool cudaReleaseDefaultStream(DefaultStreamHold* hold) {
    FailureFlag flag;
    reinterpret_cast<volatile int*>(hold->flags)[0] = 1;
    TRACKORA_CUDA_CHECK(flag, cudaDeviceSynchronize());
    const bool released = hold->flags[1] == 0;
    TRACKORA_CUDA_CHECK(flag, cudaFreeHost(hold->flags));
    delete hold;
    return released;
}

void* cudaTakeMemory(std::size_t bytes) {
    FailureFlag flag;
    void* memory = nullptr;
    TRACKORA_CUDA_CHECK(flag, cudaMalloc(&memory, bytes));
    return memory;
}

void cudaGiveMemory(void* memory) {
    FailureFlag flag;
    TRACKORA_CUDA_CHECK(flag, cudaFree(memory));
}

std::size_t cudaFreeBytes() {
    FailureFlag flag;
    std::size_t freeBytes = 0;
    std::size_t totalBytes = 0;
    TRACKORA_CUDA_CHECK(flag, cudaMemGetInfo(&freeBytes, &totalBytes));
    return freeBytes;
}

std::vector<float> cudaReduceBlocksPass(const std::vector<float>& data) {
    const int n = static_cast<int>(data.size());
    const int blocks = n == 0 ? 0 : gpuplan::blocksFor(n);
    return onDevice(data, static_cast<std::size_t>(blocks), [&](FailureFlag&, float* in, float* out) {
        if (blocks > 0) detail::launchBlocksPass(blocks, in, out, n, nullptr);
    });
}

float cudaReduceSerial(const std::vector<float>& data) {
    const int n = static_cast<int>(data.size());
    return onDevice(data, 1,
                    [&](FailureFlag&, float* in, float* out) { detail::launchSerial(in, out, n, nullptr); })[0];
}

float cudaMaximum(const std::vector<float>& data, std::vector<int>* passes) {
    // The second region must hold the second pass's results.
    if (data.size() > static_cast<std::size_t>(kde::kCells))
        throw std::invalid_argument("cudaMaximum takes at most one grid of values");
    FailureFlag flag;
    DeviceBuffer<float> values(flag);
    values.upload(data.data(), data.size(), nullptr);
    DeviceBuffer<float> partials(flag, gpuplan::kPartials);
    const float* result = detail::reduceMaximum(flag, values.get(), static_cast<int>(data.size()), partials.get(),
                                                partials.get() + kde::kCellBlocks, passes, nullptr);
    TRACKORA_CUDA_CHECK(flag, cudaDeviceSynchronize());
    float value = 0.0f;
    TRACKORA_CUDA_CHECK(flag, cudaMemcpy(&value, result, sizeof(float), cudaMemcpyDeviceToHost));
    return value;
}

std::vector<float> cudaLog(const std::vector<float>& data) {
    const int n = static_cast<int>(data.size());
    return onDevice(data, data.size(), [&](FailureFlag& flag, float* in, float* out) {
        if (n == 0) return;
        TRACKORA_CUDA_CHECK(flag, cudaMemcpy(out, in, data.size() * sizeof(float), cudaMemcpyDeviceToDevice));
        // One block more than needed: the spare threads must leave the array alone.
        const int blocks = gpuplan::blocksFor(n) + 1;
        DeviceBuffer<float> maxima(flag, static_cast<std::size_t>(blocks));
        log_max_kernel<<<blocks, kThreads>>>(out, n, true, maxima.get());
        checkLaunch(flag);
        TRACKORA_CUDA_CHECK(flag, cudaDeviceSynchronize());
    });
}

std::vector<float> cudaNormalize(const std::vector<float>& data, float max) {
    const int n = static_cast<int>(data.size());
    return onDevice(data, data.size(), [&](FailureFlag& flag, float* in, float* out) {
        if (n == 0) return;
        TRACKORA_CUDA_CHECK(flag, cudaMemcpy(out, in, data.size() * sizeof(float), cudaMemcpyDeviceToDevice));
        DeviceBuffer<float> divisor(flag);
        divisor.upload(&max, 1, nullptr);
        normalize_by_kernel<<<gpuplan::blocksFor(n) + 1, kThreads>>>(out, n, divisor.get());
        checkLaunch(flag);
        TRACKORA_CUDA_CHECK(flag, cudaDeviceSynchronize());
    });
}

}  // namespace engine
