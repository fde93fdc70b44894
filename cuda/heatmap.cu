// The CUDA engine: kernels of the density pipeline and the host code that
// owns the device buffers. Every CUDA call is checked; a failure throws and
// the dispatcher carries on with the CPU engine.
//
// Two paths. `cuda` does what the CPU engine does: integer counts of the
// passing points per centre cell (exact, so the order of the atomics does
// not matter), a separable convolution with the table's one-dimensional
// factor without fused multiply-adds, then the logarithm, the maximum and
// the division on the device. The GPU tests hold its grid to the CPU
// engine's within a few roundings per cell (the CPU engine may fuse and
// flush subnormals; far points are added with atomics in any order), never
// bit for bit.
// `cuda-literal` adds the whole table per point with float atomics: slow,
// simple, the on-device reference of the GPU tests. Both finish alike.
//
// Each engine works on a stream of its own, so a load preparing the next
// engine in the background never waits for the frames' computes, nor they
// for its upload.
#include "cuda/heatmap.h"
#ifdef TRACKORA_DEVICE_TEST_HOOKS
#include "cuda/DeviceTestHooks.h"
#endif

#include <cuda_runtime.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

using kde::kCountPad;
using kde::kCountSide;
using gpuplan::kThreads;

namespace {

constexpr int kSecondRegion = kde::kCellBlocks;

std::string cudaFailure(const char* call, const char* file, int line, cudaError_t status) {
    return std::string(call) + " failed at " + file + ":" + std::to_string(line) + ": " +
           cudaGetErrorString(status);
}

// One per engine (and per test helper call). Once a checked call has failed,
// whoever catches the exception reports it; the frees that follow as that
// engine is dropped fail with the same sticky error and stay quiet. A later
// engine starts with a clean flag and reports its own failures.
struct FailureFlag {
    bool raised = false;
};

void check(cudaError_t status, const char* call, const char* file, int line, FailureFlag& flag) {
    if (status == cudaSuccess) return;
    flag.raised = true;
    throw std::runtime_error(cudaFailure(call, file, line, status));
}

// For release paths (destructors): report once and go on.
void report(cudaError_t status, const char* call, const char* file, int line, FailureFlag& flag) {
    if (status == cudaSuccess || flag.raised) return;
    flag.raised = true;
    std::printf("%s\n", cudaFailure(call, file, line, status).c_str());
}

}  // namespace

#define TRACKORA_CUDA_CHECK(flag, call) check((call), #call, __FILE__, __LINE__, (flag))
#define TRACKORA_CUDA_REPORT(flag, call) report((call), #call, __FILE__, __LINE__, (flag))

