// trackora-heatmap: computes the viewer's density grid from a sample file
// without a window, for batch export and for checking results.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>

#include "app/FrameWork.h"
#include "app/GridExport.h"
#include "engine/HeatmapEngine.h"
#include "engine/KdeLogic.h"
#include "model/LoadError.h"
#include "model/OutputFile.h"
#include "model/RuntimeFiles.h"
#include "model/TrajectoryLoader.h"
#include "tools/heatmap/HeatmapOptions.h"
#include "tools/heatmap/HeatmapScript.h"

#include <stb_image.h>
#include <stb_image_write.h>

namespace {

static_assert(std::endian::native == std::endian::little, "--grid writes the host's floats as little-endian");

bool writeGrid(OutputFile& out, const std::vector<float>& grid) {
    try {
        out.write(grid.data(), grid.size() * sizeof(float));
        out.commit();
    } catch (const OutputError& error) {
        std::cerr << "trackora-heatmap: " << error.what() << "\n";
        return false;
    }
    return true;
}

bool writeGeoTiff(OutputFile& out, const std::vector<float>& grid, const ControlSettings& settings,
                  double densest) {
    try {
        writeDensityGeoTiff(out, grid, settings, densest);
    } catch (const std::exception& error) {
        std::cerr << "trackora-heatmap: " << error.what() << "\n";
        return false;
    }
    return true;
}

bool writePng(const HeatmapOptions& options, OutputFile& out, const std::vector<float>& grid) {
    int width = 0, height = 0, channels = 0;
    const std::string lutPath = runtimeFile(options.lutPath);
    unsigned char* lut = stbi_load(lutPath.c_str(), &width, &height, &channels, 3);
    if (!lut) {
        std::cerr << "trackora-heatmap: cannot read colour table \"" << lutPath << "\": "
                  << stbi_failure_reason() << "\n";
        return false;
    }
    // The table runs from density 0 in its top row to 1 in its bottom row.
    std::vector<unsigned char> image(static_cast<std::size_t>(kGridCells) * 3);
    for (int row = 0; row < kGridSide; ++row) {
        for (int col = 0; col < kGridSide; ++col) {
            const float v = std::clamp(grid[static_cast<std::size_t>(row) * kGridSide + col], 0.0f, 1.0f);
            const int lutRow = static_cast<int>(v * static_cast<float>(height - 1) + 0.5f);
            const unsigned char* colour = lut + (static_cast<std::size_t>(lutRow) * width + width / 2) * 3;
            // Grid row 0 is the south edge; the image's first row is north.
            unsigned char* pixel = image.data() + (static_cast<std::size_t>(kGridSide - 1 - row) * kGridSide + col) * 3;
            std::copy(colour, colour + 3, pixel);
        }
    }
    stbi_image_free(lut);
    // Encoded in memory first, so the file is only replaced by a whole image.
    std::vector<unsigned char> png;
    const auto append = [](void* context, void* data, int size) {
        auto* bytes = static_cast<unsigned char*>(data);
        static_cast<std::vector<unsigned char>*>(context)->insert(
            static_cast<std::vector<unsigned char>*>(context)->end(), bytes, bytes + size);
    };
    if (!stbi_write_png_to_func(append, &png, kGridSide, kGridSide, 3, image.data(), kGridSide * 3)) {
        std::cerr << "trackora-heatmap: cannot write \"" << options.pngPath << "\": PNG encoding failed\n";
        return false;
    }
    try {
        out.write(png.data(), png.size());
        out.commit();
    } catch (const OutputError& error) {
        std::cerr << "trackora-heatmap: " << error.what() << "\n";
        return false;
    }
    return true;
}

// The files one set of options asks for, opened (checked, with their
// temporary files made) before the long work, so a bad path fails at once.
struct Outputs {
    std::optional<OutputFile> grid;
    std::optional<OutputFile> png;
    std::optional<OutputFile> geotiff;
};

// False, having said why, when an output cannot be written or is the input.
bool openOutputs(const HeatmapOptions& options, const std::string& input, Outputs& outputs) {
    try {
        if (!options.gridPath.empty()) outputs.grid.emplace(options.gridPath).refuseSameFile(input);
        if (!options.pngPath.empty()) outputs.png.emplace(options.pngPath).refuseSameFile(input);
        if (!options.geotiffPath.empty()) outputs.geotiff.emplace(options.geotiffPath).refuseSameFile(input);
    } catch (const OutputError& error) {
        std::cerr << "trackora-heatmap: " << error.what() << "\n";
        return false;
    }
    return true;
}

// Every output asked for; all are attempted even when one fails. densest is
// the unnormalised maximum of the compute that gave `grid`.
bool writeOutputs(const HeatmapOptions& options, Outputs& outputs, const std::vector<float>& grid, double densest) {
    bool ok = true;
    if (outputs.grid) ok = writeGrid(*outputs.grid, grid) && ok;
    if (outputs.png) ok = writePng(options, *outputs.png, grid) && ok;
    if (outputs.geotiff) ok = writeGeoTiff(*outputs.geotiff, grid, options.settings, densest) && ok;
    return ok;
}

// The lines in order through the viewer's frame work, timing its table
// rebuild and compute (the outputs are written outside the timing).
bool runScript(const std::vector<ScriptLine>& lines, std::vector<Outputs>& outputs, ControlSettings& settings) {
    double elapsed = 0;
    std::vector<float> grid(kGridCells, 0.0f);
    const DensitySteps steps =
        timedEngineSteps(elapsed, [&grid](const std::vector<float>& heatmap) { grid = heatmap; });
    std::vector<double> times;
    bool ok = true;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const ScriptLine& line = lines[i];
        adoptSettings(settings, line.options.settings);
        if (times.empty()) settings.time_changed = true;  // the first line always computes
        elapsed = 0;
        refreshDensity(settings, steps, kGridCells);
        times.push_back(elapsed);
        std::printf("line %d: %.2f ms\n", line.number, elapsed);
        ok = writeOutputs(line.options, outputs[i], grid, HeatmapEngine::lastMaximumDensity()) && ok;
    }
    const TimeSummary summary = summarizeTimes(times);
    std::printf("%zu lines: median %.2f ms, p99 %.2f ms, maximum %.2f ms\n", times.size(), summary.median, summary.p99,
                summary.maximum);
    std::fflush(stdout);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    HeatmapOptions options;
    try {
        options = parseHeatmapOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        std::cerr << "trackora-heatmap: " << error.what() << "\n" << kHeatmapUsage;
        return 2;
    }
    if (options.help) {
        std::cout << kHeatmapUsage;
        return 0;
    }
    if (!options.engine.empty()) setenv("TRACKORA_ENGINE", options.engine.c_str(), 1);
    // The whole script is checked before the samples are loaded.
    std::vector<ScriptLine> script;
    if (!options.scriptPath.empty()) {
        try {
            script = readScript(options.scriptPath);
        } catch (const UsageError& error) {
            std::cerr << "trackora-heatmap: " << error.what() << "\n";
            return 2;
        }
    }

