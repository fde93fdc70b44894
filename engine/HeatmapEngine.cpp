#include "engine/HeatmapEngine.h"

#include <atomic>
#include <bit>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <limits>
#include <optional>


#include "cpu/FastEngine.h"
#include "cpu/ReferenceEngine.h"
#include "cpu/SummaryEngine.h"
#include "engine/EngineInternals.h"
#include "kde/Backend.h"
#include "kde/KdeLogic.h"
#include "model/LoadError.h"
#include "model/SystemMemory.h"
#ifdef TRACKORA_HAVE_CUDA
#include "cuda/CudaEngineStart.h"
#endif
#include "cuda/CudaPlan.h"

namespace engine {

std::string cudaProblem() {
#ifdef TRACKORA_HAVE_CUDA
    return cudaDeviceProblem();
#else
    return "built without CUDA";
#endif
}

}  // namespace engine

namespace HeatmapEngine {

namespace {

enum class Choice { automatic, cpu, cuda, cudaLiteral, reference };

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

EngineState state;

// Whether a GPU engine gets the CPU engine beside it (setCpuStandby).
std::atomic<bool> cpuStandby{true};

// Device memory the running engine holds, for the memory check of an engine
// prepared off the main thread: the running one goes before the new one is
// installed.
std::atomic<std::size_t> gpuBytesHeld{0};

void releaseAtExit() { release(); }

// The CUDA runtime tears itself down at exit through handlers it registers
// when first used; ours, registered after that, runs before them, so the
// engine's buffers are freed while the runtime still answers (a tool that
// exits on an error would otherwise report "driver shutting down").
void releaseBeforeTheRuntimeGoes() {
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(releaseAtExit); });
}

Choice readChoice() {
    const char* text = std::getenv("TRACKORA_ENGINE");
    if (!text || !*text) return Choice::automatic;
    const std::string value = text;
    if (value == "cpu") return Choice::cpu;
    if (value == "cuda") return Choice::cuda;
    if (value == "cuda-literal") return Choice::cudaLiteral;
    if (value == "reference") return Choice::reference;
    std::cout << "Ignoring TRACKORA_ENGINE=\"" << value << "\": expected cpu, cuda, cuda-literal or reference"
              << std::endl;
    return Choice::automatic;
}

void installTable(engine::DensityBackend& backend, float sigma, int size, double aspect) {
    const engine::KernelShape shape = engine::kernelShape(sigma, size, aspect);
    backend.setKernel(engine::usableGaussKernel(shape), shape.rows, shape.cols);
}

// A CUDA failure after start-up: report it once and carry on on the CPU.
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

// The settings an engine is handed: the day classes only where it keeps
// each sample's (filtersDayClasses); elsewhere the samples were chosen
// through their source, and every class it holds is taken.
ControlSettings forTheEngine(const ControlSettings& settings) {
    ControlSettings asked = settings;
    if (!filtersDayClasses()) asked.day_classes = kAllDayClasses;
    return asked;
}

bool tableMatches(const ControlSettings& settings) {
    return state.tableSize == engine::effectiveKernelSize(settings.kernel_size) &&
           std::bit_cast<std::uint32_t>(state.tableSigma) == std::bit_cast<std::uint32_t>(settings.sigma) &&
           std::bit_cast<std::uint64_t>(state.tableAspect) == std::bit_cast<std::uint64_t>(settings.cell_aspect);
}

}  // namespace

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

void PreparedEngineDeleter::operator()(PreparedEngine* prepared) const { delete prepared; }

std::size_t indexingBytes(std::size_t samples) { return engine::FastEngine::indexingBytes(samples); }

void setCpuStandby(bool wanted) { cpuStandby = wanted; }

std::size_t hostMemoryAvailable() { return memoryAvailable(); }

PreparedEnginePtr prepare(const std::vector<Datapoint>& points, int tableSize,
                          const std::function<void(float)>& progress) {
    // The caller keeps the points until install.
    return prepare(std::make_shared<SamplesInMemory>(SamplesInMemory::view(points)), tableSize, progress);
}

const SampleTally& preparedTally(const PreparedEngine& prepared) { return prepared.tally; }

bool preparedFiltersDayClasses(const PreparedEngine& prepared) {
    if (const auto* summary = dynamic_cast<const engine::SummaryEngine*>(prepared.active.get()))
        return summary->summary().dated;
    const auto* cpu = dynamic_cast<const engine::FastEngine*>(prepared.active.get());
    return cpu && cpu->dated();
}