namespace {

struct AtomicAdd {
    float* grid;
    __device__ void operator()(int index, float weight) const { atomicAdd(grid + index, weight); }
};

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

// Every lane of a warp reaches the match, the spare threads of the last
// block included, so it runs on full warps; lanes with the same cell add
// once, through their lowest lane, which keeps a dense cell from
// serialising 32 atomics per warp.
__global__ void count_kernel(const Datapoint* points, int n_point, std::uint32_t* counts, int mode_mask,
                             int min_time, int max_time) {
    const int global_id = blockIdx.x * blockDim.x + threadIdx.x;
    std::uint32_t key = kde::kNoCountCell;
    if (global_id < n_point) {
        const Datapoint point = points[global_id];
        if (kde::point_passes(point, mode_mask, min_time, max_time)) {
            const kde::Cell cell = kde::cell_function(point);
            if (kde::place_function(cell) == kde::Place::counted) key = kde::count_index(cell);
        }
    }
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 700
    const unsigned peers = __match_any_sync(0xFFFFFFFFu, key);
    const int lane = static_cast<int>(threadIdx.x & 31u);
    if (key != kde::kNoCountCell && lane == __ffs(peers) - 1) atomicAdd(counts + key, static_cast<std::uint32_t>(__popc(peers)));
#else
    if (key != kde::kNoCountCell) atomicAdd(counts + key, 1u);
#endif
}

// The factor's weights a chunk at a time, through shared memory: every
// thread of the block takes part in each load, and a barrier on each side
// keeps the previous chunk until nobody reads it.
namespace {
struct SharedFactor {
    const float* factor;
    int half;
    float* staged;
    __device__ const float* operator()(int first, int length) const {
        __syncthreads();
        for (int k = static_cast<int>(threadIdx.x); k < length; k += static_cast<int>(blockDim.x))
            staged[k] = factor[half + first + k];
        __syncthreads();
        return staged;
    }
};
}  // namespace

// rows[i][c] = sum over v in -reach..reach of factor[v] * count[i][c - v]
// (grid columns; counts outside the count grid are 0 and skipped), for
// count-grid row i = row_first + blockIdx.y. Summed with v ascending and
// without fused multiply-adds (gpuplan::row_pass).
// chunk: weights per load, 1..kFactorChunk (smaller only in the tests).
__global__ void convolve_rows_kernel(const std::uint32_t* counts, const float* factor, int half, int reach,
                                     int row_first, float* rows, int chunk) {
    __shared__ float factor_chunk[gpuplan::kFactorChunk];
    const int c = blockIdx.x * blockDim.x + threadIdx.x;
    const int i = row_first + static_cast<int>(blockIdx.y);
    SharedFactor load{factor, half, factor_chunk};
    const float total =
        gpuplan::row_pass(counts + static_cast<std::size_t>(i) * kCountSide, reach, chunk, c, load);
    if (c < kde::kSide) rows[static_cast<std::size_t>(i) * kde::kSide + c] = total;
}

// output_data[r][c] = sum over u of factor[u] * rows[r + pad - u][c], over
// the rows row_first..row_last, u ascending (gpuplan::column_pass).
__global__ void convolve_columns_kernel(const float* rows, const float* factor, int half, int row_first,
                                        int row_last, float* output_data, int chunk) {
    __shared__ float factor_chunk[gpuplan::kFactorChunk];
    const int c = blockIdx.x * blockDim.x + threadIdx.x;
    const int r = static_cast<int>(blockIdx.y);
    SharedFactor load{factor, half, factor_chunk};
    const float total =
        gpuplan::column_pass(rows, gpuplan::column_range(r, half, row_first, row_last), chunk, r, c, load);
    if (c < kde::kSide) output_data[r * kde::kSide + c] = total;
}

__global__ void far_kernel(const Datapoint* points, int n_point, const float* factor, int kernel_size,
                           float* output_data, int mode_mask, int min_time, int max_time) {
    const int global_id = blockIdx.x * blockDim.x + threadIdx.x;
    if (global_id >= n_point) return;
    const Datapoint point = points[global_id];
    if (!kde::point_passes(point, mode_mask, min_time, max_time)) return;
    const kde::Cell cell = kde::cell_function(point);
    if (!cell.valid) return;
    // The part of the stamp inside the grid; empty for points out of reach.
    const long long half = kernel_size / 2;
    const long long side = kde::kSide;
    const long long r = cell.row;
    const long long c = cell.col;
    const long long u_low = max(-half, -r);
    const long long u_high = min(half, side - 1 - r);
    const long long v_low = max(-half, -c);
    const long long v_high = min(half, side - 1 - c);
    for (long long u = u_low; u <= u_high; ++u) {
        const float row_weight = factor[u + half];
        for (long long v = v_low; v <= v_high; ++v)
            atomicAdd(output_data + ((r + u) * side + c + v), row_weight * factor[v + half]);
    }
}

// The finishing step's first half (kde::scale_function and the maximum of
// each block of cells); launched with exactly kThreads threads per block,
// block_max holding one value per block.
__global__ void log_max_kernel(float* data, int N, bool use_log, float* block_max) {
    __shared__ float chunk[kThreads];
    const int global_id = threadIdx.x + blockDim.x * blockIdx.x;
    const unsigned thread_id = threadIdx.x;
    float value = kde::kMaximumStart;  // a missing cell changes no maximum
    if (global_id < N) {
        value = kde::scale_function(data[global_id], use_log);
        if (use_log) data[global_id] = value;
    }
    chunk[thread_id] = value;
    __syncthreads();
    for (unsigned stride = blockDim.x / 2; stride > 0; stride /= 2) {
        if (thread_id < stride) chunk[thread_id] = kde::max_function(chunk[thread_id], chunk[thread_id + stride]);
        __syncthreads();
    }
    if (thread_id == 0) block_max[blockIdx.x] = chunk[0];
}

// The second half (kde::finish_function), with the maximum the search left
// on the device.
__global__ void normalize_by_kernel(float* data, int N, const float* max_at) {
    const int global_id = threadIdx.x + blockDim.x * blockIdx.x;
    if (global_id >= N) return;
    data[global_id] = kde::finish_function(data[global_id], *max_at);
}

// Launched with exactly kThreads threads per block.
template <reductionOperation operation>
__global__ void reduction_kernel_blocks(const float* data, float* output, int N, int num_blocks) {
    (void)num_blocks;  // the launch shape; each block needs only its own index
    __shared__ float dataChunk[kThreads];
    const unsigned id = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned thread_id = threadIdx.x;
    const unsigned n = static_cast<unsigned>(N);
    if (id < n) dataChunk[thread_id] = data[id];
    __syncthreads();
    for (unsigned stride = blockDim.x / 2; stride > 32; stride /= 2) {
        __syncthreads();
        if (thread_id < stride && id + stride < n)
            dataChunk[thread_id] = kde::reduction_function<operation>(dataChunk[thread_id], dataChunk[thread_id + stride]);
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
            if (active) dataChunk[thread_id] = kde::reduction_function<operation>(mine, other);
            __syncwarp();
        }
    }
    if (thread_id == 0) output[blockIdx.x] = dataChunk[0];
}

