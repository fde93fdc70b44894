// Which engine runs: TRACKORA_ENGINE's choice, the memory check before a
// load, the CUDA engine tried first and the CPU engine beside it or instead.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include "cpu/CountingEngine.h"
#include "cpu/ReferenceEngine.h"
#include "cpu/SummaryEngine.h"
#include "engine/EngineInternals.h"
#include "engine/EngineState.h"
#include "kde/Backend.h"
#include "model/LoadError.h"
#include "model/SystemMemory.h"
#ifdef TRACKORA_HAVE_CUDA
#include "cuda/CudaEngineStart.h"
#endif
#include "cuda/CudaPlan.h"

namespace HeatmapEngine::internals {

std::string cudaProblem() {
#ifdef TRACKORA_HAVE_CUDA
    return engine::cudaDeviceProblem();
#else
    return "built without CUDA";
#endif
}

}  // namespace HeatmapEngine::internals

namespace HeatmapEngine {

using namespace detail;

namespace {

enum class Choice { automatic, cpu, cuda, cudaLiteral, reference };

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

}  // namespace

std::size_t indexingBytes(std::size_t samples) { return engine::CountingEngine::indexingBytes(samples); }

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
    const auto* cpu = dynamic_cast<const engine::CountingEngine*>(prepared.active.get());
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
        std::unique_ptr<engine::CountingEngine> cpu;
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
                    cpu = std::make_unique<engine::CountingEngine>(tapped, threads, progress);
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
            cpu = std::make_unique<engine::CountingEngine>(*samples, threads, progress);
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

}  // namespace HeatmapEngine
