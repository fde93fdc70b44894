// Figures of the density engine on a deterministic synthetic city of
// 25,000,000 points: initialize time, computeHeatmap medians for four
// settings, engine memory per point, the literal reference engine and the
// numpy/scipy route for comparison. Usage: bench_engine [points] [repeats].
// TRACKORA_ENGINE picks the engine; GPU engines also print the device time
// of the kernels and, for CUDA, the engine's own start.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu/ReferenceEngine.h"
#include "engine/Backend.h"
#include "engine/HeatmapEngine.h"
#ifdef TRACKORA_HAVE_CUDA
#include "cuda/heatmap.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::size_t heapBytes() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// splitmix64: fast, deterministic and good enough for synthetic data.
struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
    double normal() {
        const double u = std::max(unit(), 1e-300);
        return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * unit());
    }
};

// A city: hotspots (centres, stations), corridors (roads and lines) and a
// thin background; modes weighted per kind of place; times with morning and
// evening commute peaks.
std::vector<Datapoint> makeCity(std::size_t count) {
    Random random{20240611};
    struct Hotspot {
        double x, y, spread;
    };
    struct Corridor {
        double x0, y0, x1, y1;
    };
    std::vector<Hotspot> hotspots;
    for (int i = 0; i < 40; ++i)
        hotspots.push_back({0.15 + 0.7 * random.unit(), 0.15 + 0.7 * random.unit(), 0.002 + 0.02 * random.unit()});
    std::vector<Corridor> corridors;
    for (int i = 0; i < 30; ++i)
        corridors.push_back({random.unit(), random.unit(), random.unit(), random.unit()});
    for (int i = 0; i < 6; ++i) {  // ring roads and the axes
        const double r = 0.08 * (i + 1);
        corridors.push_back({0.5 - r, 0.5 - r, 0.5 + r, 0.5 - r});
        corridors.push_back({0.5 - r, 0.5 + r, 0.5 + r, 0.5 + r});
    }
    std::vector<Datapoint> points;
    points.reserve(count);
    const auto pickMode = [&](bool road) {
        const double u = random.unit();
        if (road) {
            if (u < 0.35) return CAR;
            if (u < 0.55) return BUS;
            if (u < 0.65) return BIKE;
            if (u < 0.72) return MOTORCYCLE;
            if (u < 0.82) return SUBWAY;
            if (u < 0.87) return TRAIN;
            if (u < 0.95) return UNKNOWN;
            return WALK;
        }
        if (u < 0.40) return WALK;
        if (u < 0.50) return RUN;
        if (u < 0.60) return BIKE;
        if (u < 0.75) return UNKNOWN;
        if (u < 0.85) return BUS;
        if (u < 0.93) return CAR;
        if (u < 0.97) return AIRPLANE;
        return BOAT;
    };
    const auto pickTime = [&] {
        const double u = random.unit();
        double hours;
        if (u < 0.25)
            hours = 8.0 + 0.7 * random.normal();
        else if (u < 0.5)
            hours = 18.0 + 0.8 * random.normal();
        else
            hours = 6.0 + 17.0 * random.unit();
        const int seconds = static_cast<int>(hours * 3600.0);
        return std::clamp(seconds, 0, 86399);
    };
    for (std::size_t i = 0; i < count; ++i) {
        const double kind = random.unit();
        double x, y;
        bool road = false;
        if (kind < 0.35) {
            const Hotspot& h = hotspots[random.next() % hotspots.size()];
            x = h.x + h.spread * random.normal();
            y = h.y + h.spread * random.normal();
        } else if (kind < 0.85) {
            const Corridor& c = corridors[random.next() % corridors.size()];
            const double t = random.unit();
            x = c.x0 + t * (c.x1 - c.x0) + 0.0006 * random.normal();
            y = c.y0 + t * (c.y1 - c.y0) + 0.0006 * random.normal();
            road = true;
        } else {
            x = random.unit();
            y = random.unit();
        }
        points.emplace_back(static_cast<float>(std::clamp(x, 0.0, 0.9999)), static_cast<float>(std::clamp(y, 0.0, 0.9999)),
                            pickMode(road), pickTime());
    }
    return points;
}