template <reductionOperation operation>
__global__ void reduction_kernel_warp(const float* data, float* output_value, int N) {
    if (threadIdx.x != 0 || blockIdx.x != 0) return;
    float accumulator = kde::reduction_initial(operation);
    for (int i = 0; i < N; ++i) accumulator = kde::reduction_function<operation>(accumulator, data[i]);
    output_value[0] = accumulator;
}

#ifdef TRACKORA_DEVICE_TEST_HOOKS
__global__ void read_timer_kernel(unsigned long long* now) {
    unsigned long long value;
    asm volatile("mov.u64 %0, %%globaltimer;" : "=l"(value));
    *now = value;
}
#endif

namespace engine {

namespace {

using gpuplan::Path;

// A device buffer freed when it goes out of scope.
template <typename T>
class DeviceBuffer {
public:
    explicit DeviceBuffer(FailureFlag& flag) : flag_(&flag) {}
    DeviceBuffer(FailureFlag& flag, std::size_t count) : flag_(&flag) { allocate(count); }
    ~DeviceBuffer() { reset(); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;

    // Keeps the memory it has when count fits: a free waits for the whole
    // device, the upload of an engine loading beside this one included.
    void allocate(std::size_t count) {
        if (count > capacity_) {
            reset();
            TRACKORA_CUDA_CHECK(*flag_, cudaMalloc(reinterpret_cast<void**>(&pointer_), count * sizeof(T)));
            capacity_ = count;
        }
        count_ = count;
    }
    // Returns once the copy is done, so data may go right after.
    void upload(const T* data, std::size_t count, cudaStream_t stream) {
        allocate(count);
        if (count == 0) return;
        TRACKORA_CUDA_CHECK(*flag_, cudaMemcpyAsync(pointer_, data, count * sizeof(T), cudaMemcpyHostToDevice, stream));
        TRACKORA_CUDA_CHECK(*flag_, cudaStreamSynchronize(stream));
    }
    void reset() {
        if (pointer_) TRACKORA_CUDA_REPORT(*flag_, cudaFree(pointer_));
        pointer_ = nullptr;
        count_ = 0;
        capacity_ = 0;
    }
    T* get() const { return pointer_; }
    std::size_t count() const { return count_; }
    // What the buffer holds on the device.
    std::size_t bytes() const { return capacity_ * sizeof(T); }

private:
    FailureFlag* flag_;
    T* pointer_ = nullptr;
    std::size_t count_ = 0;
    std::size_t capacity_ = 0;
};

void checkLaunch(FailureFlag& flag) { TRACKORA_CUDA_CHECK(flag, cudaGetLastError()); }

void launchBlocksPass(reductionOperation operation, int blocks, const float* in, float* out, int n,
                      cudaStream_t stream) {
    using Op = reductionOperation;
    switch (operation) {
        case Op::MIN: reduction_kernel_blocks<Op::MIN><<<blocks, kThreads, 0, stream>>>(in, out, n, blocks); break;
        case Op::MAX: reduction_kernel_blocks<Op::MAX><<<blocks, kThreads, 0, stream>>>(in, out, n, blocks); break;
        case Op::SUM: reduction_kernel_blocks<Op::SUM><<<blocks, kThreads, 0, stream>>>(in, out, n, blocks); break;
    }
}

void launchWarp(reductionOperation operation, const float* in, float* out, int n, cudaStream_t stream) {
    using Op = reductionOperation;
    switch (operation) {
        case Op::MIN: reduction_kernel_warp<Op::MIN><<<1, 1, 0, stream>>>(in, out, n); break;
        case Op::MAX: reduction_kernel_warp<Op::MAX><<<1, 1, 0, stream>>>(in, out, n); break;
        case Op::SUM: reduction_kernel_warp<Op::SUM><<<1, 1, 0, stream>>>(in, out, n); break;
    }
}

// The maximum of n device values; the result stays on the device, at the
// returned address. Below 64 values one thread folds them into first[0];
// otherwise block passes alternate between the regions first and second
// (first takes ceil(n / 256) values, second the next pass's), so no pass
// writes where its own blocks read.
const float* reduceMaximum(FailureFlag& flag, const float* values, int n, float* first, float* second,
                           std::vector<int>* passes, cudaStream_t stream) {
    const std::vector<int> plan = gpuplan::maximumPasses(n);
    if (plan.empty()) {
        launchWarp(reductionOperation::MAX, values, first, n, stream);
        checkLaunch(flag);
        if (passes) passes->push_back(1);
        return first;
    }
    const float* input = values;
    float* output = first;
    for (int blocks : plan) {
        launchBlocksPass(reductionOperation::MAX, blocks, input, output, n, stream);
        checkLaunch(flag);
        if (passes) passes->push_back(blocks);
        n = blocks;
        input = output;
        output = output == first ? second : first;
    }
    return input;
}

class CudaEngine final : public DensityBackend {
public:
    CudaEngine(const std::vector<Datapoint>& points, Path path, const std::vector<Datapoint>& far)
        : path_(path) {
        TRACKORA_CUDA_CHECK(failure_, cudaSetDevice(0));
        cudaDeviceProp properties{};
        TRACKORA_CUDA_CHECK(failure_, cudaGetDeviceProperties(&properties, 0));
        name_ = std::string(path == Path::literal ? "CUDA literal (" : "CUDA (") + properties.name + ")";
        TRACKORA_CUDA_CHECK(failure_, cudaStreamCreateWithFlags(&stream_, cudaStreamNonBlocking));
        points_.upload(points.data(), points.size(), stream_);
        heatmap_.allocate(kde::kCells);
        partials_.allocate(gpuplan::kPartials);
        if (path_ == Path::fast) {
            far_.upload(far.data(), far.size(), stream_);
            counts_.allocate(kde::kCountCells);
            rows_.allocate(gpuplan::kRowCells);
        }
        // A table from the start: a compute before the first setKernel
        // stamps single cells instead of reading a null table.
        const float one = 1.0f;
        table_.upload(&one, 1, stream_);
        TRACKORA_CUDA_CHECK(failure_, cudaEventCreate(&start_));
        TRACKORA_CUDA_CHECK(failure_, cudaEventCreate(&stop_));
    }
    ~CudaEngine() override {
        if (start_) TRACKORA_CUDA_REPORT(failure_, cudaEventDestroy(start_));
        if (stop_) TRACKORA_CUDA_REPORT(failure_, cudaEventDestroy(stop_));
        if (stream_) TRACKORA_CUDA_REPORT(failure_, cudaStreamDestroy(stream_));
    }
    CudaEngine(const CudaEngine&) = delete;
    CudaEngine& operator=(const CudaEngine&) = delete;

