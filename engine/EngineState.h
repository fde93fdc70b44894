#pragma once
// The facade's state and the steps its files share (engine/*.cpp only): the
// running engine, the CPU engine standing by, the table they hold and what
// the readout keeps; the failover and the settings an engine is handed.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "cuda/CudaPlan.h"
#include "engine/HeatmapEngine.h"
#include "kde/Backend.h"
#include "model/SampleSource.h"
#include "model/SampleTally.h"
#include "settings/ControlSettings.h"

namespace HeatmapEngine {

struct PreparedEngine {
    std::unique_ptr<engine::DensityBackend> active;
    std::unique_ptr<engine::DensityBackend> fallback;
    engine::CellCounter* counter = nullptr;
    bool onGpu = false;
    std::string announcement;
    // A CUDA engine that fits only once the running one is released: started
    // by install, from these samples.
    std::shared_ptr<const SampleSource> startAfterRelease;
    SampleTally tally;
    std::vector<std::int64_t> summaryBlockSamples;
    gpuplan::Path path = gpuplan::Path::counting;
    int tableSize = 1;
};

namespace detail {

struct EngineState {
    std::unique_ptr<engine::DensityBackend> active;
    // The CPU engine that takes over when the GPU fails after start-up.
    std::unique_ptr<engine::DensityBackend> fallback;
    // Counts samples per cell for the readout: the CPU engine, which runs
    // or stands by, or the reference engine.
    engine::CellCounter* counter = nullptr;
    bool onGpu = false;
    int tableSize = 0;
    float tableSigma = 0.0f;
    double tableAspect = 1.0;
    // What the last compute was asked for and divided by.
    bool computed = false;
    // The readout asks every frame the cursor is over the map; the answer
    // changes only with the cell or the grid.
    struct Readout {
        int row = -1;
        int col = -1;
        CellValue value;
    } readout;
    ControlSettings lastSettings;
    float lastMaximum = 0.0f;
    bool lastLog = false;
    // The summary engine's samples per block of its summary: the tally of a
    // choice of day classes adds these, not the entries.
    std::vector<std::int64_t> summaryBlockSamples;
};

extern EngineState state;

// Whether a GPU engine gets the CPU engine beside it (setCpuStandby).
extern std::atomic<bool> cpuStandby;

// Device memory the running engine holds, for the memory check of an engine
// prepared off the main thread: the running one goes before the new one is
// installed.
extern std::atomic<std::size_t> gpuBytesHeld;

// Frees the running engine before the CUDA runtime goes at exit.
void releaseBeforeTheRuntimeGoes();

// The table of that sigma, size and aspect into the running engine; a GPU
// engine that fails at it hands over to the CPU engine.
void setTable(float sigma, int size, double aspect);

// A CUDA failure after start-up: report it once and carry on on the CPU.
void failOver(const std::exception& error);

// The settings an engine is handed: the day classes only where it keeps
// each sample's (filtersDayClasses); elsewhere the samples were chosen
// through their source, and every class it holds is taken.
ControlSettings forTheEngine(const ControlSettings& settings);

}  // namespace detail

}  // namespace HeatmapEngine
