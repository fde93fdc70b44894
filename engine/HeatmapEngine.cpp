#include "engine/HeatmapEngine.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "cpu/FastEngine.h"
#include "cpu/ReferenceEngine.h"
#include "engine/Backend.h"
#include "engine/KdeLogic.h"
#ifdef TRACKORA_HAVE_CUDA
#include "cuda/heatmap.h"
#endif
#include "cuda/CudaPlan.h"

namespace engine {

unsigned hardwareThreads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

int effectiveKernelSize(int size) { return oddKernelSize(size, kde::kMaxKernelSize); }

std::vector<float> usableGaussKernel(float sigma, int size) {
    std::vector<float> table = HeatmapEngine::makeGaussKernel(sigma, size);
    bool finite = true;
    bool positive = false;
    for (float w : table) {
        finite = finite && std::isfinite(w);
        positive = positive || w > 0.0f;
    }
    if (finite && positive) return table;
    // The recipe has no usable weights at the extremes of sigma: a vanishing
    // one overflows the normalising factor, a huge one underflows every
    // weight. Use the limits: all weight on the centre, or a flat table.
    // A NaN sigma gets the centre alone.
    const std::size_t cells = static_cast<std::size_t>(size) * static_cast<std::size_t>(size);
    if (std::fabs(sigma) > 1.0f) {
        std::fill(table.begin(), table.end(), 1.0f / static_cast<float>(cells));
    } else {
        std::fill(table.begin(), table.end(), 0.0f);
        table[cells / 2] = 1.0f;
    }
    return table;
}

std::vector<float> tableFactor(const std::vector<float>& table, int size) {
    // The table is w(i) w(j) / s with s its float sum, so its row sums r(i)
    // satisfy r(i) r(j) = table(i, j) * total, total being the table's exact
    // sum. Dividing the row sums by sqrt(total) gives a factor whose outer
    // product is the table up to a few roundings per entry.
    const std::size_t side = static_cast<std::size_t>(size);
    std::vector<double> rowSums(side, 0.0);
    double total = 0.0;
    for (std::size_t i = 0; i < side; ++i) {
        for (std::size_t j = 0; j < side; ++j) rowSums[i] += table[i * side + j];
        total += rowSums[i];
    }
    const double scale = total > 0.0 ? 1.0 / std::sqrt(total) : 0.0;
    std::vector<float> factor(side, 0.0f);
    for (std::size_t i = 0; i < side; ++i) factor[i] = static_cast<float>(rowSums[i] * scale);
    return factor;
}

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
};

EngineState state;

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

void installTable(engine::DensityBackend& backend, float sigma, int size) {
    backend.setKernel(engine::usableGaussKernel(sigma, size), size);
}

// A CUDA failure after start-up: report it once and carry on on the CPU.
void failOver(const std::exception& error) {
    std::cout << "CUDA engine failed (" << error.what() << "); continuing on "
              << state.fallback->name() << std::endl;
    state.active = std::move(state.fallback);
    state.onGpu = false;
    installTable(*state.active, state.tableSigma, state.tableSize);
}

void setTable(float sigma, int size) {
    state.tableSize = size;
    state.tableSigma = sigma;
    try {
        installTable(*state.active, sigma, size);
    } catch (const std::exception& error) {
        if (!state.onGpu) throw;
        failOver(error);
    }
}

bool tableMatches(const ControlSettings& settings) {
    return state.tableSize == engine::effectiveKernelSize(settings.kernel_size) &&
           std::bit_cast<std::uint32_t>(state.tableSigma) == std::bit_cast<std::uint32_t>(settings.sigma);
}

}  // namespace

struct PreparedEngine {
    std::unique_ptr<engine::DensityBackend> active;
    std::unique_ptr<engine::DensityBackend> fallback;
    engine::CellCounter* counter = nullptr;
    bool onGpu = false;
    std::string announcement;
};

void PreparedEngineDeleter::operator()(PreparedEngine* prepared) const { delete prepared; }