    void setKernel(const std::vector<float>& table, int size) override {
        const std::string problem = gpuplan::tableProblem(table.size(), size);
        if (!problem.empty()) throw std::invalid_argument(problem);
        const std::vector<float> weights = path_ == Path::literal ? table : tableFactor(table, size);
        const std::size_t needed = weights.size() * sizeof(float);
        if (needed > table_.bytes()) {
            std::size_t freeBytes = 0;
            std::size_t totalBytes = 0;
            TRACKORA_CUDA_CHECK(failure_, cudaMemGetInfo(&freeBytes, &totalBytes));
            if (needed + gpuplan::kHeadroomBytes > freeBytes + table_.bytes())
                throw std::runtime_error("the " + std::to_string(size) + " x " + std::to_string(size) +
                                         " weight table needs " + gpuplan::megabytes(needed) + " of GPU memory, " +
                                         gpuplan::megabytes(freeBytes) + " are free");
        }
        size_ = 1;  // until the new table is in place
        // A larger table replaces the old one (freed first: one exists at a
        // time); a smaller one is written over it after the stream's work.
        table_.upload(weights.data(), weights.size(), stream_);
        size_ = size;
    }

    std::vector<float> compute(const ControlSettings& settings) override {
        const bool useLog = kde::log_enabled(settings.use_log_scale, settings.mode_mask);
        lastLog_ = useLog;
        TRACKORA_CUDA_CHECK(failure_, cudaEventRecord(start_, stream_));
        estimate(settings);
        std::vector<float> results(kde::kCells, 0.0f);
        // Both paths finish alike: the scaled cells' block maxima, the
        // maximum of those, and the division, all on the device.
        log_max_kernel<<<kde::kCellBlocks, kThreads, 0, stream_>>>(heatmap_.get(), kde::kCells, useLog,
                                                                   partials_.get());
        checkLaunch(failure_);
        const float* maximum = reduceMaximum(failure_, partials_.get(), kde::kCellBlocks,
                                             partials_.get() + kSecondRegion, partials_.get(), nullptr, stream_);
        normalize_by_kernel<<<kde::kCellBlocks, kThreads, 0, stream_>>>(heatmap_.get(), kde::kCells, maximum);
        checkLaunch(failure_);
        TRACKORA_CUDA_CHECK(failure_, cudaEventRecord(stop_, stream_));
        // The readout needs the divisor on the host: four bytes, read after
        // the timed work.
        lastMaximum_ = readMaximum(maximum);
        copyToHost(results.data(), heatmap_.get(), results.size());
        recordTime();
        return results;
    }

#ifdef TRACKORA_DEVICE_TEST_HOOKS
    std::vector<float> density(const ControlSettings& settings) {
        estimate(settings);
        std::vector<float> results(kde::kCells, 0.0f);
        copyToHost(results.data(), heatmap_.get(), results.size());
        return results;
    }
    void setFactorChunk(int chunk) { chunk_ = std::clamp(chunk, 1, gpuplan::kFactorChunk); }
    void setLaunchPoints(std::size_t points) { launchPoints_ = std::clamp<std::size_t>(points, 1, gpuplan::kLaunchPoints); }
#endif

