#pragma once
// The CUDA engine class, for the module's .cu files only: CudaEngine.cu
// defines it and startCudaEngine makes it; DeviceTestHooks.cu reaches into it
// for the GPU tests. Everyone else holds it as a DensityBackend.
#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cuda/CudaCheck.cuh"
#include "cuda/CudaPlan.h"
#include "cuda/DeviceBuffer.cuh"
#include "cuda/OwnedHandle.cuh"
#include "kde/Backend.h"
#include "model/SampleSource.h"

namespace engine::detail {

// Two paths (gpuplan::Path). The counting path does what the CPU engine
// does: integer counts of the passing points per centre cell (exact, so the
// order of the atomics does not matter), a separable convolution with the
// table's one-dimensional factor without fused multiply-adds, the far points
// stamped one by one, then the logarithm, the maximum and the division on the
// device. The GPU tests hold its grid to the CPU engine's within a few
// roundings per cell (the CPU engine may fuse and flush subnormals; far
// points are added with atomics in any order), never bit for bit. The
// literal path adds the whole table per point with float atomics: slow,
// simple, the on-device reference of the GPU tests. Both finish alike.
//
// Each engine works on a stream of its own, so a load preparing the next
// engine in the background never waits for the frames' computes, nor they
// for its upload.
class CudaEngine final : public DensityBackend {
public:
    // Uploads the samples a chunk at a time (and gathers the counting path's
    // far points on the way). Throws what the source throws (LoadCancelled,
    // DataFileError) and std::runtime_error for a failed CUDA call; whatever
    // it had allocated on the device is freed by then.
    CudaEngine(const SampleSource& samples, gpuplan::Path path);
    // The same in steps, for a load that reads its samples once for this
    // engine and the CPU index: the device memory for `samples` samples is
    // taken here, addChunk uploads them in order, and finishUpload checks
    // that all came and uploads the far points.
    CudaEngine(std::size_t samples, gpuplan::Path path);
    void addChunk(const Datapoint* chunk, std::size_t count, std::size_t first);
    void finishUpload();
    ~CudaEngine() override;
    CudaEngine(const CudaEngine&) = delete;
    CudaEngine& operator=(const CudaEngine&) = delete;

    using DensityBackend::setKernel;
    void setKernel(const std::vector<float>& table, int rows, int cols) override;
    std::vector<float> compute(const ControlSettings& settings) override;
    std::string name() const override { return name_; }
    std::size_t memoryBytes() const override;
    double lastDeviceMs() const override { return lastMs_; }
    float densityAt(std::size_t index) override;

    // For the GPU tests (DeviceTestHooks.h): the raw grid, before the
    // logarithm and the normalisation; the factor's weights per shared-memory
    // load; the points per kernel launch.
    std::vector<float> density(const ControlSettings& settings);
    void setFactorChunk(int chunk);
    void setLaunchPoints(std::size_t points);

private:
    void uploadFarPoints(const std::vector<Datapoint>& far);
    // Waits for the stream's work before the copy and for the copy itself.
    void copyToHost(float* to, const float* from, std::size_t count);
    // The whole grid (to holds kde::kCells values).
    void readGrid(std::vector<float>& to);
    // The maximum found on the device, or 0 when it is not positive and
    // finite (an all-zero grid).
    float readMaximum(const float* at);
    // The raw grid of summed weights into heatmap_.
    void buildRawGrid(const ControlSettings& settings);
    void recordTime();

    // Declared first: everything below reports through it as it is freed,
    // and is freed before it (members go in reverse order: the buffers
    // first, then the events and the stream).
    FailureFlag failure_;
    OwnedStream stream_{failure_};
    OwnedEvent start_{failure_};
    OwnedEvent stop_{failure_};
    gpuplan::Path path_;
    std::string name_;
    // Sides of the table (north-south rows, east-west cols). table_ holds
    // the whole table (literal) or its two factors, the rows' first.
    int tableRows_ = 1;
    int tableCols_ = 1;
    DeviceBuffer<Datapoint> points_{failure_};
    DeviceBuffer<Datapoint> far_{failure_};
    DeviceBuffer<float> table_{failure_};
    DeviceBuffer<float> heatmap_{failure_};
    DeviceBuffer<float> partials_{failure_};
    DeviceBuffer<std::uint32_t> counts_{failure_};
    DeviceBuffer<float> rows_{failure_};
    // The grid's way back to the host, page-locked when it can be.
    std::optional<HostStaging<float>> readBack_;
    // While the samples are uploaded.
    struct Upload;
    std::unique_ptr<Upload> upload_;
    double lastMs_ = -1.0;
    bool lastLog_ = false;
    int chunk_ = gpuplan::kFactorChunk;
    std::size_t launchPoints_ = gpuplan::kLaunchPoints;
};

}  // namespace engine::detail
