#pragma once
// The CUDA module's one public header: starting a CUDA density engine and
// naming the device. Plain C++; the engine, its kernels and device buffers
// are the module's own (cuda/*.cu and *.cuh). The per-element rules live in
// kde/KdeLogic.h, shared with the CPU engines; the paths, launch shapes,
// memory sizes and convolution passes in cuda/CudaPlan.h.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cuda/CudaPlan.h"
#include "kde/Backend.h"
#include "kde/KdeLogic.h"
#include "model/SampleSource.h"

namespace engine {

// Either a running CUDA engine holding the uploaded points, or the reason
// none could start (no device, no driver, not enough memory), in words, or
// neither with afterRelease set: the engine fits only in the memory that a
// running engine holds, and is to be started once that one is released.
// A CUDA engine uploaded in steps, so that one read of the samples feeds
// it and the CPU index: add each chunk in order (from 0, every sample
// once), then finish for the engine. A failed CUDA call throws
// std::runtime_error; dropping the upload frees its device memory.
class CudaUpload {
public:
    virtual ~CudaUpload() = default;
    virtual void add(const Datapoint* chunk, std::size_t count, std::size_t first) = 0;
    virtual std::unique_ptr<DensityBackend> finish() = 0;
};

struct CudaStart {
    std::unique_ptr<DensityBackend> backend;
    std::string problem;
    bool afterRelease = false;
    std::unique_ptr<CudaUpload> upload;  // beginCudaEngine's
};
// Checks the device's free memory before anything is allocated, then
// uploads the samples a chunk at a time (a sample file too large to hold in
// host memory never is).
// path: the counting engine (`cuda`) or the per-sample one (`cuda-literal`).
// tableSize: the side of the first weight table, part of the memory check.
// reclaimableBytes: device memory of a running engine that goes before this
// one is used.
// A cancelled source throws LoadCancelled and one that cannot be read
// DataFileError, out of this call, with the engine's device memory freed:
// the load stops. A CUDA failure is a problem, in words.
CudaStart startCudaEngine(const SampleSource& samples, gpuplan::Path path = gpuplan::Path::counting,
                          int tableSize = 1, std::size_t reclaimableBytes = 0);
// The same checks, then an upload the caller feeds (in `upload`) instead of
// a read of the samples here.
CudaStart beginCudaEngine(std::size_t samples, gpuplan::Path path = gpuplan::Path::counting, int tableSize = 1,
                          std::size_t reclaimableBytes = 0);
// The same for samples in memory.
CudaStart startCudaEngine(const std::vector<Datapoint>& points, gpuplan::Path path = gpuplan::Path::counting,
                          int tableSize = 1, std::size_t reclaimableBytes = 0);

// Why CUDA can or cannot run here, told apart: a machine with no device
// (or no NVIDIA driver at all) is not one whose driver is too old for this
// runtime, nor one whose device CUDA refuses for another reason.
enum class CudaAvailability { ready, noDevice, driverTooOld, failed };
struct CudaDeviceStatus {
    CudaAvailability availability = CudaAvailability::failed;
    std::string problem;  // empty when ready
};
CudaDeviceStatus cudaDeviceStatus();

// Empty when a CUDA device is present, else the reason.
std::string cudaDeviceProblem();

// The device the engine would use, for reports: "NVIDIA H100 80GB HBM3,
// compute capability 9.0, 79.2 GiB, 132 multiprocessors; driver 13.0,
// runtime 13.0". Empty when there is none.
std::string cudaDeviceDescription();

}  // namespace engine