    std::string name() const override { return name_; }
    std::size_t memoryBytes() const override {
        return points_.bytes() + table_.bytes() + heatmap_.bytes() + partials_.bytes() + far_.bytes() +
               counts_.bytes() + rows_.bytes();
    }
    double lastDeviceMs() const override { return lastMs_; }

    // The grid on the device is the normalised one: one value is read back
    // and undone, which the readout asks for only when the cursor moves.
    float densityAt(std::size_t index) override {
        if (lastMaximum_ == 0.0f || index >= static_cast<std::size_t>(kde::kCells)) return 0.0f;
        float value = 0.0f;
        copyToHost(&value, heatmap_.get() + index, 1);
        return kde::unscale_function(value, lastMaximum_, lastLog_);
    }

private:
    // Waits for the stream's work before the copy and for the copy itself.
    void copyToHost(float* to, const float* from, std::size_t count) {
        TRACKORA_CUDA_CHECK(failure_, cudaMemcpyAsync(to, from, count * sizeof(float), cudaMemcpyDeviceToHost, stream_));
        TRACKORA_CUDA_CHECK(failure_, cudaStreamSynchronize(stream_));
    }

    // The maximum found on the device, or 0 when it is not positive and
    // finite (an all-zero grid).
    float readMaximum(const float* at) {
        float value = 0.0f;
        copyToHost(&value, at, 1);
        return kde::usable_maximum(value) ? value : 0.0f;
    }

