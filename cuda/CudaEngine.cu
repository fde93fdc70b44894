// The CUDA engine (cuda/CudaEngine.cuh): its device buffers, the upload of
// the samples a chunk at a time, the launches of a compute, and
// startCudaEngine with its memory check. Every CUDA call is checked; a
// failure throws and the dispatcher carries on with the CPU engine.
#include "cuda/CudaEngine.cuh"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "cuda/CudaEngineStart.h"
#include "cuda/kernels.cuh"
#include "model/LoadError.h"

namespace engine {

namespace detail {

namespace {

using gpuplan::kThreads;
using gpuplan::Path;

// partials_ holds the first pass's block maxima, then the second pass's.
constexpr int kSecondRegion = kde::kCellBlocks;

}  // namespace

// Two page-locked staging buffers in turn: a chunk is copied into one while
// the device still reads the other, and the source may reuse its chunk as
// soon as the copy into staging is made.
struct CudaEngine::Upload {
    explicit Upload(FailureFlag& flag)
        : staging{{flag, gpuplan::kStagingSamples}, {flag, gpuplan::kStagingSamples}},
          copied{OwnedEvent{flag}, OwnedEvent{flag}} {}
    HostStaging<Datapoint> staging[2];
    OwnedEvent copied[2];
    bool inFlight[2] = {false, false};
    int next = 0;
    std::size_t uploaded = 0;
    std::vector<Datapoint> far;
};

CudaEngine::CudaEngine(std::size_t samples, Path path) : path_(path) {
    TRACKORA_CUDA_CHECK(failure_, cudaSetDevice(0));
    cudaDeviceProp properties{};
    TRACKORA_CUDA_CHECK(failure_, cudaGetDeviceProperties(&properties, 0));
    name_ = std::string(path == Path::literal ? "CUDA literal (" : "CUDA (") + properties.name + ")";
    stream_.create();
    readBack_.emplace(failure_, kde::kCells);
    // Everything but the far points is allocated before the samples are
    // read, so a device that is short of memory says so before a long read.
    points_.allocate(samples);
    heatmap_.allocate(kde::kCells);
    partials_.allocate(gpuplan::kPartials);
    if (path_ == Path::counting) {
        counts_.allocate(kde::kCountCells);
        rows_.allocate(gpuplan::kRowCells);
    }
    // A table from the start: a compute before the first setKernel stamps
    // single cells instead of reading a null table.
    const float one = 1.0f;
    table_.upload(&one, 1, stream_.get());
    start_.create();
    stop_.create();
    upload_ = std::make_unique<Upload>(failure_);
}

CudaEngine::CudaEngine(const SampleSource& samples, Path path) : CudaEngine(samples.size(), path) {
    samples.forEachChunk(
        [this](const Datapoint* chunk, std::size_t count, std::size_t first) { addChunk(chunk, count, first); });
    finishUpload();
}

CudaEngine::~CudaEngine() {
    // An upload stopped halfway: its staging may go only once the device
    // has read it.
    if (upload_) TRACKORA_CUDA_REPORT(failure_, cudaStreamSynchronize(stream_.get()));
}

void CudaEngine::addChunk(const Datapoint* chunk, std::size_t count, std::size_t first) {
    if (!upload_) throw std::logic_error("CUDA engine: samples added after the upload finished");
    Upload& upload = *upload_;
    if (first != upload.uploaded)
        throw std::logic_error("the sample source handed samples from " + std::to_string(first) + " after " +
                               std::to_string(upload.uploaded));
    for (std::size_t done = 0; done < count;) {
        const std::size_t part = std::min(count - done, gpuplan::kStagingSamples);
        const int slot = upload.next;
        if (upload.inFlight[slot]) TRACKORA_CUDA_CHECK(failure_, cudaEventSynchronize(upload.copied[slot].get()));
        std::copy_n(chunk + done, part, upload.staging[slot].data());
        points_.copyIn(first + done, upload.staging[slot].data(), part, stream_.get());
        upload.copied[slot].create();
        TRACKORA_CUDA_CHECK(failure_, cudaEventRecord(upload.copied[slot].get(), stream_.get()));
        upload.inFlight[slot] = true;
        upload.next = 1 - slot;
        done += part;
    }
    // Read on the host while the copies run.
    if (path_ == Path::counting) gpuplan::appendFarPoints(chunk, count, upload.far);
    upload.uploaded += count;
}

void CudaEngine::finishUpload() {
    if (!upload_) throw std::logic_error("CUDA engine: the upload finished twice");
    TRACKORA_CUDA_CHECK(failure_, cudaStreamSynchronize(stream_.get()));
    if (upload_->uploaded != points_.count())
        throw std::logic_error("the sample source handed " + std::to_string(upload_->uploaded) + " of its " +
                               std::to_string(points_.count()) + " samples");
    const std::vector<Datapoint> far = std::move(upload_->far);
    upload_.reset();
    uploadFarPoints(far);
}

// The far points are known only once every sample was read: their bytes are
// checked now, against what the rest left free.
void CudaEngine::uploadFarPoints(const std::vector<Datapoint>& far) {
    if (far.empty()) return;
    const std::size_t bytes = far.size() * sizeof(Datapoint);
    std::size_t freeBytes = 0;
    std::size_t totalBytes = 0;
    TRACKORA_CUDA_CHECK(failure_, cudaMemGetInfo(&freeBytes, &totalBytes));
    if (bytes + gpuplan::kHeadroomBytes > freeBytes)
        throw std::runtime_error("the " + std::to_string(far.size()) +
                                 " points centred beyond the count grid's margin need " +
                                 gpuplan::megabytes(bytes + gpuplan::kHeadroomBytes) + " more of GPU memory, " +
                                 gpuplan::megabytes(freeBytes) + " are free");
    far_.upload(far.data(), far.size(), stream_.get());
}

void CudaEngine::setKernel(const std::vector<float>& table, int rows, int cols) {
    const std::string problem = gpuplan::tableProblem(table.size(), rows, cols);
    if (!problem.empty()) throw std::invalid_argument(problem);
    std::vector<float> weights;
    if (path_ == Path::literal) {
        weights = table;
    } else {
        TableFactors factors = tableFactors(table, rows, cols);
        weights = std::move(factors.rows);
        weights.insert(weights.end(), factors.cols.begin(), factors.cols.end());
    }
    const std::size_t needed = weights.size() * sizeof(float);
    if (needed > table_.bytes()) {
        std::size_t freeBytes = 0;
        std::size_t totalBytes = 0;
        TRACKORA_CUDA_CHECK(failure_, cudaMemGetInfo(&freeBytes, &totalBytes));
        if (needed + gpuplan::kHeadroomBytes > freeBytes + table_.bytes())
            throw std::runtime_error("the " + std::to_string(rows) + " x " + std::to_string(cols) +
                                     " weight table needs " + gpuplan::megabytes(needed) + " of GPU memory, " +
                                     gpuplan::megabytes(freeBytes) + " are free");
    }
    tableRows_ = 1;  // until the new table is in place
    tableCols_ = 1;
    // A larger table replaces the old one (freed first: one exists at a
    // time); a smaller one is written over it after the stream's work.
    table_.upload(weights.data(), weights.size(), stream_.get());
    tableRows_ = rows;
    tableCols_ = cols;
}

std::vector<float> CudaEngine::compute(const ControlSettings& settings) {
    const bool useLog = settings.use_log_scale;
    lastLog_ = useLog;
    cudaStream_t stream = stream_.get();
    TRACKORA_CUDA_CHECK(failure_, cudaEventRecord(start_.get(), stream));
    buildRawGrid(settings);
    std::vector<float> results(kde::kCells);
    // Both paths finish alike: the scaled cells' block maxima, the maximum of
    // those, and the division, all on the device.
    log_max_kernel<<<kde::kCellBlocks, kThreads, 0, stream>>>(heatmap_.get(), kde::kCells, useLog, partials_.get());
    checkLaunch(failure_);
    const float* maximum = reduceMaximum(failure_, partials_.get(), kde::kCellBlocks, partials_.get() + kSecondRegion,
                                         partials_.get(), nullptr, stream);
    normalize_by_kernel<<<kde::kCellBlocks, kThreads, 0, stream>>>(heatmap_.get(), kde::kCells, maximum);
    checkLaunch(failure_);
    TRACKORA_CUDA_CHECK(failure_, cudaEventRecord(stop_.get(), stream));
    // The readout needs the divisor on the host: four bytes, read after the
    // timed work.
    lastMaximum_ = readMaximum(maximum);
    readGrid(results);
    recordTime();
    return results;
}

std::vector<float> CudaEngine::density(const ControlSettings& settings) {
    buildRawGrid(settings);
    std::vector<float> results(kde::kCells, 0.0f);
    readGrid(results);
    return results;
}

// Through the page-locked staging: a pageable copy of the grid would be
// staged by the driver in pieces, every frame.
void CudaEngine::readGrid(std::vector<float>& to) {
    copyToHost(readBack_->data(), heatmap_.get(), to.size());
    std::copy_n(readBack_->data(), to.size(), to.begin());
}

void CudaEngine::setFactorChunk(int chunk) { chunk_ = std::clamp(chunk, 1, gpuplan::kFactorChunk); }

void CudaEngine::setLaunchPoints(std::size_t points) {
    launchPoints_ = std::clamp<std::size_t>(points, 1, gpuplan::kLaunchPoints);
}

std::size_t CudaEngine::memoryBytes() const {
    return points_.bytes() + table_.bytes() + heatmap_.bytes() + partials_.bytes() + far_.bytes() + counts_.bytes() +
           rows_.bytes();
}

// The grid on the device is the normalised one: one value is read back and
// undone, which the readout asks for only when the cursor moves.
float CudaEngine::densityAt(std::size_t index) {
    if (lastMaximum_ == 0.0f || index >= static_cast<std::size_t>(kde::kCells)) return 0.0f;
    float value = 0.0f;
    copyToHost(&value, heatmap_.get() + index, 1);
    return kde::unscale_cell(value, lastMaximum_, lastLog_);
}

void CudaEngine::copyToHost(float* to, const float* from, std::size_t count) {
    TRACKORA_CUDA_CHECK(failure_,
                        cudaMemcpyAsync(to, from, count * sizeof(float), cudaMemcpyDeviceToHost, stream_.get()));
    TRACKORA_CUDA_CHECK(failure_, cudaStreamSynchronize(stream_.get()));
}

float CudaEngine::readMaximum(const float* at) {
    float value = 0.0f;
    copyToHost(&value, at, 1);
    return kde::usable_maximum(value) ? value : 0.0f;
}

void CudaEngine::buildRawGrid(const ControlSettings& settings) {
    const std::size_t tableCount =
        path_ == Path::literal ? std::size_t(tableRows_) * std::size_t(tableCols_)
                               : std::size_t(tableRows_) + std::size_t(tableCols_);
    if (!table_.get() || table_.count() != tableCount)
        throw std::logic_error("CUDA engine: the weight table does not match its size");
    const int mask = settings.mode_mask;
    cudaStream_t stream = stream_.get();
    if (path_ == Path::literal) {
        TRACKORA_CUDA_CHECK(failure_, cudaMemsetAsync(heatmap_.get(), 0, kde::kCells * sizeof(float), stream));
        for (const gpuplan::Chunk& chunk : gpuplan::pointChunks(points_.count(), launchPoints_)) {
            stamp_whole_table_kernel<<<chunk.blocks, kThreads, 0, stream>>>(
                points_.get() + chunk.first, chunk.count, table_.get(), tableRows_, tableCols_, heatmap_.get(), mask,
                settings.min_time, settings.max_time);
            checkLaunch(failure_);
        }
        return;
    }
    TRACKORA_CUDA_CHECK(failure_, cudaMemsetAsync(counts_.get(), 0, counts_.count() * sizeof(std::uint32_t), stream));
    for (const gpuplan::Chunk& chunk : gpuplan::pointChunks(points_.count(), launchPoints_)) {
        count_kernel<<<chunk.blocks, kThreads, 0, stream>>>(points_.get() + chunk.first, chunk.count, counts_.get(),
                                                            mask, settings.min_time, settings.max_time);
        checkLaunch(failure_);
    }
    const int half = tableRows_ / 2;
    const int halfCols = tableCols_ / 2;
    const float* rowFactor = table_.get();
    const float* colFactor = table_.get() + tableRows_;
    const kde::ConvolutionShape shape = kde::convolution_shape(half);
    const int columnBlocks = gpuplan::blocksFor(kde::kSide);
    const dim3 rowGrid(columnBlocks, shape.rowLast - shape.rowFirst + 1);
    convolve_rows_kernel<<<rowGrid, kThreads, 0, stream>>>(counts_.get(), colFactor, halfCols,
                                                           kde::convolution_shape(halfCols).reach,
                                                           shape.rowFirst, rows_.get(), chunk_);
    checkLaunch(failure_);
    const dim3 columnGrid(columnBlocks, kde::kSide);
    convolve_columns_kernel<<<columnGrid, kThreads, 0, stream>>>(rows_.get(), rowFactor, half, shape.rowFirst,
                                                                 shape.rowLast, heatmap_.get(), chunk_);
    checkLaunch(failure_);
    if (far_.count() > 0) {
        for (const gpuplan::Chunk& chunk : gpuplan::pointChunks(far_.count(), launchPoints_)) {
            far_kernel<<<chunk.blocks, kThreads, 0, stream>>>(far_.get() + chunk.first, chunk.count, rowFactor,
                                                              tableRows_, colFactor, tableCols_, heatmap_.get(), mask,
                                                              settings.min_time, settings.max_time);
            checkLaunch(failure_);
        }
    }
}

void CudaEngine::recordTime() {
    float ms = 0.0f;
    TRACKORA_CUDA_CHECK(failure_, cudaEventSynchronize(stop_.get()));
    TRACKORA_CUDA_CHECK(failure_, cudaEventElapsedTime(&ms, start_.get(), stop_.get()));
    lastMs_ = ms;
}

}  // namespace detail

namespace {

std::string cudaVersion(int v) { return std::to_string(v / 1000) + "." + std::to_string(v % 1000 / 10); }

}  // namespace

CudaDeviceStatus cudaDeviceStatus() {
    int devices = 0;
    const cudaError_t status = cudaGetDeviceCount(&devices);
    if (status == cudaSuccess && devices > 0) return {CudaAvailability::ready, {}};
    if (status == cudaSuccess || status == cudaErrorNoDevice)
        return {CudaAvailability::noDevice, "the NVIDIA driver reports no CUDA device"};
    const std::string words = std::string("CUDA reports \"") + cudaGetErrorString(status) + "\"";
    if (status == cudaErrorInsufficientDriver || status == cudaErrorCallRequiresNewerDriver) {
        int driver = 0;
        int runtime = 0;
        cudaDriverGetVersion(&driver);
        cudaRuntimeGetVersion(&runtime);
        // The runtime answers 0 when no driver is loaded at all: no GPU to
        // use, not an old driver.
        if (driver == 0) return {CudaAvailability::noDevice, "no NVIDIA driver is loaded (" + words + ")"};
        return {CudaAvailability::driverTooOld, "the NVIDIA driver supports CUDA " + cudaVersion(driver) +
                                                     ", older than this program's runtime " + cudaVersion(runtime) +
                                                     " (" + words + ")"};
    }
    return {CudaAvailability::failed, words};
}

std::string cudaDeviceProblem() { return cudaDeviceStatus().problem; }

std::string cudaDeviceDescription() {
    if (!cudaDeviceProblem().empty()) return {};
    cudaDeviceProp properties{};
    if (cudaGetDeviceProperties(&properties, 0) != cudaSuccess) return {};
    int driver = 0;
    int runtime = 0;
    cudaDriverGetVersion(&driver);
    cudaRuntimeGetVersion(&runtime);
    char memory[32];
    std::snprintf(memory, sizeof memory, "%.1f GiB", static_cast<double>(properties.totalGlobalMem) / (1 << 30));
    return std::string(properties.name) + ", compute capability " + std::to_string(properties.major) + "." +
           std::to_string(properties.minor) + ", " + memory + ", " + std::to_string(properties.multiProcessorCount) +
           " multiprocessors; driver " + cudaVersion(driver) + ", runtime " + cudaVersion(runtime);
}

namespace {

// The device and its free memory, before anything is allocated: a problem,
// afterRelease, or neither when an engine of `samples` samples fits now.
CudaStart checkRoom(std::size_t samples, gpuplan::Path path, int tableSize, std::size_t reclaimableBytes) {
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
    // The far points are not known before the samples are read: they are
    // few (an import keeps the frame's fixes), and the engine checks their
    // bytes when it has found them.
    const std::size_t needed = gpuplan::footprintBytes(path, samples, 0, tableSize);
    if (needed + gpuplan::kHeadroomBytes > freeBytes + reclaimableBytes) {
        start.problem = "the " + std::to_string(samples) + " points and the " + std::to_string(tableSize) +
                        "-wide weight table need " + gpuplan::megabytes(needed + gpuplan::kHeadroomBytes) +
                        " of GPU memory, " + gpuplan::megabytes(freeBytes + reclaimableBytes) + " are free";
        return start;
    }
    if (needed + gpuplan::kHeadroomBytes > freeBytes) start.afterRelease = true;  // fits once the running engine is gone
    return start;
}

class StagedUpload final : public CudaUpload {
public:
    StagedUpload(std::size_t samples, gpuplan::Path path)
        : engine_(std::make_unique<detail::CudaEngine>(samples, path)) {}
    void add(const Datapoint* chunk, std::size_t count, std::size_t first) override {
        engine_->addChunk(chunk, count, first);
    }
    std::unique_ptr<DensityBackend> finish() override {
        engine_->finishUpload();
        return std::move(engine_);
    }

private:
    std::unique_ptr<detail::CudaEngine> engine_;
};

}  // namespace

CudaStart startCudaEngine(const SampleSource& samples, gpuplan::Path path, int tableSize,
                          std::size_t reclaimableBytes) {
    CudaStart start = checkRoom(samples.size(), path, tableSize, reclaimableBytes);
    if (!start.problem.empty() || start.afterRelease) return start;
    try {
        start.backend = std::make_unique<detail::CudaEngine>(samples, path);
    } catch (const LoadCancelled&) {
        throw;  // the load stops; the engine's device memory is already freed
    } catch (const DataFileError&) {
        throw;  // the samples cannot be read: the load fails, not the GPU
    } catch (const std::exception& error) {
        start.problem = error.what();
    }
    return start;
}

CudaStart beginCudaEngine(std::size_t samples, gpuplan::Path path, int tableSize, std::size_t reclaimableBytes) {
    CudaStart start = checkRoom(samples, path, tableSize, reclaimableBytes);
    if (!start.problem.empty() || start.afterRelease) return start;
    try {
        start.upload = std::make_unique<StagedUpload>(samples, path);
    } catch (const std::exception& error) {
        start.problem = error.what();
    }
    return start;
}

CudaStart startCudaEngine(const std::vector<Datapoint>& points, gpuplan::Path path, int tableSize,
                          std::size_t reclaimableBytes) {
    return startCudaEngine(SamplesInMemory::view(points), path, tableSize, reclaimableBytes);
}

}  // namespace engine
