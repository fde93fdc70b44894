// The GPU failover: a CUDA engine that fails after start-up hands over to
// the CPU engine standing by beside it, with the table it held.
#include <iostream>
#include <memory>
#include <utility>

#include "engine/EngineInternals.h"
#include "engine/EngineState.h"
#include "kde/Backend.h"

namespace HeatmapEngine {

using namespace detail;

namespace {

void installTable(engine::DensityBackend& backend, float sigma, int size, double aspect) {
    const engine::KernelShape shape = engine::kernelShape(sigma, size, aspect);
    backend.setKernel(engine::usableGaussKernel(shape), shape.rows, shape.cols);
}

}  // namespace

namespace detail {

void failOver(const std::exception& error) {
    std::cout << "CUDA engine failed (" << error.what() << "); continuing on "
              << state.fallback->name() << std::endl;
    state.active = std::move(state.fallback);
    state.onGpu = false;
    gpuBytesHeld = 0;
    installTable(*state.active, state.tableSigma, state.tableSize, state.tableAspect);
}

void setTable(float sigma, int size, double aspect) {
    state.tableSize = size;
    state.tableSigma = sigma;
    state.tableAspect = aspect;
    try {
        installTable(*state.active, sigma, size, aspect);
    } catch (const std::exception& error) {
        if (!state.onGpu || !state.fallback) throw;
        failOver(error);
    }
    // A larger table takes more device memory, which the memory check of
    // the next load counts as freed when this engine goes.
    if (state.onGpu) gpuBytesHeld = state.active->memoryBytes();
}

}  // namespace detail

}  // namespace HeatmapEngine

void HeatmapEngine::internals::installWithStandby(std::unique_ptr<engine::DensityBackend> active,
                                                  std::unique_ptr<engine::DensityBackend> standby,
                                                  engine::CellCounter* counter, ControlSettings& settings) {
    auto prepared = HeatmapEngine::PreparedEnginePtr(new HeatmapEngine::PreparedEngine);
    prepared->announcement = "Density engine: " + active->name();
    prepared->active = std::move(active);
    prepared->fallback = std::move(standby);
    prepared->counter = counter;
    prepared->onGpu = true;
    HeatmapEngine::install(std::move(prepared), settings);
}