struct Scenario {
    const char* label;
    int size;
    float sigma;
    std::int32_t mask;
    std::int32_t minTime;
    std::int32_t maxTime;
    double targetMs;
};

}  // namespace

int main(int argc, char** argv) {
    std::size_t count = 25000000;
    int repeats = 15;
    try {
        if (argc > 3) throw std::invalid_argument("too many arguments");
        if (argc > 1) count = std::stoull(argv[1]);
        if (argc > 2) repeats = std::stoi(argv[2]);
        if (count == 0 || repeats < 1) throw std::invalid_argument("counts must be positive");
    } catch (const std::exception&) {
        std::cerr << "usage: bench_engine [POINTS (default 25000000)] [REPEATS (default 15)]\n";
        return 2;
    }

    std::printf("Generating %zu synthetic city points...\n", count);
    auto start = Clock::now();
    const std::vector<Datapoint> points = makeCity(count);
    std::printf("  generated in %.0f ms\n", millisecondsSince(start));

    ControlSettings settings;
    settings.mode_mask = kAllModes;
    const std::size_t heapBefore = heapBytes();
    std::vector<Datapoint> copy = points;  // the viewer hands initialize a copy
    start = Clock::now();
    HeatmapEngine::initialize(std::move(copy), settings);
    const double initializeMs = millisecondsSince(start);
    std::printf("Engine: %s\n", HeatmapEngine::engineName().c_str());

    const Scenario scenarios[] = {
        {"(a) all modes, full day, size 5, sigma 1, log", 5, 1.0f, kAllModes, 0, 86400, 30},
        {"(b) all modes, 07:00-09:00, size 5, sigma 1, log", 5, 1.0f, kAllModes, 25200, 32400, 60},
        {"(c) walk+bus+car, full day, size 21, sigma 3, log", 21, 3.0f, WALK | BUS | CAR, 0, 86400, 60},
        {"(d) all modes, full day, size 101, sigma 10, log", 101, 10.0f, kAllModes, 0, 86400, 250},
    };
    engine::DensityBackend* backend = engine::currentBackend();
    std::vector<double> changedMedians;
    std::printf("\ncomputeHeatmap, median of %d runs each (ms)      first  filter-changed  same-filter  target\n",
                repeats);
    for (const Scenario& scenario : scenarios) {
        settings.kernel_size = scenario.size;
        settings.sigma = scenario.sigma;
        settings.mode_mask = scenario.mask;
        settings.min_time = scenario.minTime;
        settings.max_time = scenario.maxTime;
        settings.use_log_scale = true;
        HeatmapEngine::rebuildKernel(settings);
        start = Clock::now();
        HeatmapEngine::computeHeatmap(settings);
        const double first = millisecondsSince(start);
        std::vector<double> changed, same, device;
        for (int run = 0; run < repeats; ++run) {
            backend->forgetLastCounts();
            start = Clock::now();
            HeatmapEngine::computeHeatmap(settings);
            changed.push_back(millisecondsSince(start));
            device.push_back(backend->lastDeviceMs());
        }
        for (int run = 0; run < repeats; ++run) {
            start = Clock::now();
            HeatmapEngine::computeHeatmap(settings);
            same.push_back(millisecondsSince(start));
        }
        changedMedians.push_back(median(changed));
        std::printf("  %-52s %7.1f %10.1f %12.1f   <= %4.0f  %s\n", scenario.label, first, median(changed),
                    median(same), scenario.targetMs, median(changed) <= scenario.targetMs ? "met" : "MISSED");
        // GPU engines: the kernels alone, without the grid's copy back.
        if (median(device) >= 0)
            std::printf("  %-52s %7s %10.2f   (device compute, before the copy back)\n", "", "", median(device));
    }
    const std::size_t heapAfter = heapBytes();
    const double bytesPerPoint = static_cast<double>(heapAfter - heapBefore) / static_cast<double>(count);
    std::printf("\ninitialize: %.0f ms (target <= 2000: %s)\n", initializeMs, initializeMs <= 2000 ? "met" : "MISSED");
    std::printf("engine memory beyond the dataset: %.2f bytes/point, caches included (%.1f MiB; target <= 12: %s)\n",
                bytesPerPoint, static_cast<double>(heapAfter - heapBefore) / (1 << 20),
                bytesPerPoint <= 12 ? "met" : "MISSED");
    HeatmapEngine::release();
#ifdef TRACKORA_HAVE_CUDA
    // The CUDA engine's own start (upload and placement of the points),
    // without the CPU engine initialize also builds as its fallback.
    if (engine::cudaProblem().empty()) {
        start = Clock::now();
        engine::CudaStart cudaStart = engine::startCudaEngine(points, gpuplan::Path::fast, 5);
        const double cudaStartMs = millisecondsSince(start);
        if (cudaStart.backend)
            std::printf("CUDA engine start, upload included, context already up: %.0f ms (target <= 300: %s)\n",
                        cudaStartMs,
                        cudaStartMs <= 300 ? "met" : "MISSED");
    }
#endif

    // The literal reference engine on every 25th point, scaled per point.
    const std::size_t step = std::max<std::size_t>(1, count / 1000000);
    std::vector<Datapoint> subset;
    for (std::size_t i = 0; i < count; i += step) subset.push_back(points[i]);
    engine::ReferenceEngine reference(subset);
    reference.setKernel(HeatmapEngine::makeGaussKernel(1.0f, 5), 5);
    ControlSettings scenarioA;
    scenarioA.mode_mask = kAllModes;
    std::vector<double> referenceTimes;
    for (int run = 0; run < 3; ++run) {
        start = Clock::now();
        reference.compute(scenarioA);
        referenceTimes.push_back(millisecondsSince(start));
    }
    const double referenceMs = median(referenceTimes) * static_cast<double>(count) / static_cast<double>(subset.size());
    std::printf("\nreference engine, (a) on %zu points: %.0f ms, scaled to %zu points: %.0f ms; fast/ref speed-up %.0fx "
                "(target >= 50: %s)\n",
                subset.size(), median(referenceTimes), count, referenceMs, referenceMs / changedMedians[0],
                referenceMs / changedMedians[0] >= 50 ? "met" : "MISSED");

    // numpy histogram2d + scipy gaussian_filter on the same points.
    // TRACKORA_BENCH_POINTS=FILE keeps the points there, for other tools.
    const char* keepPath = std::getenv("TRACKORA_BENCH_POINTS");
    const bool keep = keepPath && *keepPath;
    const auto dataPath =
        keep ? std::filesystem::path(keepPath) : std::filesystem::temp_directory_path() / "trackora-bench-points.bin";
    {
        std::ofstream out(dataPath, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(points.data()), static_cast<std::streamsize>(points.size() * sizeof(Datapoint)));
    }
    const std::string command = std::string("/usr/bin/python3 ") + TRACKORA_NUMPY_SCRIPT + " " + dataPath.string() +
                                " 1 5 3 2>&1";
    double numpyMs = -1;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, pipe)) {
            if (std::sscanf(line, "numpy_ms %lf", &numpyMs) != 1) std::printf("  python: %s", line);
        }
        pclose(pipe);
    }
    if (!keep) std::filesystem::remove(dataPath);
    if (numpyMs > 0)
        std::printf("numpy histogram2d + scipy gaussian_filter, (a): %.0f ms; speed-up %.0fx (target >= 50: %s)\n",
                    numpyMs, numpyMs / changedMedians[0], numpyMs / changedMedians[0] >= 50 ? "met" : "MISSED");
    else
        std::printf("numpy/scipy comparison skipped (needs /usr/bin/python3 with numpy and scipy)\n");
    return 0;
}
