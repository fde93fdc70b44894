// The CUDA engine: kernels of the density pipeline and the host code that
// owns the device buffers. Every CUDA call is checked; a failure throws and
// the dispatcher carries on with the CPU engine.
#include "cuda/heatmap.h"

#include <cuda_runtime.h>

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

std::string cudaFailure(const char* call, const char* file, int line, cudaError_t status) {
    return std::string(call) + " failed at " + file + ":" + std::to_string(line) + ": " +
           cudaGetErrorString(status);
}

// Set once a checked call has failed. That failure is reported by whoever
// catches it; the frees that follow as the engine is dropped fail with the
// same sticky error and stay quiet, so one failure makes one message.
bool failureRaised = false;

}  // namespace

#define TRACKORA_CUDA_CHECK(call)                                                                 \
    do {                                                                                          \
        const cudaError_t status_ = (call);                                                       \
        if (status_ != cudaSuccess) {                                                             \
            failureRaised = true;                                                                 \
            throw std::runtime_error(cudaFailure(#call, __FILE__, __LINE__, status_));           \
        }                                                                                         \
    } while (0)

// For release paths (destructors): report and go on, unless an earlier
// failure already explains this one.
#define TRACKORA_CUDA_REPORT(call)                                                                \
    do {                                                                                          \
        const cudaError_t status_ = (call);                                                       \
        if (status_ != cudaSuccess && !failureRaised)                                             \
            std::printf("%s\n", cudaFailure(#call, __FILE__, __LINE__, status_).c_str());         \
    } while (0)

namespace {

constexpr int kThreads = kde::kThreadsPerBlock;
constexpr int kCellBlocks = (kde::kCells + kThreads - 1) / kThreads;  // 3907
// Results of the second pass go after those of the first, so no pass writes
// where its own blocks still read; the passes alternate between the two.
constexpr int kSecondRegion = kCellBlocks;
constexpr int kPartials = kCellBlocks + (kCellBlocks + kThreads - 1) / kThreads;
// Points per kde_kernel launch, so the point count always fits an int.
constexpr std::size_t kLaunchPoints = std::size_t{1} << 30;

struct AtomicAdd {
    float* grid;
    __device__ void operator()(int index, float weight) const { atomicAdd(grid + index, weight); }
};

typedef float (*ReductionFunction)(const float&, const float&);

__device__ ReductionFunction pickReduction(reductionOperation operation) {
    switch (operation) {
        case MIN: return kde::min_function;
        case MAX: return kde::max_function;
        default: return kde::sum_function;
    }
}

}  // namespace

// output_data holds output_size^2 floats, output_size = 10^precision.
__global__ void kde_kernel(const Datapoint* points, int n_point, const float* kernel, int kernel_size,
                           float* output_data, int precision, int mode_mask, int min_time, int max_time) {
    const int global_id = blockIdx.x * blockDim.x + threadIdx.x;
    const int output_size = kde::grid_side(precision);
    if (global_id >= n_point) return;
    const Datapoint point = points[global_id];
    if (!kde::point_passes(point, mode_mask, min_time, max_time)) return;
    const kde::Cell cell = kde::cell_function(point, output_size);
    if (!cell.valid) return;
    AtomicAdd add{output_data};
    kde::stamp_function(cell.row, cell.col, kernel, kernel_size, output_size, add);
}

__global__ void log_kernel(float* data, int N) {
    const int global_id = threadIdx.x + blockDim.x * blockIdx.x;
    if (global_id >= N) return;
    data[global_id] = kde::log_function(data[global_id]);
}

__global__ void normalize_kernel(float* data, int N, float max) {
    const int global_id = threadIdx.x + blockDim.x * blockIdx.x;
    if (global_id >= N) return;
    data[global_id] = kde::normalize_function(data[global_id], max);
}

__global__ void reduction_kernel_blocks(const float* data, float* output, int N, int num_blocks,
                                        reductionOperation operation) {
    (void)num_blocks;  // the launch shape; each block needs only its own index
    const ReductionFunction reduction_function = pickReduction(operation);
    __shared__ float dataChunk[kThreads];
    const unsigned id = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned thread_id = threadIdx.x;
    const unsigned n = static_cast<unsigned>(N);
    if (id < n) dataChunk[thread_id] = data[id];
    __syncthreads();
    for (unsigned stride = blockDim.x / 2; stride > 32; stride /= 2) {
        __syncthreads();
        if (thread_id < stride && id + stride < n)
            dataChunk[thread_id] = reduction_function(dataChunk[thread_id], dataChunk[thread_id + stride]);
    }
    __syncthreads();
    if (thread_id < 32) {
        // Every lane reads both operands before any lane writes.
        for (unsigned offset = 32; offset >= 1; offset /= 2) {
            const bool active = id + offset < n;
            float mine = 0.0f;
            float other = 0.0f;
            if (active) {
                mine = dataChunk[thread_id];
                other = dataChunk[thread_id + offset];
            }
            __syncwarp();
            if (active) dataChunk[thread_id] = reduction_function(mine, other);
            __syncwarp();
        }
    }
    if (thread_id == 0) output[blockIdx.x] = dataChunk[0];
}

__global__ void reduction_kernel_warp(const float* data, float* output_value, int N, reductionOperation operation) {
    const ReductionFunction reduction_function = pickReduction(operation);
    float accumulator = kde::reduction_initial(operation);
    if (threadIdx.x != 0) return;
    for (int i = 0; i < N; ++i) accumulator = reduction_function(accumulator, data[i]);
    output_value[0] = accumulator;
}

namespace engine {

namespace {

int blocksFor(long long n) { return static_cast<int>((n + kThreads - 1) / kThreads); }

// A device buffer freed when it goes out of scope.
template <typename T>
class DeviceBuffer {
public:
    DeviceBuffer() = default;
    explicit DeviceBuffer(std::size_t count) { allocate(count); }
    ~DeviceBuffer() { reset(); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;

    void allocate(std::size_t count) {
        reset();
        if (count == 0) return;
        TRACKORA_CUDA_CHECK(cudaMalloc(reinterpret_cast<void**>(&pointer_), count * sizeof(T)));
        count_ = count;
    }
    void reset() {
        if (pointer_) TRACKORA_CUDA_REPORT(cudaFree(pointer_));
        pointer_ = nullptr;
        count_ = 0;
    }
    T* get() const { return pointer_; }
    std::size_t bytes() const { return count_ * sizeof(T); }

private:
    T* pointer_ = nullptr;
    std::size_t count_ = 0;
};

void checkLaunch() { TRACKORA_CUDA_CHECK(cudaGetLastError()); }

// The maximum search of the pipeline over n device values; the result stays
// on the device, at the returned address.
float* reduceMaximum(float* values, int n, float* partials, std::vector<int>* passes) {
    if (n < 64) {
        reduction_kernel_warp<<<1, n > 0 ? n : 1>>>(values, partials, n, MAX);
        checkLaunch();
        if (passes) passes->push_back(1);
        return partials;
    }
    float* input = values;
    float* output = partials;
    while (true) {
        const int blocks = static_cast<int>(std::ceil(n / 256.0f));
        reduction_kernel_blocks<<<blocks, kThreads>>>(input, output, n, blocks, MAX);
        checkLaunch();
        if (passes) passes->push_back(blocks);
        if (blocks == 1) return output;
        n = blocks;
        input = output;
        output = (output == partials) ? partials + kSecondRegion : partials;
    }
}

class CudaEngine final : public DensityBackend {
public:
    explicit CudaEngine(const std::vector<Datapoint>& points) : pointCount_(points.size()) {
        TRACKORA_CUDA_CHECK(cudaSetDevice(0));
        cudaDeviceProp properties{};
        TRACKORA_CUDA_CHECK(cudaGetDeviceProperties(&properties, 0));
        name_ = std::string("CUDA (") + properties.name + ")";
        points_.allocate(points.size());
        if (!points.empty())
            TRACKORA_CUDA_CHECK(
                cudaMemcpy(points_.get(), points.data(), points.size() * sizeof(Datapoint), cudaMemcpyHostToDevice));
        heatmap_.allocate(kde::kCells);
        partials_.allocate(kPartials);
    }

    void setKernel(const std::vector<float>& table, int size) override {
        kernel_.reset();  // exactly one table exists at any time
        kernel_.allocate(table.size());
        TRACKORA_CUDA_CHECK(cudaMemcpy(kernel_.get(), table.data(), table.size() * sizeof(float), cudaMemcpyHostToDevice));
        size_ = size;
    }

    std::vector<float> compute(const ControlSettings& settings) override {
        TRACKORA_CUDA_CHECK(cudaMemset(heatmap_.get(), 0, kde::kCells * sizeof(float)));
        for (std::size_t first = 0; first < pointCount_; first += kLaunchPoints) {
            const int count = static_cast<int>(std::min(kLaunchPoints, pointCount_ - first));
            kde_kernel<<<count / kThreads + 1, kThreads>>>(points_.get() + first, count, kernel_.get(), size_,
                                                          heatmap_.get(), kde::kPrecision, settings.mode_mask,
                                                          settings.min_time, settings.max_time);
            checkLaunch();
        }
        if (kde::log_enabled(settings.use_log_scale, settings.mode_mask)) {
            log_kernel<<<kCellBlocks, kThreads>>>(heatmap_.get(), kde::kCells);
            checkLaunch();
        }
        TRACKORA_CUDA_CHECK(cudaDeviceSynchronize());
        const float* maximum = reduceMaximum(heatmap_.get(), kde::kCells, partials_.get(), nullptr);
        TRACKORA_CUDA_CHECK(cudaDeviceSynchronize());
        float maxValue = 0.0f;
        TRACKORA_CUDA_CHECK(cudaMemcpy(&maxValue, maximum, sizeof(float), cudaMemcpyDeviceToHost));
        std::vector<float> results(kde::kCells, 0.0f);
        lastMaximum_ = 0.0f;
        // No positive finite maximum: nothing to show, and no division.
        if (!kde::usable_maximum(maxValue)) return results;
        lastMaximum_ = maxValue;
        normalize_kernel<<<kCellBlocks, kThreads>>>(heatmap_.get(), kde::kCells, maxValue);
        checkLaunch();
        TRACKORA_CUDA_CHECK(cudaDeviceSynchronize());
        TRACKORA_CUDA_CHECK(cudaMemcpy(results.data(), heatmap_.get(), kde::kCells * sizeof(float), cudaMemcpyDeviceToHost));
        return results;
    }

    std::string name() const override { return name_; }
    std::size_t memoryBytes() const override {
        return points_.bytes() + kernel_.bytes() + heatmap_.bytes() + partials_.bytes();
    }

private:
    std::size_t pointCount_;
    std::string name_;
    int size_ = 1;
    DeviceBuffer<Datapoint> points_;
    DeviceBuffer<float> kernel_;
    DeviceBuffer<float> heatmap_;
    DeviceBuffer<float> partials_;
};

std::string megabytes(std::size_t bytes) { return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MiB"; }

// Runs a kernel on a copy of data and brings the array back.
template <typename Launch>
std::vector<float> onDevice(const std::vector<float>& data, std::size_t outputs, Launch launch) {
    DeviceBuffer<float> input(data.size());
    DeviceBuffer<float> output(outputs > 0 ? outputs : 1);
    if (!data.empty())
        TRACKORA_CUDA_CHECK(cudaMemcpy(input.get(), data.data(), data.size() * sizeof(float), cudaMemcpyHostToDevice));
    launch(input.get(), output.get());
    checkLaunch();
    TRACKORA_CUDA_CHECK(cudaDeviceSynchronize());
    std::vector<float> result(outputs);
    if (outputs > 0)
        TRACKORA_CUDA_CHECK(cudaMemcpy(result.data(), output.get(), outputs * sizeof(float), cudaMemcpyDeviceToHost));
    return result;
}

}  // namespace

CudaStart startCudaEngine(const std::vector<Datapoint>& points) {
    CudaStart start;
    int devices = 0;
    const cudaError_t status = cudaGetDeviceCount(&devices);
    if (status != cudaSuccess) {
        start.problem = std::string("CUDA reports \"") + cudaGetErrorString(status) + "\"";
        return start;
    }
    if (devices == 0) {
        start.problem = "CUDA finds no device";
        return start;
    }
    std::size_t freeBytes = 0;
    std::size_t totalBytes = 0;
    const cudaError_t memory = cudaMemGetInfo(&freeBytes, &totalBytes);
    if (memory != cudaSuccess) {
        start.problem = std::string("cudaMemGetInfo failed: ") + cudaGetErrorString(memory);
        return start;
    }
    const std::size_t needed = points.size() * sizeof(Datapoint) + (kde::kCells + kPartials) * sizeof(float);
    if (needed > freeBytes) {
        start.problem = "the " + std::to_string(points.size()) + " points need " + megabytes(needed) +
                        " of GPU memory, " + megabytes(freeBytes) + " are free";
        return start;
    }
    try {
        start.backend = std::make_unique<CudaEngine>(points);
    } catch (const std::exception& error) {
        start.problem = error.what();
    }
    return start;
}

std::vector<float> cudaReduceBlocksPass(const std::vector<float>& data, reductionOperation operation) {
    const int n = static_cast<int>(data.size());
    const int blocks = blocksFor(n);
    return onDevice(data, static_cast<std::size_t>(blocks), [&](float* in, float* out) {
        if (blocks > 0) reduction_kernel_blocks<<<blocks, kThreads>>>(in, out, n, blocks, operation);
    });
}

float cudaReduceWarp(const std::vector<float>& data, reductionOperation operation) {
    const int n = static_cast<int>(data.size());
    return onDevice(data, 1, [&](float* in, float* out) {
        reduction_kernel_warp<<<1, n > 0 ? n : 1>>>(in, out, n, operation);
    })[0];
}

float cudaMaximum(const std::vector<float>& data, std::vector<int>* passes) {
    DeviceBuffer<float> values(data.size());
    if (!data.empty())
        TRACKORA_CUDA_CHECK(cudaMemcpy(values.get(), data.data(), data.size() * sizeof(float), cudaMemcpyHostToDevice));
    // The second region must sit after the first pass's results.
    if (data.size() > static_cast<std::size_t>(kde::kCells))
        throw std::invalid_argument("cudaMaximum takes at most one grid of values");
    DeviceBuffer<float> grid_partials(kPartials);
    const float* result = reduceMaximum(values.get(), static_cast<int>(data.size()), grid_partials.get(), passes);
    TRACKORA_CUDA_CHECK(cudaDeviceSynchronize());
    float value = 0.0f;
    TRACKORA_CUDA_CHECK(cudaMemcpy(&value, result, sizeof(float), cudaMemcpyDeviceToHost));
    return value;
}

std::vector<float> cudaLog(const std::vector<float>& data) {
    const int n = static_cast<int>(data.size());
    return onDevice(data, data.size(), [&](float* in, float* out) {
        TRACKORA_CUDA_CHECK(cudaMemcpy(out, in, data.size() * sizeof(float), cudaMemcpyDeviceToDevice));
        log_kernel<<<blocksFor(n) + 1, kThreads>>>(out, n);
    });
}

std::vector<float> cudaNormalize(const std::vector<float>& data, float max) {
    const int n = static_cast<int>(data.size());
    return onDevice(data, data.size(), [&](float* in, float* out) {
        TRACKORA_CUDA_CHECK(cudaMemcpy(out, in, data.size() * sizeof(float), cudaMemcpyDeviceToDevice));
        normalize_kernel<<<blocksFor(n) + 1, kThreads>>>(out, n, max);
    });
}

}  // namespace engine
