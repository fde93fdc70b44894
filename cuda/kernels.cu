// The kernels of the density pipeline (declared, with their launch shapes,
// in cuda/kernels.cuh) and the launches of the templated reductions.
#include "cuda/kernels.cuh"

#include "cuda/CudaPlan.h"

using gpuplan::kThreads;
using kde::kCountPad;
using kde::kCountSide;

namespace {

struct AtomicAdd {
    float* grid;
    __device__ void operator()(int index, float weight) const { atomicAdd(grid + index, weight); }
};

}  // namespace

// output_data holds the kde::kSide^2 cells; the side is a constant, not a
// power each thread would take again.
__global__ void stamp_whole_table_kernel(const Datapoint* points, int n_point, const float* kernel, int kernel_rows,
                                         int kernel_cols, float* output_data, int mode_mask, int min_time,
                                         int max_time) {
    const int global_id = blockIdx.x * blockDim.x + threadIdx.x;
    constexpr int output_size = kde::kSide;
    if (global_id >= n_point) return;
    const Datapoint point = points[global_id];
    if (!kde::point_passes(point, mode_mask, min_time, max_time)) return;
    const kde::Cell cell = kde::cell_of(point, output_size);
    if (!cell.valid) return;
    AtomicAdd add{output_data};
    kde::stamp_table(cell.row, cell.col, kernel, kernel_rows, kernel_cols, output_size, add);
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
            const kde::Cell cell = kde::cell_of(point);
            if (kde::place_of(cell) == kde::Place::counted) key = kde::count_index(cell);
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

__global__ void far_kernel(const Datapoint* points, int n_point, const float* row_factor, int kernel_rows,
                           const float* col_factor, int kernel_cols, float* output_data, int mode_mask,
                           int min_time, int max_time) {
    const int global_id = blockIdx.x * blockDim.x + threadIdx.x;
    if (global_id >= n_point) return;
    const Datapoint point = points[global_id];
    if (!kde::point_passes(point, mode_mask, min_time, max_time)) return;
    const kde::Cell cell = kde::cell_of(point);
    if (!cell.valid) return;
    AtomicAdd add{output_data};
    kde::stamp_far(cell.row, cell.col, row_factor, kernel_rows, col_factor, kernel_cols, kde::kSide, add);
}

// The finishing step's first half (kde::scale_cell and the maximum of
// each block of cells); launched with exactly kThreads threads per block,
// block_max holding one value per block.
__global__ void log_max_kernel(float* data, int N, bool use_log, float* block_max) {
    __shared__ float chunk[kThreads];
    const int global_id = threadIdx.x + blockDim.x * blockIdx.x;
    const unsigned thread_id = threadIdx.x;
    float value = kde::kMaximumStart;  // a missing cell changes no maximum
    if (global_id < N) {
        value = kde::scale_cell(data[global_id], use_log);
        if (use_log) data[global_id] = value;
    }
    chunk[thread_id] = value;
    __syncthreads();
    for (unsigned stride = blockDim.x / 2; stride > 0; stride /= 2) {
        if (thread_id < stride) chunk[thread_id] = kde::max_of(chunk[thread_id], chunk[thread_id + stride]);
        __syncthreads();
    }
    if (thread_id == 0) block_max[blockIdx.x] = chunk[0];
}

// The second half (kde::finish_cell), with the maximum the search left
// on the device.
__global__ void normalize_by_kernel(float* data, int N, const float* max_at) {
    const int global_id = threadIdx.x + blockDim.x * blockIdx.x;
    if (global_id >= N) return;
    data[global_id] = kde::finish_cell(data[global_id], *max_at);
}

// Block b combines data[256 b ..] (as far as N reaches) into output[b].
// Launched with exactly kThreads threads per block.
__global__ void reduction_kernel_blocks(const float* data, float* output, int N) {
    __shared__ float dataChunk[kThreads];
    const unsigned id = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned thread_id = threadIdx.x;
    const unsigned n = static_cast<unsigned>(N);
    if (id < n) dataChunk[thread_id] = data[id];
    __syncthreads();
    for (unsigned stride = blockDim.x / 2; stride > 32; stride /= 2) {
        __syncthreads();
        if (thread_id < stride && id + stride < n)
            dataChunk[thread_id] = kde::max_of(dataChunk[thread_id], dataChunk[thread_id + stride]);
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
            if (active) dataChunk[thread_id] = kde::max_of(mine, other);
            __syncwarp();
        }
    }
    if (thread_id == 0) output[blockIdx.x] = dataChunk[0];
}

// One thread folds the whole array in index order from
// kde::kSerialMaximumStart: for arrays shorter than kde::kFoldBelow, where a
// block pass would leave most of its threads idle. Launched as <<<1, 1>>>;
// any other thread returns at once.
__global__ void reduction_kernel_serial(const float* data, float* output_value, int N) {
    if (threadIdx.x != 0 || blockIdx.x != 0) return;
    float accumulator = kde::kSerialMaximumStart;
    for (int i = 0; i < N; ++i) accumulator = kde::max_of(accumulator, data[i]);
    output_value[0] = accumulator;
}

namespace engine::detail {

void launchBlocksPass(int blocks, const float* in, float* out, int n, cudaStream_t stream) {
    reduction_kernel_blocks<<<blocks, kThreads, 0, stream>>>(in, out, n);
}

void launchSerial(const float* in, float* out, int n, cudaStream_t stream) {
    reduction_kernel_serial<<<1, 1, 0, stream>>>(in, out, n);
}

const float* reduceMaximum(FailureFlag& flag, const float* values, int n, float* first, float* second,
                           std::vector<int>* passes, cudaStream_t stream) {
    const std::vector<int> plan = gpuplan::maximumPasses(n);
    if (plan.empty()) {
        launchSerial(values, first, n, stream);
        checkLaunch(flag);
        if (passes) passes->push_back(1);
        return first;
    }
    const float* input = values;
    float* output = first;
    for (int blocks : plan) {
        launchBlocksPass(blocks, input, output, n, stream);
        checkLaunch(flag);
        if (passes) passes->push_back(blocks);
        n = blocks;
        input = output;
        output = output == first ? second : first;
    }
    return input;
}

}  // namespace engine::detail