    // The raw grid of summed weights into heatmap_.
    void estimate(const ControlSettings& settings) {
        if (!table_.get() || table_.count() != (path_ == Path::literal ? std::size_t(size_) * size_ : std::size_t(size_)))
            throw std::logic_error("CUDA engine: the weight table does not match its size");
        const int mask = settings.mode_mask;
        if (path_ == Path::literal) {
            TRACKORA_CUDA_CHECK(failure_, cudaMemsetAsync(heatmap_.get(), 0, kde::kCells * sizeof(float), stream_));
            for (const gpuplan::Chunk& chunk : gpuplan::pointChunks(points_.count(), launchPoints_)) {
                kde_kernel<<<chunk.blocks, kThreads, 0, stream_>>>(points_.get() + chunk.first, chunk.count, table_.get(), size_,
                                                       heatmap_.get(), kde::kPrecision, mask, settings.min_time,
                                                       settings.max_time);
                checkLaunch(failure_);
            }
            return;
        }
        TRACKORA_CUDA_CHECK(failure_, cudaMemsetAsync(counts_.get(), 0, counts_.count() * sizeof(std::uint32_t), stream_));
        for (const gpuplan::Chunk& chunk : gpuplan::pointChunks(points_.count(), launchPoints_)) {
            count_kernel<<<chunk.blocks, kThreads, 0, stream_>>>(points_.get() + chunk.first, chunk.count, counts_.get(), mask,
                                                     settings.min_time, settings.max_time);
            checkLaunch(failure_);
        }
        const int half = size_ / 2;
        const kde::ConvolutionShape shape = kde::convolution_shape(half);
        const int columnBlocks = gpuplan::blocksFor(kde::kSide);
        const dim3 rowGrid(columnBlocks, shape.rowLast - shape.rowFirst + 1);
        convolve_rows_kernel<<<rowGrid, kThreads, 0, stream_>>>(counts_.get(), table_.get(), half, shape.reach, shape.rowFirst,
                                                    rows_.get(), chunk_);
        checkLaunch(failure_);
        const dim3 columnGrid(columnBlocks, kde::kSide);
        convolve_columns_kernel<<<columnGrid, kThreads, 0, stream_>>>(rows_.get(), table_.get(), half, shape.rowFirst,
                                                          shape.rowLast, heatmap_.get(), chunk_);
        checkLaunch(failure_);
        if (far_.count() > 0) {
            for (const gpuplan::Chunk& chunk : gpuplan::pointChunks(far_.count(), launchPoints_)) {
                far_kernel<<<chunk.blocks, kThreads, 0, stream_>>>(far_.get() + chunk.first, chunk.count, table_.get(), size_,
                                                       heatmap_.get(), mask, settings.min_time, settings.max_time);
                checkLaunch(failure_);
            }
        }
    }

    void recordTime() {
        float ms = 0.0f;
        TRACKORA_CUDA_CHECK(failure_, cudaEventSynchronize(stop_));
        TRACKORA_CUDA_CHECK(failure_, cudaEventElapsedTime(&ms, start_, stop_));
        lastMs_ = ms;
    }