    // Every output, the script lines' included, is checked before the long
    // work; none may be the input.
    removeTemporaryFilesOnSignals();
    Outputs outputs;
    std::vector<Outputs> lineOutputs(script.size());
    if (!openOutputs(options, options.input, outputs)) return 1;
    for (std::size_t i = 0; i < script.size(); ++i)
        if (!openOutputs(script[i].options, options.input, lineOutputs[i])) return 1;

    std::vector<Datapoint> points;
    try {
        points = TrajectoryLoader().load(options.input, !options.textNormalized);
    } catch (const std::exception& error) {
        std::cerr << "trackora-heatmap: " << loadFailureMessage(options.input, error) << "\n";
        return 1;
    }
    if (!script.empty()) {
        std::cout << points.size() << " points read from \"" << options.input << "\"" << std::endl;
        try {
            HeatmapEngine::initialize(std::move(points), options.settings);
            const bool ok = runScript(script, lineOutputs, options.settings);
            HeatmapEngine::release();
            return ok ? 0 : 1;
        } catch (const std::exception& error) {
            std::cerr << "trackora-heatmap: " << error.what() << "\n";
            return 1;
        }
    }
    std::size_t used = 0;
    const ControlSettings& s = options.settings;
    for (const Datapoint& point : points)
        used += kde::point_passes(point, s.mode_mask, s.min_time, s.max_time) && kde::cell_function(point).valid;
    std::cout << points.size() << " points read from \"" << options.input << "\", " << used
              << " pass the mode and time filters" << std::endl;

    try {
        HeatmapEngine::initialize(std::move(points), options.settings);
        std::vector<double> times;
        std::vector<float> grid;
        for (int run = 0; run < options.repeat; ++run) {
            const auto start = std::chrono::steady_clock::now();
            grid = HeatmapEngine::computeHeatmap(options.settings);
            times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
        std::sort(times.begin(), times.end());
        const double median = times.size() % 2 ? times[times.size() / 2]
                                                : (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2;
        if (options.repeat == 1)
            std::printf("compute: %.2f ms\n", median);
        else
            std::printf("compute: median %.2f ms of %d runs\n", median, options.repeat);
        std::fflush(stdout);
        const double densest = HeatmapEngine::lastMaximumDensity();
        HeatmapEngine::release();
        return writeOutputs(options, outputs, grid, densest) ? 0 : 1;
    } catch (const std::exception& error) {
        std::cerr << "trackora-heatmap: " << error.what() << "\n";
        return 1;
    }
}
