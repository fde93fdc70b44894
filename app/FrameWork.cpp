#include "app/FrameWork.h"

#include <chrono>
#include <iostream>

#include "engine/HeatmapEngine.h"

bool refreshDensity(ControlSettings& settings, const DensitySteps& steps, std::size_t gridCells) {
    // The table first: size and sigma changes also ask for a new grid below.
    if (settings.kernelChanged()) steps.rebuildKernel(settings);
    if (!settings.needsRecompute()) return false;

    std::vector<float> heatmap = steps.computeHeatmap(settings);
    settings.applied_mode_mask = settings.mode_mask;
    settings.applied_day_classes = settings.day_classes;
    settings.time_changed = false;
    settings.log_scale_changed = false;
    settings.sigma_changed = false;
    settings.kernel_size_changed = false;
    if (heatmap.size() == gridCells)
        steps.upload(heatmap);
    else
        std::cout << "Density grid has " << heatmap.size() << " cells instead of " << gridCells
                  << ": the map keeps the previous heat" << std::endl;
    return true;
}

DensitySteps timedEngineSteps(double& elapsedMs, std::function<void(const std::vector<float>&)> upload) {
    using Clock = std::chrono::steady_clock;
    const auto addTime = [&elapsedMs](Clock::time_point start) {
        elapsedMs += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };
    return DensitySteps{[addTime](ControlSettings& s) {
                            const auto start = Clock::now();
                            HeatmapEngine::rebuildKernel(s);
                            addTime(start);
                        },
                        [addTime](ControlSettings& s) {
                            const auto start = Clock::now();
                            std::vector<float> grid = HeatmapEngine::computeHeatmap(s);
                            addTime(start);
                            return grid;
                        },
                        std::move(upload)};
}
