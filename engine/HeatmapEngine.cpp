#include "engine/HeatmapEngine.h"

#include <atomic>
#include <bit>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#include "engine/EngineInternals.h"
#include "engine/EngineState.h"
#include "kde/Backend.h"
#include "kde/KdeLogic.h"
#ifdef TRACKORA_HAVE_CUDA
#include "cuda/CudaEngineStart.h"
#endif

// The facade's lifetime: the running engine installed and released (at exit
// too), its table rebuilt, its grid computed. Which engine runs is
// engine/EngineChoice.cpp's, the failover engine/Failover.cpp's, the
// readout engine/Readout.cpp's, the day classes engine/DayClasses.cpp's.
namespace HeatmapEngine {

namespace detail {

EngineState state;
std::atomic<bool> cpuStandby{true};
std::atomic<std::size_t> gpuBytesHeld{0};

}  // namespace detail

using namespace detail;

namespace {

void releaseAtExit() { release(); }

bool tableMatches(const ControlSettings& settings) {
    return state.tableSize == engine::effectiveKernelSize(settings.kernel_size) &&
           std::bit_cast<std::uint32_t>(state.tableSigma) == std::bit_cast<std::uint32_t>(settings.sigma) &&
           std::bit_cast<std::uint64_t>(state.tableAspect) == std::bit_cast<std::uint64_t>(settings.cell_aspect);
}

}  // namespace

// The CUDA runtime tears itself down at exit through handlers it registers
// when first used; ours, registered after that, runs before them, so the
// engine's buffers are freed while the runtime still answers (a tool that
// exits on an error would otherwise report "driver shutting down").
void detail::releaseBeforeTheRuntimeGoes() {
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(releaseAtExit); });
}

void PreparedEngineDeleter::operator()(PreparedEngine* prepared) const { delete prepared; }

void install(PreparedEnginePtr prepared, ControlSettings& settings) {
    release();
#ifdef TRACKORA_HAVE_CUDA
    if (prepared->startAfterRelease) {
        // The new engine fits only in the memory the running one held. Samples
        // in memory are uploaded now; a file is never read again here, on the
        // thread that draws the frames (a large one would freeze it for
        // minutes): its samples run on the CPU engine, which indexed them.
        // A copy that fails leaves the CPU engine to run, never none.
        engine::CudaStart start;
        if (!prepared->startAfterRelease->path().empty()) {
            start.problem = "the samples fit in GPU memory only once the running engine's is freed, and \"" +
                            echoPath(prepared->startAfterRelease->path()) +
                            "\" is not read twice; open it again to load it on the GPU";
        } else {
            try {
                start = engine::startCudaEngine(*prepared->startAfterRelease, prepared->path, prepared->tableSize);
            } catch (const std::exception& error) {
                start.problem = error.what();
            }
        }
        prepared->startAfterRelease.reset();
        if (start.backend) {
            prepared->active = std::move(start.backend);
            prepared->onGpu = true;
            prepared->announcement = "Density engine: " + prepared->active->name();
        } else {
            prepared->active = std::move(prepared->fallback);
            prepared->announcement = "Density engine: " + prepared->active->name() + " (GPU not used: " +
                                     (start.problem.empty() ? "not enough GPU memory" : start.problem) + ")";
        }
    }
#endif
    state.active = std::move(prepared->active);
    state.fallback = std::move(prepared->fallback);
    state.counter = prepared->counter;
    state.onGpu = prepared->onGpu;
    state.summaryBlockSamples = std::move(prepared->summaryBlockSamples);
    if (state.onGpu) {
        gpuBytesHeld = state.active->memoryBytes();
        releaseBeforeTheRuntimeGoes();
    }
    std::cout << prepared->announcement << std::endl;
    rebuildKernel(settings);
}

void initialize(std::shared_ptr<const Summary> summary, ControlSettings& settings) {
    install(prepare(std::move(summary), settings.kernel_size), settings);
}

void initialize(std::vector<Datapoint> points, ControlSettings& settings) {
    initialize(std::make_shared<SamplesInMemory>(std::move(points)), settings);
}

void initialize(std::shared_ptr<const SampleSource> samples, ControlSettings& settings) {
    install(prepare(std::move(samples), settings.kernel_size), settings);
}

int effectiveKernelSize(int kernelSize) { return engine::effectiveKernelSize(kernelSize); }

TableShape tableShape(const ControlSettings& settings) {
    const engine::KernelShape shape = engine::kernelShape(settings.sigma, settings.kernel_size, settings.cell_aspect);
    return TableShape{shape.rows, shape.cols};
}

std::string kernelCutShort(const ControlSettings& settings) {
    return engine::kernelCutShortWarning(engine::kernelShape(settings.sigma, settings.kernel_size, settings.cell_aspect));
}

void rebuildKernel(ControlSettings& settings) {
    if (!state.active) return;
    setTable(settings.sigma, engine::effectiveKernelSize(settings.kernel_size), settings.cell_aspect);
}

std::vector<float> computeHeatmap(ControlSettings& settings) {
    if (!state.active) return std::vector<float>(kGridCells, 0.0f);
    // The table must match the size the stamp reads; rebuild it when a caller
    // changed size or sigma without asking for it.
    if (!tableMatches(settings)) rebuildKernel(settings);
    std::vector<float> grid;
    try {
        grid = state.active->compute(forTheEngine(settings));
    } catch (const std::exception& error) {
        if (!state.onGpu || !state.fallback) throw;
        failOver(error);
        grid = state.active->compute(forTheEngine(settings));
    }
    state.computed = true;
    state.readout = {};
    state.lastSettings = forTheEngine(settings);
    state.lastMaximum = state.active->lastMaximum();
    state.lastLog = settings.use_log_scale;
    return grid;
}

void release() {
    gpuBytesHeld = 0;
    state.active.reset();
    state.fallback.reset();
    state.counter = nullptr;
    state.onGpu = false;
    state.tableSize = 0;
    state.computed = false;
    state.readout = {};
    state.lastMaximum = 0.0f;
}

std::vector<float> makeGaussKernel(float sigma, int size) { return engine::makeGaussKernel(sigma, size); }

std::string engineName() { return state.active ? state.active->name() : "none"; }

}  // namespace HeatmapEngine

engine::DensityBackend* HeatmapEngine::internals::currentBackend() { return HeatmapEngine::detail::state.active.get(); }

std::size_t HeatmapEngine::internals::gpuBytesHeld() { return HeatmapEngine::detail::gpuBytesHeld.load(); }