PreparedEnginePtr prepare(std::shared_ptr<const SampleSource> samples, [[maybe_unused]] int tableSize,
                          const std::function<void(float)>& progress) {
    PreparedEnginePtr prepared(new PreparedEngine);
    if (progress) progress(0.0f);
    const Choice choice = readChoice();
    // Said before anything is read, so what is open stays as it is.
    const std::size_t needed = indexingBytes(samples->size());
    const std::size_t available = hostMemoryAvailable();
    if (needed > available) {
        const auto gigabytes = [](std::size_t bytes) {
            char text[32];
            const double value = static_cast<double>(bytes);
            if (value < 1e9)
                std::snprintf(text, sizeof text, "%.0f MB", value / 1e6);
            else
                std::snprintf(text, sizeof text, "%.1f GB", value / 1e9);
            return std::string(text);
        };
        const std::string reason = "its " + std::to_string(samples->size()) + " samples need about " +
                                   gigabytes(needed) + " of memory to index, and " + gigabytes(available) +
                                   " are available";
        if (!samples->path().empty()) throw DataFileError(samples->path(), reason);
        throw std::runtime_error(reason);
    }
    if (choice == Choice::reference) {
        // The literal engine holds every sample: for tests and comparisons.
        const auto* inMemory = dynamic_cast<const SamplesInMemory*>(samples.get());
        auto reference = std::make_unique<engine::ReferenceEngine>(inMemory ? inMemory->points()
                                                                             : readAllSamples(*samples));
        prepared->tally.add(reference->points().data(), reference->points().size());
        prepared->counter = reference.get();
        prepared->active = std::move(reference);
        prepared->announcement = "Density engine: reference CPU (TRACKORA_ENGINE=reference)";
    } else {
        std::string whyNotCuda;
        std::unique_ptr<engine::FastEngine> cpu;
        const unsigned threads = engine::hardwareThreads();
#ifdef TRACKORA_HAVE_CUDA
        if (choice != Choice::cpu) {
            // The pre-check sizes the first table too: the literal path holds
            // all size x size weights on the device.
            const gpuplan::Path path = choice == Choice::cudaLiteral ? gpuplan::Path::literal : gpuplan::Path::counting;
            const int size = engine::effectiveKernelSize(tableSize);
            engine::CudaStart start = engine::beginCudaEngine(samples->size(), path, size, gpuBytesHeld.load());
            if (start.upload) {
                // One read of the samples feeds the upload and the CPU index,
                // under one progress bar; a cancel or a failed read stops
                // both. A CUDA failure stops the upload only.
                std::unique_ptr<engine::CudaUpload> upload = std::move(start.upload);
                const TappedSource tapped(*samples, [&](const Datapoint* chunk, std::size_t count, std::size_t first) {
                    if (!upload) return;
                    try {
                        upload->add(chunk, count, first);
                    } catch (const std::exception& error) {
                        whyNotCuda = error.what();
                        upload.reset();
                    }
                });
                if (cpuStandby) {
                    cpu = std::make_unique<engine::FastEngine>(tapped, threads, progress);
                } else {
                    tapped.forEachChunk([&](const Datapoint* chunk, std::size_t count, std::size_t first) {
                        prepared->tally.add(chunk, count);
                        if (progress) progress(static_cast<float>(first + count) / static_cast<float>(samples->size()));
                    });
                }
                if (upload) {
                    try {
                        prepared->active = upload->finish();
                        prepared->onGpu = true;
                    } catch (const std::exception& error) {
                        whyNotCuda = error.what();
                    }
                }
            } else if (start.afterRelease) {
                prepared->startAfterRelease = samples;
                prepared->path = path;
                prepared->tableSize = size;
            } else {
                whyNotCuda = start.problem;
            }
        } else {
            whyNotCuda = "TRACKORA_ENGINE=cpu";
        }
#else
        whyNotCuda = choice == Choice::cpu ? "TRACKORA_ENGINE=cpu" : "built without CUDA";
#endif
        // The CPU engine runs when the GPU does not, and stands by beside a
        // GPU engine unless the caller does without it.
        if (!cpu && (!prepared->onGpu || cpuStandby))
            cpu = std::make_unique<engine::FastEngine>(*samples, threads, progress);
        if (cpu) {
            prepared->counter = cpu.get();
            prepared->tally = cpu->tally();
        }
        if (prepared->onGpu || prepared->startAfterRelease) {
            prepared->fallback = std::move(cpu);
            prepared->announcement = prepared->onGpu ? "Density engine: " + prepared->active->name() : "";
        } else {
            prepared->active = std::move(cpu);
            prepared->announcement =
                "Density engine: " + prepared->active->name() + " (GPU not used: " + whyNotCuda + ")";
        }
    }
    if (progress) progress(1.0f);
    return prepared;
}

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

