#pragma once
// The facade's internals, for the tests and the benchmark: the engine that
// runs, the failover of a GPU engine tried on machines without a GPU, and
// why CUDA does not run here. In the facade's namespace, apart from its
// public operations; defined in engine/HeatmapEngine.cpp, Failover.cpp and
// EngineChoice.cpp.
#include <cstddef>
#include <memory>
#include <string>

#include "settings/ControlSettings.h"
#include "kde/Backend.h"

namespace HeatmapEngine::internals {

// The engine initialize chose, or null.
engine::DensityBackend* currentBackend();

// Device memory the running engine holds, as the memory check of the next
// load counts it (0 when it runs on the CPU).
std::size_t gpuBytesHeld();

// Makes `active` the running engine the way a GPU engine runs: any failure
// of it hands over to `standby`, which must be given. counter answers the
// readout's sample counts. For the tests of that failover on machines
// without a GPU.
void installWithStandby(std::unique_ptr<engine::DensityBackend> active, std::unique_ptr<engine::DensityBackend> standby,
                        engine::CellCounter* counter, ControlSettings& settings);

// Empty when a CUDA device can run the engine here, else the reason ("built
// without CUDA", "CUDA finds no device", ...).
std::string cudaProblem();

}  // namespace HeatmapEngine::internals