PreparedEnginePtr prepare(const std::vector<Datapoint>& points, [[maybe_unused]] int tableSize,
                          const std::function<void(float)>& progress) {
    PreparedEnginePtr prepared(new PreparedEngine);
    if (progress) progress(0.0f);
    const Choice choice = readChoice();
    if (choice == Choice::reference) {
        auto reference = std::make_unique<engine::ReferenceEngine>(points);
        prepared->counter = reference.get();
        prepared->active = std::move(reference);
        prepared->announcement = "Density engine: reference CPU (TRACKORA_ENGINE=reference)";
    } else {
        std::string whyNotCuda;
#ifdef TRACKORA_HAVE_CUDA
        if (choice != Choice::cpu) {
            // The pre-check sizes the first table too: the literal path holds
            // all size x size weights on the device.
            const gpuplan::Path path = choice == Choice::cudaLiteral ? gpuplan::Path::literal : gpuplan::Path::fast;
            engine::CudaStart start =
                engine::startCudaEngine(points, path, engine::effectiveKernelSize(tableSize));
            if (start.backend) {
                prepared->active = std::move(start.backend);
                prepared->onGpu = true;
            } else {
                whyNotCuda = start.problem;
            }
        } else {
            whyNotCuda = "TRACKORA_ENGINE=cpu";
        }
#else
        whyNotCuda = choice == Choice::cpu ? "TRACKORA_ENGINE=cpu" : "built without CUDA";
#endif
        auto cpu = std::make_unique<engine::FastEngine>(points, engine::hardwareThreads(), progress);
        prepared->counter = cpu.get();
        if (prepared->onGpu) {
            prepared->fallback = std::move(cpu);
            prepared->announcement = "Density engine: " + prepared->active->name();
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
    state.active = std::move(prepared->active);
    state.fallback = std::move(prepared->fallback);
    state.counter = prepared->counter;
    state.onGpu = prepared->onGpu;
    std::cout << prepared->announcement << std::endl;
    rebuildKernel(settings);
}

void initialize(std::vector<Datapoint> points, ControlSettings& settings) {
    install(prepare(points, settings.kernel_size), settings);
}

void rebuildKernel(ControlSettings& settings) {
    if (!state.active) return;
    setTable(settings.sigma, engine::effectiveKernelSize(settings.kernel_size));
}

std::vector<float> computeHeatmap(ControlSettings& settings) {
    if (!state.active) return std::vector<float>(kGridCells, 0.0f);
    // The table must match the size the stamp reads; rebuild it when a caller
    // changed size or sigma without asking for it.
    if (!tableMatches(settings)) rebuildKernel(settings);
    std::vector<float> grid;
    try {
        grid = state.active->compute(settings);
    } catch (const std::exception& error) {
        if (!state.onGpu) throw;
        failOver(error);
        grid = state.active->compute(settings);
    }
    state.computed = true;
    state.readout = {};
    state.lastSettings = settings;
    state.lastMaximum = state.active->lastMaximum();
    state.lastLog = kde::log_enabled(settings.use_log_scale, settings.mode_mask);
    return grid;
}


CellValue cellValue(int row, int col) {
    CellValue value;
    if (row < 0 || row >= kGridSide || col < 0 || col >= kGridSide || !state.computed) return value;
    if (state.readout.row == row && state.readout.col == col) return state.readout.value;
    value.density = state.active->densityAt(static_cast<std::size_t>(row) * kGridSide + col);
    if (state.counter) value.samples = state.counter->samplesInCell(row, col, state.lastSettings);
    state.readout = {row, col, value};
    return value;
}

float lastMaximumDensity() {
    return state.computed ? kde::unscale_function(1.0f, state.lastMaximum, state.lastLog) : 0.0f;
}

bool lastUsedLogScale() { return state.lastLog; }

void release() {
    state.active.reset();
    state.fallback.reset();
    state.counter = nullptr;
    state.onGpu = false;
    state.tableSize = 0;
    state.computed = false;
    state.readout = {};
    state.lastMaximum = 0.0f;
}

std::vector<float> makeGaussKernel(float sigma, int size) {
    if (size < 1 || size % 2 != 1)
        throw std::invalid_argument("Gaussian table size must be odd and at least 1, not " +
                                    std::to_string(size));
    const int half = size / 2;
    const std::size_t side = static_cast<std::size_t>(size);
    std::vector<float> table(side * side, 0.0f);
    float sum = 0.0f;
    const double sigmaSquared = static_cast<double>(sigma) * static_cast<double>(sigma);
    const float norm = static_cast<float>(1.0 / (6.2831854820251465 * sigmaSquared));
    for (int i = -half; i <= half; ++i) {
        for (int j = -half; j <= half; ++j) {
            const double distance = static_cast<double>(j) * j + static_cast<double>(i) * i;
            const float w = static_cast<float>(std::exp(-distance / (2.0 * sigmaSquared)) * norm);
            table[static_cast<std::size_t>(i + half) * side + static_cast<std::size_t>(j + half)] = w;
            sum += w;
        }
    }
    for (float& w : table) w = w / sum;
    return table;
}

std::string engineName() { return state.active ? state.active->name() : "none"; }

}  // namespace HeatmapEngine

engine::DensityBackend* engine::currentBackend() { return HeatmapEngine::state.active.get(); }