    // Declared first: the buffers below report through it as they are freed.
    FailureFlag failure_;
    cudaStream_t stream_ = nullptr;
    Path path_;
    std::string name_;
    // Side of the table in table_: the whole table (literal) or its factor.
    int size_ = 1;
    DeviceBuffer<Datapoint> points_{failure_};
    DeviceBuffer<Datapoint> far_{failure_};
    DeviceBuffer<float> table_{failure_};
    DeviceBuffer<float> heatmap_{failure_};
    DeviceBuffer<float> partials_{failure_};
    DeviceBuffer<std::uint32_t> counts_{failure_};
    DeviceBuffer<float> rows_{failure_};
    cudaEvent_t start_ = nullptr;
    cudaEvent_t stop_ = nullptr;
    double lastMs_ = -1.0;
    bool lastLog_ = false;
    int chunk_ = gpuplan::kFactorChunk;
    std::size_t launchPoints_ = gpuplan::kLaunchPoints;
};

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

std::string cudaDeviceProblem() {
    int devices = 0;
    const cudaError_t status = cudaGetDeviceCount(&devices);
    if (status != cudaSuccess) return std::string("CUDA reports \"") + cudaGetErrorString(status) + "\"";
    if (devices == 0) return "CUDA finds no device";
    return {};
}

std::string cudaDeviceDescription() {
    if (!cudaDeviceProblem().empty()) return {};
    cudaDeviceProp properties{};
    if (cudaGetDeviceProperties(&properties, 0) != cudaSuccess) return {};
    int driver = 0;
    int runtime = 0;
    cudaDriverGetVersion(&driver);
    cudaRuntimeGetVersion(&runtime);
    const auto version = [](int v) { return std::to_string(v / 1000) + "." + std::to_string(v % 1000 / 10); };
    char memory[32];
    std::snprintf(memory, sizeof memory, "%.1f GiB", static_cast<double>(properties.totalGlobalMem) / (1 << 30));
    return std::string(properties.name) + ", compute capability " + std::to_string(properties.major) + "." +
           std::to_string(properties.minor) + ", " + memory + ", " + std::to_string(properties.multiProcessorCount) +
           " multiprocessors; driver " + version(driver) + ", runtime " + version(runtime);
}

CudaStart startCudaEngine(const std::vector<Datapoint>& points, gpuplan::Path path, int tableSize,
                          std::size_t reclaimableBytes) {
    CudaStart start;
    start.problem = cudaDeviceProblem();
    if (!start.problem.empty()) return start;
    std::size_t freeBytes = 0;
    std::size_t totalBytes = 0;
    const cudaError_t memory = cudaMemGetInfo(&freeBytes, &totalBytes);
    if (memory != cudaSuccess) {
        start.problem = std::string("cudaMemGetInfo failed: ") + cudaGetErrorString(memory);
        return start;
    }
    const std::vector<Datapoint> far =
        path == Path::fast ? gpuplan::farPoints(points, hardwareThreads()) : std::vector<Datapoint>{};
    const std::size_t needed = gpuplan::footprintBytes(path, points.size(), far.size(), tableSize);
    if (needed + gpuplan::kHeadroomBytes > freeBytes + reclaimableBytes) {
        start.problem = "the " + std::to_string(points.size()) + " points and the " + std::to_string(tableSize) +
                        "-wide weight table need " + gpuplan::megabytes(needed + gpuplan::kHeadroomBytes) +
                        " of GPU memory, " + gpuplan::megabytes(freeBytes + reclaimableBytes) + " are free";
        return start;
    }
    if (needed + gpuplan::kHeadroomBytes > freeBytes) {
        start.afterRelease = true;  // fits once the running engine is gone
        return start;
    }
    try {
        start.backend = std::make_unique<CudaEngine>(points, path, far);
    } catch (const std::exception& error) {
        start.problem = error.what();
    }
    return start;
}

CudaStart startCudaEngine(const SampleSource& samples, gpuplan::Path path, int tableSize,
                          std::size_t reclaimableBytes) {
    return startCudaEngine(readAllSamples(samples), path, tableSize, reclaimableBytes);
}

#ifdef TRACKORA_DEVICE_TEST_HOOKS
std::vector<float> cudaDensity(DensityBackend& backend, const ControlSettings& settings) {
    auto* engine = dynamic_cast<CudaEngine*>(&backend);
    if (!engine) throw std::invalid_argument("cudaDensity needs a CUDA engine");
    return engine->density(settings);
}

void cudaSetFactorChunk(DensityBackend& backend, int chunk) {
    auto* engine = dynamic_cast<CudaEngine*>(&backend);
    if (!engine) throw std::invalid_argument("cudaSetFactorChunk needs a CUDA engine");
    engine->setFactorChunk(chunk);
}

void cudaSetLaunchPoints(DensityBackend& backend, std::size_t points) {
    auto* engine = dynamic_cast<CudaEngine*>(&backend);
    if (!engine) throw std::invalid_argument("cudaSetLaunchPoints needs a CUDA engine");
    engine->setLaunchPoints(points);
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

std::vector<float> cudaReduceBlocksPass(const std::vector<float>& data, reductionOperation operation) {
    const int n = static_cast<int>(data.size());
    const int blocks = n == 0 ? 0 : gpuplan::blocksFor(n);
    return onDevice(data, static_cast<std::size_t>(blocks), [&](FailureFlag&, float* in, float* out) {
        if (blocks > 0) launchBlocksPass(operation, blocks, in, out, n, nullptr);
    });
}

float cudaReduceWarp(const std::vector<float>& data, reductionOperation operation) {
    const int n = static_cast<int>(data.size());
    return onDevice(data, 1, [&](FailureFlag&, float* in, float* out) { launchWarp(operation, in, out, n, nullptr); })[0];
}

float cudaMaximum(const std::vector<float>& data, std::vector<int>* passes) {
    // The second region must hold the second pass's results.
    if (data.size() > static_cast<std::size_t>(kde::kCells))
        throw std::invalid_argument("cudaMaximum takes at most one grid of values");
    FailureFlag flag;
    DeviceBuffer<float> values(flag);
    values.upload(data.data(), data.size(), nullptr);
    DeviceBuffer<float> partials(flag, gpuplan::kPartials);
    const float* result = reduceMaximum(flag, values.get(), static_cast<int>(data.size()), partials.get(),
                                        partials.get() + kSecondRegion, passes, nullptr);
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

#endif  // TRACKORA_DEVICE_TEST_HOOKS

}  // namespace engine