SampleTally summaryTally(const Summary& summary, const std::vector<std::int64_t>& blockSamples,
                         std::uint8_t dayClasses) {
    SampleTally tally;
    const auto steps = static_cast<std::uint32_t>(summary.stepsPerDay());
    for (std::size_t b = 0; b < summary.blockIds.size() && b < blockSamples.size(); ++b) {
        const std::uint32_t id = summary.blockIds[b];
        const auto dayClass = id / steps / kSummaryGroups;
        if (!((dayClasses >> dayClass) & 1u)) continue;
        const int group = static_cast<int>(id / steps % kSummaryGroups);
        const auto step = static_cast<std::int32_t>(id % steps);
        tally.addSpread(group == kModeCount ? -1 : group, step * summary.stepSeconds, summary.stepSeconds,
                        blockSamples[b]);
    }
    return tally;
}

PreparedEnginePtr prepare(std::shared_ptr<const Summary> summary, int) {
    PreparedEnginePtr prepared(new PreparedEngine);
    std::vector<std::int64_t>& blockSamples = prepared->summaryBlockSamples;
    blockSamples.resize(summary->blockIds.size());
    for (std::size_t b = 0; b < summary->blockIds.size(); ++b) {
        std::int64_t samples = 0;
        for (std::uint64_t e = summary->blockStart[b]; e < summary->blockStart[b + 1]; ++e)
            samples += static_cast<std::int64_t>(summary->counts[e]);
        blockSamples[b] = samples;
    }
    prepared->tally = summaryTally(*summary, blockSamples, kAllDayClasses);
    auto active = std::make_unique<engine::SummaryEngine>(std::move(summary), engine::hardwareThreads());
    prepared->counter = active.get();
    prepared->announcement = "Density engine: " + active->name();
    prepared->active = std::move(active);
    return prepared;
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

std::vector<float> sampleCounts(const ControlSettings& filters) {
    if (!state.counter) return std::vector<float>(kGridCells, 0.0f);
    return state.counter->cellCounts(forTheEngine(filters));
}

bool filtersDayClasses() {
    if (const auto* summary = dynamic_cast<const engine::SummaryEngine*>(state.active.get()))
        return summary->summary().dated;
    const auto* cpu = dynamic_cast<const engine::FastEngine*>(state.active.get());
    return cpu && cpu->dated();
}

std::optional<SampleTally> dayClassTally(std::uint8_t dayClasses) {
    if (const auto* summary = dynamic_cast<const engine::SummaryEngine*>(state.active.get())) {
        if (!summary->summary().dated) return std::nullopt;
        return summaryTally(summary->summary(), state.summaryBlockSamples, dayClasses);
    }
    const auto* cpu = dynamic_cast<const engine::FastEngine*>(state.active.get());
    if (!cpu || !cpu->dated()) return std::nullopt;
    return cpu->tally(dayClasses);
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


CellValue cellValue(int row, int col) {
    CellValue value;
    if (row < 0 || row >= kGridSide || col < 0 || col >= kGridSide || !state.computed) return value;
    if (state.readout.row == row && state.readout.col == col) return state.readout.value;
    const std::size_t index = static_cast<std::size_t>(row) * kGridSide + col;
    try {
        value.density = state.active->densityAt(index);
    } catch (const std::exception& error) {
        if (!state.onGpu || !state.fallback) throw;
        // The grid on screen came from the GPU: the CPU engine computes it
        // again before it can be read.
        failOver(error);
        state.active->compute(state.lastSettings);
        state.lastMaximum = state.active->lastMaximum();
        value.density = state.active->densityAt(index);
    }
    if (state.counter) value.samples = state.counter->samplesInCell(row, col, state.lastSettings);
    state.readout = {row, col, value};
    return value;
}

float lastMaximumDensity() {
    return state.computed ? kde::unscale_cell(1.0f, state.lastMaximum, state.lastLog) : 0.0f;
}

bool lastUsedLogScale() { return state.lastLog; }

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

engine::DensityBackend* engine::currentBackend() { return HeatmapEngine::state.active.get(); }

std::size_t engine::gpuBytesHeld() { return HeatmapEngine::gpuBytesHeld.load(); }

void engine::installWithStandby(std::unique_ptr<DensityBackend> active, std::unique_ptr<DensityBackend> standby,
                                CellCounter* counter, ControlSettings& settings) {
    auto prepared = HeatmapEngine::PreparedEnginePtr(new HeatmapEngine::PreparedEngine);
    prepared->announcement = "Density engine: " + active->name();
    prepared->active = std::move(active);
    prepared->fallback = std::move(standby);
    prepared->counter = counter;
    prepared->onGpu = true;
    HeatmapEngine::install(std::move(prepared), settings);
}
