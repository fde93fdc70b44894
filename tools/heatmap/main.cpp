// trackora-heatmap: computes the viewer's density grid from a sample file
// without a window, for batch export and for checking results.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <optional>
#include <utility>

#include <unistd.h>

#include "app/DayPlayback.h"
#include "app/ReadoutText.h"
#include "app/Compare.h"
#include "app/DayVideo.h"
#include "app/FrameWork.h"
#include "app/GridExport.h"
#include "app/GridValues.h"
#include "app/MapPicture.h"
#include "gis/Gis.h"
#include "engine/HeatmapEngine.h"
#include "kde/KdeLogic.h"
#include "model/GeoFrame.h"
#include "model/LoadError.h"
#include "model/OutputFile.h"
#include "model/RuntimeFiles.h"
#include "model/SampleDays.h"
#include "model/SampleSource.h"
#include "model/Summary.h"
#include "model/TrajectoryLoader.h"
#include "tools/heatmap/HeatmapOptions.h"
#include "tools/heatmap/HeatmapScript.h"

#include <stb_image.h>
#include <stb_image_write.h>

namespace {

static_assert(std::endian::native == std::endian::little, "--grid writes the host's floats as little-endian");

// Each writer below, on failure, says why and drops its output at once: the
// temporary file goes then, not at the end of the run, so the space it held
// on a full disk is there for the outputs written after it.
bool writeGrid(std::optional<OutputFile>& out, const std::vector<float>& grid) {
    try {
        out->write(grid.data(), grid.size() * sizeof(float));
        out->commit();
    } catch (const OutputError& error) {
        std::cerr << "trackora-heatmap: " << error.what() << "\n";
        out.reset();
        return false;
    }
    return true;
}

bool writeGeoTiff(std::optional<OutputFile>& out, const std::vector<float>& cells, const ControlSettings& settings,
                  double densest, GridValues values, const GeoFrame& frame, const std::string& clock,
                  const DayCount& days = {}) {
    try {
        writeDensityGeoTiff(*out, cells, settings, densest, values, frame, clock, days);
    } catch (const std::exception& error) {
        std::cerr << "trackora-heatmap: " << error.what() << "\n";
        out.reset();
        return false;
    }
    return true;
}

// The colour tables for --png, by --lut as given, read in main before any
// work: a missing table must not cost a load and a compute, nor leave the
// other outputs written alone.
std::map<std::string, ColourTable> colourTables;
// The text face of --decorate and --animate, read before any work when one
// asks for it.
std::optional<TextFace> textFace;

// False, having said why, when a set of options draws text and the font
// cannot be read.
bool readTextFace(const std::vector<std::pair<std::string, const HeatmapOptions*>>& sets) {
    const bool needed = std::any_of(sets.begin(), sets.end(), [](const auto& set) {
        return set.second->decorate || !set.second->animatePath.empty();
    });
    if (!needed || textFace) return true;
    try {
        textFace.emplace(kFontPath);
    } catch (const std::runtime_error& error) {
        std::cerr << "trackora-heatmap: " << error.what() << " (on Debian: apt-get install fonts-dejavu-core)\n";
        return false;
    }
    return true;
}

// Reads the table of every set of options that writes a PNG, once per
// file. False, having said why, when one cannot be read.
bool readColourTables(const std::vector<std::pair<std::string, const HeatmapOptions*>>& sets) {
    for (const auto& [where, options] : sets) {
        if ((options->pngPath.empty() && options->animatePath.empty()) || colourTables.count(options->lutPath))
            continue;
        int width = 0, height = 0, channels = 0;
        const std::string lutPath = runtimeFile(options->lutPath);
        unsigned char* lut = stbi_load(lutPath.c_str(), &width, &height, &channels, 3);
        if (!lut) {
            // "line 3 " names a script line.
            const std::string place = where.empty() ? "" : where.substr(0, where.size() - 1) + ": ";
            std::cerr << "trackora-heatmap: " << place << "cannot read colour table \"" << echoPath(lutPath)
                      << "\": " << stbi_failure_reason() << "\n";
            return false;
        }
        ColourTable& table = colourTables[options->lutPath];
        table.width = width;
        table.height = height;
        table.rgb.assign(lut, lut + static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
        stbi_image_free(lut);
    }
    return true;
}

// The picture, its world file and its coordinate system: all written before
// any is committed, the sidecars first, so a failed write replaces nothing;
// on a failure all three temporary files go at once.
// The picture of a grid in the frame's shape: each pixel coloured by
// colour(value, rgb) from the cell under its centre.
template <typename Colour>
std::vector<unsigned char> pictureOf(const std::vector<float>& grid, const PictureShape& shape, Colour colour) {
    std::vector<unsigned char> image(static_cast<std::size_t>(shape.width) * shape.height * 3);
    for (int y = 0; y < shape.height; ++y) {
        // The image's first row is north; grid row 0 is the south edge.
        const int row = std::min(kGridSide - 1, static_cast<int>((shape.height - 1 - y + 0.5) * kGridSide / shape.height));
        for (int x = 0; x < shape.width; ++x) {
            const int col = std::min(kGridSide - 1, static_cast<int>((x + 0.5) * kGridSide / shape.width));
            colour(grid[static_cast<std::size_t>(row) * kGridSide + col],
                   image.data() + (static_cast<std::size_t>(y) * shape.width + x) * 3);
        }
    }
    return image;
}

bool commitPng(const HeatmapOptions& options, std::optional<OutputFile>& out, std::optional<OutputFile>& world,
               std::optional<OutputFile>& aux, const std::vector<unsigned char>& image, const PictureShape& shape,
               const GeoFrame& frame);

bool writePng(const HeatmapOptions& options, std::optional<OutputFile>& out, std::optional<OutputFile>& world,
              std::optional<OutputFile>& aux, const std::vector<float>& grid, double densest, bool logScale,
              const GeoFrame& frame) {
    const ColourTable& table = colourTables.at(options.lutPath);
    const int width = table.width, height = table.height;
    const unsigned char* lut = table.rgb.data();
    const PictureShape shape = pictureShape(frame, options.pngSize);
    // The table runs from density 0 in its top row to 1 in its bottom row.
    std::vector<unsigned char> image = pictureOf(grid, shape, [&](float level, unsigned char* rgb) {
        const float v = std::clamp(level, 0.0f, 1.0f);
        const int lutRow = static_cast<int>(v * static_cast<float>(height - 1) + 0.5f);
        const unsigned char* colour = lut + (static_cast<std::size_t>(lutRow) * width + width / 2) * 3;
        std::copy(colour, colour + 3, rgb);
    });
    if (options.decorate) {
        // Over the picture, never around it: the world file still places
        // every pixel. The legend at the top right, clear of the graticule's
        // labels along the left and bottom edges.
        RgbPicture picture;
        picture.width = shape.width;
        picture.height = shape.height;
        picture.rgb = std::move(image);
        drawGuides(picture, *textFace, frame);
        const analysis::Legend legend =
            analysis::legendFor(densest, logScale, analysis::densestRow(grid), analysis::ScaleLock{}, frame);
        drawLegend(picture, *textFace, legend, table,
                   static_cast<float>(picture.width) - legendWidth(*textFace, legend) - 10.0f, 10.0f);
        image = std::move(picture.rgb);
    }
    return commitPng(options, out, world, aux, image, shape, frame);
}

// A difference on a diverging scale symmetric about zero: white at zero,
// deepening to pure blue at -largest and pure red at +largest, where
// largest is the largest difference either way.
bool writeDifferencePng(const HeatmapOptions& options, std::optional<OutputFile>& out,
                        std::optional<OutputFile>& world, std::optional<OutputFile>& aux,
                        const compare::Difference& difference, const GeoFrame& frame) {
    const PictureShape shape = pictureShape(frame, options.pngSize);
    const std::vector<unsigned char> image = pictureOf(compare::divergingLevels(difference), shape,
                                                       [&](float t, unsigned char* rgb) {
        const auto fade = static_cast<unsigned char>(std::lround(255.0f * (1.0f - std::fabs(t))));
        rgb[0] = t < 0.0f ? fade : 255;
        rgb[1] = fade;
        rgb[2] = t > 0.0f ? fade : 255;
    });
    return commitPng(options, out, world, aux, image, shape, frame);
}

bool commitPng(const HeatmapOptions& options, std::optional<OutputFile>& out, std::optional<OutputFile>& world,
               std::optional<OutputFile>& aux, const std::vector<unsigned char>& image, const PictureShape& shape,
               const GeoFrame& frame) {
    // Encoded in memory first, so the file is only replaced by a whole image.
    std::vector<unsigned char> png;
    const auto append = [](void* context, void* data, int size) {
        auto* bytes = static_cast<unsigned char*>(data);
        static_cast<std::vector<unsigned char>*>(context)->insert(
            static_cast<std::vector<unsigned char>*>(context)->end(), bytes, bytes + size);
    };
    if (!stbi_write_png_to_func(append, &png, shape.width, shape.height, 3, const_cast<unsigned char*>(image.data()),
                                shape.width * 3)) {
        std::cerr << "trackora-heatmap: cannot write \"" << echoPath(options.pngPath) << "\": PNG encoding failed\n";
        out.reset();
        world.reset();
        aux.reset();
        return false;
    }
    try {
        out->write(png.data(), png.size());
        const std::string placing = worldFileText(frame, shape.width, shape.height);
        world->write(placing.data(), placing.size());
        const std::string system = auxXmlText();
        aux->write(system.data(), system.size());
        world->commit();
        aux->commit();
        out->commit();
    } catch (const OutputError& error) {
        std::cerr << "trackora-heatmap: " << error.what() << "\n";
        out.reset();
        world.reset();
        aux.reset();
        return false;
    }
    return true;
}

// The files one set of options asks for, opened (checked, with their
// temporary files made) before they are written.
struct Outputs {
    std::optional<OutputFile> grid;
    std::optional<OutputFile> png;
    std::optional<OutputFile> pngWorld;
    std::optional<OutputFile> pngAux;
    std::optional<OutputFile> geotiff;
    std::optional<OutputFile> cube;
};

// False, having said why, when an output cannot be written or is the input.
bool openOutputs(const HeatmapOptions& options, const std::string& input, Outputs& outputs) {
    try {
        if (!options.gridPath.empty()) outputs.grid.emplace(options.gridPath).refuseSameFile(input);
        if (!options.pngPath.empty()) {
            outputs.png.emplace(options.pngPath).refuseSameFile(input);
            outputs.pngWorld.emplace(worldFilePath(options.pngPath)).refuseSameFile(input);
            outputs.pngAux.emplace(auxXmlPath(options.pngPath)).refuseSameFile(input);
        }
        if (!options.geotiffPath.empty()) outputs.geotiff.emplace(options.geotiffPath).refuseSameFile(input);
        if (!options.cubePath.empty()) outputs.cube.emplace(options.cubePath).refuseSameFile(input);
    } catch (const OutputError& error) {
        std::cerr << "trackora-heatmap: " << error.what() << "\n";
        return false;
    }
    return true;
}

// Checks every output of the run before the long work: each can be written
// and is not the input (as openOutputs), and no file is named twice, by
// whatever path: only the last write would survive. The checks open and
// close each output in turn, so a script with a thousand outputs holds at
// most one file open. Returns the exit status to stop with, or 0.
int checkOutputs(const std::vector<std::pair<std::string, const HeatmapOptions*>>& sets, const std::string& input) {
    std::map<std::string, std::string> named;  // file, as the system resolves it -> where it was named
    for (const auto& [where, options] : sets) {
        for (const auto& [option, path] : {std::pair{"--grid", &options->gridPath}, std::pair{"--png", &options->pngPath},
                                           std::pair{"--geotiff", &options->geotiffPath},
                                           std::pair{"--animate", &options->animatePath}}) {
            // A numbered sequence names no one file.
            if (path->empty() || path->find("%04d") != std::string::npos) continue;
            std::string file;
            try {
                OutputFile probe(*path);
                probe.refuseSameFile(input);
                std::error_code ignored;
                file = std::filesystem::weakly_canonical(probe.replacedPath(), ignored).string();
                if (file.empty()) file = probe.replacedPath();
            } catch (const OutputError& error) {
                std::cerr << "trackora-heatmap: " << error.what() << "\n";
                return 1;
            }
            const std::string here = where + option;
            const auto [earlier, fresh] = named.emplace(file, here);
            if (!fresh) {
                std::cerr << "trackora-heatmap: \"" << echoPath(*path) << "\" is named twice as an output ("
                          << earlier->second << " and " << here << "); only one of them would be kept\n";
                return 2;
            }
        }
    }
    return 0;
}

// The day cube: one grid per step of the day under the options' modes,
// kernel and values (each step's window from its first second to the one
// before the next step's), written a slice at a time.
bool writeCube(const HeatmapOptions& options, std::optional<OutputFile>& output, const GeoFrame& frame,
               const std::string& clock, std::int64_t days) {
    // Per day: each slice's densities or counts over the selection's days.
    const bool perDay = options.perDay && options.values != GridValues::display;
    OutputFile& out = *output;
    const std::int32_t step = options.stepSeconds > 0 ? options.stepSeconds : 900;
    const GridValues values = options.values.value_or(GridValues::perKm2);
    gis::DayCubeLayout layout;
    layout.width = kGridSide;
    layout.height = kGridSide;
    layout.west = frame.west;
    layout.south = frame.south;
    layout.cellWidth = frame.longitudeSpan() / kGridSide;
    layout.cellHeight = frame.latitudeSpan() / kGridSide;
    layout.steps = 86400 / step;
    layout.stepSeconds = step;
    layout.variable = values == GridValues::count ? "count" : values == GridValues::perKm2 ? "density" : "level";
    layout.units = values == GridValues::display ? "" : gridValuesUnits(values);
    if (perDay) layout.units += "/day";
    ControlSettings day = options.settings;
    day.min_time = 0;
    day.max_time = 86400;
    layout.longName = gridBandDescription(day, values, frame, clock);
    layout.attributes = {{"title", "Trackora day cube"},
                         {"source", "trackora-heatmap " + options.input},
                         {"step_seconds", std::to_string(step)},
                         {"clock", clock.empty() ? "as imported" : clock}};
    if (perDay) layout.attributes.emplace_back("days", std::to_string(days));
    try {
        gis::DayCubeWriter writer(out.target(), out.temporaryPath(), layout);
        bool any = false;
        for (int k = 0; k < layout.steps; ++k) {
            ControlSettings slice = options.settings;
            slice.min_time = k * step;
            slice.max_time = (k + 1) * step - 1;
            slice.time_changed = true;
            std::vector<float> cells;
            if (values == GridValues::count) {
                cells = HeatmapEngine::sampleCounts(slice);
            } else {
                const std::vector<float> grid = HeatmapEngine::computeHeatmap(slice);
                cells = gridCells(values, grid, HeatmapEngine::lastMaximumDensity(), HeatmapEngine::lastUsedLogScale(),
                                  {}, frame);
            }
            if (perDay) cells = perDayCells(cells, days);
            any = any || std::any_of(cells.begin(), cells.end(), [](float v) { return v != 0.0f; });
            writer.writeSlice(k, cells.data());
        }
        writer.finish();
        out.commit();
        std::printf("cube: %d steps of %d s written to \"%s\"%s\n", layout.steps, step, echoPath(out.target()).c_str(),
                    any ? "" : " (no samples of the ticked modes in any step: every slice holds zeros)");
        std::fflush(stdout);
    } catch (const gis::GisError& error) {
        std::cerr << "trackora-heatmap: cannot write \"" << echoPath(out.target()) << "\": " << error.reason() << "\n";
        output.reset();
        return false;
    } catch (const OutputError& error) {
        std::cerr << "trackora-heatmap: " << error.what() << "\n";
        output.reset();
        return false;
    }
    return true;
}

// --animate's checks before the long work: the kind of file, its folder
// and ffmpeg for a video (the font is read with the colour tables). False,
// having said why, when the video cannot be made.
bool checkAnimation(const HeatmapOptions& options) {
    VideoFormat format;
    std::string ffmpeg;
    const std::string problem = checkDayVideo(options.animatePath, format, ffmpeg);
    if (problem.empty()) return true;
    std::cerr << "trackora-heatmap: --animate: " << problem << "\n";
    return false;
}

// "frames: 40 of 96, about 12 s left" over the whole run, on one line
// rewritten in place on a terminal; a line per tenth of the work elsewhere
// (a log).
class Progress {
public:
    explicit Progress(int total) : total_(total), start_(std::chrono::steady_clock::now()), live_(isatty(1)) {}
    // `count` of `total` steps of work done; `what` says which.
    void done(int count, const std::string& what) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const std::string left = analysis::timeLeft(elapsed, static_cast<double>(count) / total_);
        const std::string line = what + (left.empty() ? "" : ", " + left);
        if (live_)
            std::printf("\r%s\x1b[K", line.c_str());
        else if (count * 10 / total_ != (count - 1) * 10 / total_)
            std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    void end() {
        if (live_) std::printf("\n");
        std::fflush(stdout);
    }

private:
    int total_;
    std::chrono::steady_clock::time_point start_;
    bool live_;
};

// The day as a video (DayVideoWriter), with a progress line.
bool writeAnimation(const HeatmapOptions& options, const GeoFrame& frame) {
    DayVideoRequest request;
    request.settings = options.settings;
    request.frame = frame;
    request.path = options.animatePath;
    request.fps = options.fps;
    request.stepSeconds = options.stepSeconds > 0 ? options.stepSeconds : 900;
    request.longSide = options.pngSize;
    std::optional<DayVideoWriter> writer;
    try {
        const RgbPicture map = dayVideoGround(frame, runtimeFile("resources/map.png"));
        writer.emplace(request, map, colourTables.at(options.lutPath), *textFace);
    } catch (const std::runtime_error& error) {
        std::cerr << "trackora-heatmap: --animate: " << error.what() << "\n";
        return false;
    }
    Progress progress(writer->total());
    const int steps = writer->steps();
    while (writer->advance()) {
        const int done = writer->done();
        progress.done(done, done <= steps ? "the day's maximum: step " + std::to_string(done) + " of " +
                                                std::to_string(steps)
                                          : "frames: " + std::to_string(done - steps) + " of " + std::to_string(steps));
    }
    if (writer->failed().empty()) progress.done(writer->total(), "frames: " + std::to_string(steps) + " of " + std::to_string(steps));
    progress.end();
    if (!writer->failed().empty()) {
        std::cerr << "trackora-heatmap: " << writer->failed() << "\n";
        return false;
    }
    std::printf("video: %d frames of %d s, %d x %d at %d fps, written to \"%s\"%s\n", steps, request.stepSeconds,
                writer->width(), writer->height(), options.fps, echoPath(request.path).c_str(),
                writer->dayMaximum() > 0.0 ? "" : " (no samples of the ticked modes in any step: the map alone)");
    std::fflush(stdout);
    return true;
}

// Every output asked for; all are attempted even when one fails. densest and
// logScale are those of the compute that gave `grid`, whose engine still
// runs: --values count counts from its index. `frame` and `clock` are the
// samples' (the clock their frame file names, if any).
bool writeOutputs(const HeatmapOptions& options, Outputs& outputs, const std::vector<float>& grid, double densest,
                  bool logScale, const GeoFrame& frame, const std::string& clock, std::int64_t days = 0) {
    bool ok = true;
    // With --per-day, densities and counts are per day; display levels are
    // relative to the densest cell and stay as they are.
    const auto cells = [&](GridValues values) {
        const std::vector<float> all = gridCells(values, grid, densest, logScale,
                                                 values == GridValues::count ? HeatmapEngine::sampleCounts(options.settings)
                                                                             : std::vector<float>{},
                                                 frame);
        return options.perDay && values != GridValues::display ? perDayCells(all, days) : all;
    };
    if (outputs.grid) ok = writeGrid(outputs.grid, cells(options.values.value_or(GridValues::display))) && ok;
    if (outputs.png)
        ok = writePng(options, outputs.png, outputs.pngWorld, outputs.pngAux, grid, densest, logScale, frame) && ok;
    if (outputs.geotiff) {
        const GridValues values = options.values.value_or(GridValues::perKm2);
        DayCount count;
        if (options.perDay && values != GridValues::display) count.days = days;
        ok = writeGeoTiff(outputs.geotiff, cells(values), options.settings, densest, values, frame, clock, count) && ok;
    }
    if (outputs.cube) {
        ok = writeCube(options, outputs.cube, frame, clock, days) && ok;
        // The engine's last compute is the settings' own again, for what follows.
        ControlSettings again = options.settings;
        HeatmapEngine::computeHeatmap(again);
    }
    if (!options.animatePath.empty()) {
        ok = writeAnimation(options, frame) && ok;
        ControlSettings again = options.settings;
        HeatmapEngine::computeHeatmap(again);
    }
    return ok;
}

// The samples of a selection of days and the number of days it covers.
struct Selected {
    std::shared_ptr<const SampleSource> samples;
    std::int64_t days = 0;
};
int selectDays(const std::shared_ptr<const SampleSource>& base, const std::string& input, const DayFilter& filter,
               Selected& selected);

// What a script does with each line on samples and on summaries alike: the
// compute through the viewer's frame work, timed, then the line's outputs
// opened and written outside the timing; the times summed up at the end.
class ScriptTimer {
public:
    ScriptTimer() = default;
    ScriptTimer(const ScriptTimer&) = delete;  // the steps hold this object's grid and clock
    ScriptTimer& operator=(const ScriptTimer&) = delete;

    bool computeAndWrite(const ScriptLine& line, ControlSettings& settings, const std::string& input,
                         const GeoFrame& frame, const std::string& clock, std::int64_t days) {
        if (times_.empty()) settings.time_changed = true;  // the first line always computes
        elapsed_ = 0;
        refreshDensity(settings, steps_, kGridCells);
        times_.push_back(elapsed_);
        std::printf("line %d: %.2f ms\n", line.number, elapsed_);
        std::fflush(stdout);
        Outputs outputs;
        return openOutputs(line.options, input, outputs) &&
               writeOutputs(line.options, outputs, grid_, HeatmapEngine::lastMaximumDensity(),
                            HeatmapEngine::lastUsedLogScale(), frame, clock, days);
    }
    void printTotals() const {
        const TimeSummary summary = summarizeTimes(times_);
        std::printf("%zu lines: median %.2f ms, p99 %.2f ms, maximum %.2f ms\n", times_.size(), summary.median,
                    summary.p99, summary.maximum);
        std::fflush(stdout);
    }

private:
    double elapsed_ = 0;
    std::vector<float> grid_ = std::vector<float>(kGridCells, 0.0f);
    const DensitySteps steps_ =
        timedEngineSteps(elapsed_, [this](const std::vector<float>& heatmap) { grid_ = heatmap; });
    std::vector<double> times_;
};

// The lines in order through the viewer's frame work, timing its table
// rebuild and compute (the outputs are written outside the timing). Each
// line's outputs are opened just before they are written.
bool runScript(const std::vector<ScriptLine>& lines, const std::string& input, ControlSettings& settings,
               const GeoFrame& frame, const std::string& clock, const std::shared_ptr<const SampleSource>& base,
               bool daysIndexed, DayFilter indexed) {
    ScriptTimer timer;
    bool ok = true;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const ScriptLine& line = lines[i];
        // A line that chooses other days than those indexed indexes its
        // own, as a load does (timed apart from the compute).
        std::int64_t days = 0;
        bool reindexed = false;
        if (line.options.daysGiven || line.options.perDay) {
            const DayFilter wanted = line.options.days;
            const bool same = daysIndexed && indexed.weekdays == wanted.weekdays && indexed.first == wanted.first &&
                              indexed.last == wanted.last;
            Selected selected;
            const auto start = std::chrono::steady_clock::now();
            if (selectDays(base, input, wanted, selected) != 0) return false;
            days = selected.days;
            if (!same) {
                HeatmapEngine::release();
                ControlSettings next = line.options.settings;
                HeatmapEngine::initialize(selected.samples, next);
                indexed = wanted;
                daysIndexed = true;
                std::printf("line %d: indexed %zu points of %s in %.2f ms\n", line.number, selected.samples->size(),
                            dayFilterText(wanted).c_str(),
                            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
                reindexed = true;
            }
        } else if (daysIndexed) {
            // Back to every sample, those without a date included.
            HeatmapEngine::release();
            ControlSettings next = line.options.settings;
            HeatmapEngine::initialize(base, next);
            daysIndexed = false;
            reindexed = true;
        }
        adoptSettings(settings, line.options.settings);
        if (reindexed) settings.time_changed = true;  // a new index computes afresh
        ok = timer.computeAndWrite(line, settings, input, frame, clock, days) && ok;
    }
    timer.printTotals();
    return ok;
}

// An engine named with --engine must be the one that runs: a CUDA engine
// asked for by name that cannot start (or failed over to the CPU) is an
// error, not a slower run. The engine line printed above says why.
int refuseFallback(const std::string& engine) {
    if (engine != "cuda" && engine != "cuda-literal") return 0;
    const std::string running = HeatmapEngine::engineName();
    if (running.rfind("CUDA", 0) == 0) return 0;
    std::cerr << "trackora-heatmap: --engine " << engine << ": the CUDA engine cannot run here (the engine line "
              << "above says why); running on " << running << " instead was not asked for\n";
    HeatmapEngine::release();
    return 2;
}

// The kernel on the ground: sigma in cells and metres, the table's reach
// north-south and east-west, and a note when Size cuts the Gaussian short.
void printKernel(const ControlSettings& settings, const GeoFrame& frame) {
    const HeatmapEngine::TableShape shape = HeatmapEngine::tableShape(settings);
    std::printf("sigma %.3g cells (%.3g m), %d x %d table reaching %.0f m north-south and %.0f m east-west\n",
                static_cast<double>(settings.sigma), static_cast<double>(settings.sigma) * cellHeightMetres(frame),
                shape.rows, shape.cols, (shape.rows / 2) * cellHeightMetres(frame),
                (shape.cols / 2) * cellWidthMetres(frame));
    const std::string cut = HeatmapEngine::kernelCutShort(settings);
    if (!cut.empty()) std::printf("note: %s\n", cut.c_str());
    std::fflush(stdout);
}


std::string dayCount(std::int64_t days) { return std::to_string(days) + (days == 1 ? " day" : " days"); }

// A selection of days of another source, owning it: the engine indexes the
// samples of the chosen weekdays and dates as it would a file's.
class DaySelection final : public SampleSource {
public:
    DaySelection(std::shared_ptr<const SampleSource> base, const DayFilter& filter)
        : base_(std::move(base)), filtered_(*base_, filter) {}
    std::size_t size() const override { return filtered_.size(); }
    const std::string& path() const override { return filtered_.path(); }
    void forEachChunk(const Visit& visit) const override { filtered_.forEachChunk(visit); }
    bool hasDays() const override { return true; }
    void forEachDatedChunk(const DatedVisit& visit) const override { filtered_.forEachDatedChunk(visit); }
    const DayFilteredSource& filtered() const { return filtered_; }

private:
    std::shared_ptr<const SampleSource> base_;
    DayFilteredSource filtered_;
};

// The samples of one input with their dates where it has them: a binary
// file read a chunk at a time (its days column beside it), anything else
// parsed into memory. Returns the exit status to stop with, or 0, having
// said why.
int loadSamples(const std::string& input, bool normalize, std::shared_ptr<const SampleSource>& samples,
                GeoFrame& frame, std::string& clock) {
    try {
        std::error_code ignored;
        if (!std::filesystem::is_directory(input, ignored) && !isTrackFile(input) && hasBinaryExtension(input)) {
            frame = readFrameFile(input);
            clock = readFrameClock(input);
            samples = std::make_shared<SampleFile>(input);
        } else {
            TrajectoryLoader loader;
            std::vector<std::int32_t> days;
            std::vector<Datapoint> points = loader.loadDated(input, -1, normalize, days);
            samples = std::make_shared<SamplesInMemory>(std::move(points), std::move(days));
            frame = loader.frame;
            // An empty grid from points that lie elsewhere is no result:
            // say where they went and how to read them in their own frame.
            if (samples->size() == 0 && loader.report.outside > 0) {
                std::cerr << "trackora-heatmap: \"" << echoPath(input) << "\": all its "
                          << loader.report.outside << " points lie outside the box " << frameDescription(frame)
                          << " that recordings and track files are read over; trackora-import --box fit imports "
                             "them into a box fitted to them, which trackora-heatmap then reads\n";
                return 1;
            }
        }
    } catch (const std::exception& error) {
        std::cerr << "trackora-heatmap: " << loadFailureMessage(input, error) << "\n";
        return 1;
    }
    return 0;
}

// Selects the days `filter` takes from `base` (read once to find them).
// Returns the exit status to stop with, or 0, having said why: data
// without dates, or a selection that covers no day of the data (nothing to
// show, and no day to divide by).
int selectDays(const std::shared_ptr<const SampleSource>& base, const std::string& input, const DayFilter& filter,
               Selected& selected) {
    const auto noDates = [&] {
        std::cerr << "trackora-heatmap: \"" << echoPath(input) << "\" has no dates (no \""
                  << echoPath(daysFilePath(input)) << "\" beside it, or none known): --weekdays, --dates, --per-day "
                  << "and --versus need them; trackora-import writes them from recordings, track files or dated "
                     "text samples\n";
        return 1;
    };
    if (!base->hasDays()) return noDates();
    std::shared_ptr<const DaySelection> selection;
    try {
        selection = std::make_shared<DaySelection>(base, filter);
    } catch (const std::exception& error) {
        std::cerr << "trackora-heatmap: " << loadFailureMessage(input, error) << "\n";
        return 1;
    }
    if (!selection->filtered().dated()) return noDates();
    const DayFilteredSource& days = selection->filtered();
    selected.days = daysCovered(filter, days.firstDay(), days.lastDay());
    if (selected.days == 0) {
        std::cerr << "trackora-heatmap: the selection (" << dayFilterText(filter) << ") covers no day of \""
                  << echoPath(input) << "\", whose dates run from " << formatDay(days.firstDay()) << " to "
                  << formatDay(days.lastDay()) << ": nothing to show and no day to count\n";
        return 1;
    }
    selected.samples = selection;
    return 0;
}

// The cells one selection gives under `settings`, per day: its densities
// per km2 (or counts) over `days`. Runs the engine on the samples and
// releases it.
std::vector<float> selectionPerDay(std::shared_ptr<const SampleSource> samples, ControlSettings settings,
                                   GridValues values, const GeoFrame& frame, std::int64_t days) {
    HeatmapEngine::initialize(std::move(samples), settings);
    const std::vector<float> grid = HeatmapEngine::computeHeatmap(settings);
    const std::vector<float> cells =
        gridCells(values, grid, HeatmapEngine::lastMaximumDensity(), HeatmapEngine::lastUsedLogScale(),
                  values == GridValues::count ? HeatmapEngine::sampleCounts(settings) : std::vector<float>{}, frame);
    HeatmapEngine::release();
    return perDayCells(cells, days);
}

int writeVersus(const HeatmapOptions& options, Outputs& outputs, const ControlSettings& settingsB, std::int64_t daysA,
                std::int64_t daysB, const GeoFrame& frame, const std::string& clock,
                const std::function<std::vector<float>(bool isB, GridValues values)>& perDay);

// --versus: A per day minus B per day, to --grid, --geotiff and --png.
int runVersus(HeatmapOptions& options, Outputs& outputs, const Selected& a,
              const std::shared_ptr<const SampleSource>& base, const GeoFrame& frame, const std::string& clock) {
    const HeatmapOptions::Versus& versus = *options.versus;
    std::shared_ptr<const SampleSource> baseB = base;
    std::string inputB = options.input;
    if (!versus.input.empty()) {
        GeoFrame frameB;
        std::string clockB;
        inputB = versus.input;
        if (const int status = loadSamples(inputB, !options.textNormalized, baseB, frameB, clockB)) return status;
        if (frameB != frame) {
            std::cerr << "trackora-heatmap: --versus --input \"" << echoPath(inputB) << "\" holds samples of the frame "
                      << frameText(frameB) << ", not the frame " << frameText(frame) << " of \""
                      << echoPath(options.input) << "\": their grids would not lie over each other\n";
            return 1;
        }
    }
    Selected b;
    if (const int status = selectDays(baseB, inputB, versus.days, b)) return status;
    ControlSettings settingsB = options.settings;
    settingsB.mode_mask = versus.modeMask;
    for (int bit = 0; bit < kModeCount; ++bit) settingsB.mode_selected[bit] = (versus.modeMask >> bit) & 1;
    settingsB.min_time = versus.minTime;
    settingsB.max_time = versus.maxTime;
    std::cout << a.samples->size() << " points in A (" << dayFilterText(options.days) << ", " << dayCount(a.days)
              << "), " << b.samples->size() << " in B (" << dayFilterText(versus.days) << ", " << dayCount(b.days) << ")"
              << std::endl;
    printKernel(options.settings, frame);
    return writeVersus(options, outputs, settingsB, a.days, b.days, frame, clock,
                       [&](bool isB, GridValues values) {
                           return isB ? selectionPerDay(b.samples, settingsB, values, frame, b.days)
                                      : selectionPerDay(a.samples, options.settings, values, frame, a.days);
                       });
}

// The outputs of --versus from A's and B's cells per day (perDay(isB, values)).
int writeVersus(const HeatmapOptions& options, Outputs& outputs, const ControlSettings& settingsB, std::int64_t daysA,
                std::int64_t daysB, const GeoFrame& frame, const std::string& clock,
                const std::function<std::vector<float>(bool isB, GridValues values)>& perDay) {
    const HeatmapOptions::Versus& versus = *options.versus;
    const GridValues values = options.values.value_or(GridValues::perKm2);
    const std::vector<float> perDayA = perDay(false, values);
    const std::vector<float> perDayB = perDay(true, values);
    const compare::Difference versusCells = compare::difference(perDayA, perDayB);
    const std::vector<float>& difference = versusCells.cells;
    const float largest = versusCells.largest;
    bool ok = true;
    if (outputs.grid) ok = writeGrid(outputs.grid, difference) && ok;
    if (outputs.geotiff) {
        DayCount count{daysA, daysB,
                       "mode mask " + std::to_string(settingsB.mode_mask) + "; window " +
                           std::to_string(settingsB.min_time) + "-" + std::to_string(settingsB.max_time) + " s; " +
                           dayFilterText(versus.days) +
                           (versus.input.empty() ? "" : "; " + versus.input)};
        ok = writeGeoTiff(outputs.geotiff, difference, options.settings, largest, values, frame, clock, count) && ok;
    }
    if (outputs.png) {
        // The picture shows densities whatever --values says.
        const compare::Difference densities =
            values == GridValues::perKm2
                ? versusCells
                : compare::difference(perDay(false, GridValues::perKm2), perDay(true, GridValues::perKm2));
        ok = writeDifferencePng(options, outputs.png, outputs.pngWorld, outputs.pngAux, densities, frame) && ok;
    }
    std::printf("largest difference: %g %s per day\n", static_cast<double>(largest), gridValuesUnits(values));
    return ok ? 0 : 1;
}

// The days of a summary that pass a choice of weekdays: what --per-day divides by.
std::int64_t summaryDaysOn(const Summary& summary, const DayFilter& days) {
    std::int64_t n = 0;
    for (std::int32_t day : summary.days) n += days.passes(day);
    return n;
}

// A script on a summary, as runScript on samples: a line's weekdays are
// the engine's day classes (a recompute, no new index) and --per-day
// divides by the summary's days on them.
bool runSummaryScript(const std::vector<ScriptLine>& lines, const std::string& input, ControlSettings& settings,
                      const GeoFrame& frame, const std::string& clock, const Summary& summary) {
    ScriptTimer timer;
    bool ok = true;
    for (const ScriptLine& line : lines) {
        const bool choosesDays = line.options.daysGiven || line.options.perDay;
        const std::int64_t days = choosesDays ? summaryDaysOn(summary, line.options.days) : 0;
        adoptSettings(settings, line.options.settings);
        settings.day_classes = choosesDays ? line.options.days.dayClasses() : kAllDayClasses;
        ok = timer.computeAndWrite(line, settings, input, frame, clock, days) && ok;
    }
    timer.printTotals();
    return ok;
}

// --versus on a summary: B is the same summary under B's selection or, with
// --versus --input, another summary of the same frame, step and clock;
// each is divided by its own days on its weekdays, as for samples.
int runSummaryVersus(const HeatmapOptions& options, Outputs& outputs, const std::shared_ptr<const Summary>& a,
                     std::int64_t daysA, const GeoFrame& frame, const std::string& clock) {
    const HeatmapOptions::Versus& versus = *options.versus;
    const auto refuse = [](const std::string& why, int status = 1) {
        std::cerr << "trackora-heatmap: " << why << "\n";
        return status;
    };
    const DayFilter everyDay;
    if (versus.days.first != everyDay.first || versus.days.last != everyDay.last)
        return refuse("--versus: \"" + echoPath(options.input) +
                          "\" is a summary: its days are chosen when it is built (trackora-summary build --dates), "
                          "not by --dates",
                      2);
    std::shared_ptr<const Summary> b = a;
    if (!versus.input.empty()) {
        if (!looksLikeSummary(versus.input))
            return refuse("--versus --input \"" + echoPath(versus.input) + "\" is not a summary, and \"" +
                          echoPath(options.input) + "\" is: a summary is compared with a summary");
        try {
            b = std::make_shared<const Summary>(readSummary(versus.input));
        } catch (const std::exception& error) {
            return refuse(error.what());
        }
        if (b->frame != a->frame || b->stepSeconds != a->stepSeconds || b->clock != a->clock)
            return refuse("--versus --input \"" + echoPath(versus.input) + "\" is a summary of another frame, step or "
                          "clock than \"" + echoPath(options.input) + "\": their grids would not lie over each other");
        if (!b->dated)
            return refuse("--versus --input \"" + echoPath(versus.input) +
                          "\" is a summary of samples without dates: --versus divides by days");
    }
    const std::int64_t daysB = summaryDaysOn(*b, versus.days);
    if (daysA == 0 || daysB == 0)
        return refuse("the selection " + std::string(daysA == 0 ? "A" : "B") +
                      " covers no day of its summary: nothing to show and no day to count");
    ControlSettings settingsB = options.settings;
    settingsB.mode_mask = versus.modeMask;
    for (int bit = 0; bit < kModeCount; ++bit) settingsB.mode_selected[bit] = (versus.modeMask >> bit) & 1;
    settingsB.min_time = versus.minTime;
    settingsB.max_time = versus.maxTime;
    std::cout << "A: " << dayFilterText(options.days) << ", " << dayCount(daysA) << "; B: " << dayFilterText(versus.days)
              << ", " << dayCount(daysB) << std::endl;
    printKernel(options.settings, frame);
    return writeVersus(options, outputs, settingsB, daysA, daysB, frame, clock, [&](bool isB, GridValues values) {
        ControlSettings settings = isB ? settingsB : options.settings;
        settings.day_classes = (isB ? versus.days : options.days).dayClasses();
        HeatmapEngine::initialize(isB ? b : a, settings);
        const std::vector<float> grid = HeatmapEngine::computeHeatmap(settings);
        const std::vector<float> cells =
            gridCells(values, grid, HeatmapEngine::lastMaximumDensity(), HeatmapEngine::lastUsedLogScale(),
                      values == GridValues::count ? HeatmapEngine::sampleCounts(settings) : std::vector<float>{},
                      frame);
        HeatmapEngine::release();
        return perDayCells(cells, isB ? daysB : daysA);
    });
}

// A summary (model/Summary.h) as the input: its counts are the engine's,
// its frame and clock the outputs'. The window takes the summary's steps
// whole; weekdays choose its day classes, and --per-day divides by the
// days it holds on those weekdays; so on every --script line and in
// --versus. --dates takes sample files only (a summary's dates are chosen
// when it is built).
int runSummaryInput(HeatmapOptions& options, Outputs& outputs, std::vector<ScriptLine>& script) {
    const auto opened = std::chrono::steady_clock::now();  // read, checked and the engine built
    std::shared_ptr<const Summary> summary;
    try {
        summary = std::make_shared<const Summary>(readSummary(options.input));
    } catch (const std::exception& error) {
        std::cerr << "trackora-heatmap: " << error.what() << "\n";
        return 1;
    }
    const DayFilter everyDay;
    // Options a summary cannot take are a bad command line (2); data that
    // cannot answer them, as for samples, a failure (1).
    const auto refuse = [&](const std::string& what, int status = 2) {
        std::cerr << "trackora-heatmap: \"" << echoPath(options.input) << "\" is a summary: " << what << "\n";
        return status;
    };
    if (options.days.first != everyDay.first || options.days.last != everyDay.last)
        return refuse("its days are chosen when it is built (trackora-summary build --dates), not by --dates");
    if ((options.daysGiven || options.perDay || options.versus) && !summary->dated)
        return refuse("its samples had no dates: --weekdays, --per-day and --versus need them", 1);
    const std::int64_t days = summaryDaysOn(*summary, options.days);
    if (options.perDay && days == 0) return refuse("it holds no day of the chosen weekdays", 1);
    for (const ScriptLine& line : script) {
        const std::string at = "line " + std::to_string(line.number) + ": ";
        if (line.options.days.first != everyDay.first || line.options.days.last != everyDay.last)
            return refuse(at + "its days are chosen when it is built (trackora-summary build --dates), not by --dates");
        if (line.options.versus) return refuse(at + "--versus does not go on a script line");
        if ((line.options.daysGiven || line.options.perDay) && !summary->dated)
            return refuse(at + "its samples had no dates: --weekdays and --per-day need them", 1);
        if (line.options.perDay && summaryDaysOn(*summary, line.options.days) == 0)
            return refuse(at + "it holds no day of the chosen weekdays", 1);
    }
    options.settings.day_classes = options.days.dayClasses();
    const GeoFrame frame = summary->frame;
    const std::string clock = summary->clock;
    try {
        applyFrame(options, frame);
        for (ScriptLine& line : script) applyFrame(line.options, frame);
    } catch (const UsageError& error) {
        std::cerr << "trackora-heatmap: " << error.what() << "\n";
        return 2;
    }
    if (options.versus) {
        try {
            return runSummaryVersus(options, outputs, summary, days, frame, clock);
        } catch (const std::exception& error) {
            std::cerr << "trackora-heatmap: " << error.what() << "\n";
            return 1;
        }
    }
    try {
        const std::int32_t step = summary->stepSeconds;
        const ControlSettings& s = options.settings;
        std::cout << "summary of " << summary->totals.samples << " samples in " << step / 60 << "-min steps from \""
                  << echoPath(options.input) << "\"" << std::endl;
        if (s.mode_mask != 0 && (s.min_time % step != 0 || (s.max_time + 1) % step != 0) && s.max_time != 86400)
            std::cout << "the window takes the summary's steps it overlaps whole" << std::endl;
        printKernel(options.settings, frame);
        const std::shared_ptr<const Summary> held = summary;
        HeatmapEngine::initialize(std::move(summary), options.settings);
        if (!script.empty()) {
            std::printf("opened in %.2f ms\n",
                        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - opened).count());
            const bool ok = runSummaryScript(script, options.input, options.settings, frame, clock, *held);
            HeatmapEngine::release();
            return ok ? 0 : 1;
        }
        const auto start = std::chrono::steady_clock::now();
        const std::vector<float> grid = HeatmapEngine::computeHeatmap(options.settings);
        std::printf("compute: %.2f ms\n",
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        std::fflush(stdout);
        const bool ok = writeOutputs(options, outputs, grid, HeatmapEngine::lastMaximumDensity(),
                                     HeatmapEngine::lastUsedLogScale(), frame, clock, days);
        HeatmapEngine::release();
        return ok ? 0 : 1;
    } catch (const std::exception& error) {
        std::cerr << "trackora-heatmap: " << error.what() << "\n";
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    HeatmapOptions options;
    try {
        options = parseHeatmapOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        // The message alone: the Python module raises the same words.
        std::cerr << "trackora-heatmap: " << error.what() << "\n";
        return 2;
    }
    if (options.help) {
        std::cout << heatmapUsage();
        return 0;
    }
    if (!options.engine.empty()) setenv("TRACKORA_ENGINE", options.engine.c_str(), 1);
    // A CUDA engine named here never hands over to the CPU (refuseFallback),
    // so the CPU index is built only for counts: a script may ask for them
    // on any line.
    if ((options.engine == "cuda" || options.engine == "cuda-literal") && options.scriptPath.empty() &&
        options.values != GridValues::count)
        HeatmapEngine::setCpuStandby(false);
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
    // work; none may be the input, none may be named twice.
    removeTemporaryFilesOnSignals();
    std::vector<std::pair<std::string, const HeatmapOptions*>> outputSets{{"", &options}};
    for (const ScriptLine& line : script) outputSets.emplace_back("line " + std::to_string(line.number) + " ", &line.options);
    if (const int status = checkOutputs(outputSets, options.input)) return status;
    if (!readColourTables(outputSets) || !readTextFace(outputSets)) return 1;
    if (!options.animatePath.empty() && !checkAnimation(options)) return 1;
    Outputs outputs;
    if (!openOutputs(options, options.input, outputs)) return 1;
    if (looksLikeSummary(options.input)) return runSummaryInput(options, outputs, script);

    // A binary sample file is indexed as it is read, a chunk at a time;
    // recordings and text files are parsed into memory first.
    std::shared_ptr<const SampleSource> samples;
    GeoFrame frame;  // a binary file's own; recordings are read over the default box
    std::string clock;
    if (const int status = loadSamples(options.input, !options.textNormalized, samples, frame, clock)) return status;
    // A choice of days (on the command line or any script line) indexes
    // only their samples; the data must have dates.
    const bool wantsDays = options.daysGiven || options.perDay || options.versus.has_value();
    std::int64_t days = 0;
    const std::shared_ptr<const SampleSource> base = samples;
    if (wantsDays) {
        Selected selected;
        if (const int status = selectDays(base, options.input, options.days, selected)) return status;
        samples = selected.samples;
        days = selected.days;
        std::cout << samples->size() << " of " << base->size() << " points on the selected days ("
                  << dayFilterText(options.days) << "): " << dayCount(days) << std::endl;
    }
    for (const ScriptLine& line : script)
        if ((line.options.daysGiven || line.options.perDay) && !base->hasDays()) {
            Selected unused;
            return selectDays(base, options.input, line.options.days, unused);
        }
    try {
        applyFrame(options, frame);
        for (ScriptLine& line : script) applyFrame(line.options, frame);
    } catch (const UsageError& error) {
        std::cerr << "trackora-heatmap: " << error.what() << "\n";
        return 2;
    }
    if (!script.empty()) {
        std::cout << samples->size() << " points read from \"" << echoPath(options.input) << "\"" << std::endl;
        printKernel(options.settings, frame);
        try {
            HeatmapEngine::initialize(std::move(samples), options.settings);
            if (const int status = refuseFallback(options.engine)) return status;
            const bool ok = runScript(script, options.input, options.settings, frame, clock, base,
                                      wantsDays, options.days);
            if (const int status = refuseFallback(options.engine)) return status;
            HeatmapEngine::release();
            return ok ? 0 : 1;
        } catch (const std::exception& error) {
            std::cerr << "trackora-heatmap: " << error.what() << "\n";
            return 1;
        }
    }
    if (options.versus) {
        try {
            Selected a{samples, days};
            const int status = runVersus(options, outputs, a, base, frame, clock);
            HeatmapEngine::release();
            return status;
        } catch (const std::exception& error) {
            std::cerr << "trackora-heatmap: " << error.what() << "\n";
            return 1;
        }
    }
    try {
        std::size_t used = 0;
        const ControlSettings& s = options.settings;
        samples->forEachChunk([&](const Datapoint* chunk, std::size_t n, std::size_t) {
            for (std::size_t i = 0; i < n; ++i)
                used += kde::point_passes(chunk[i], s.mode_mask, s.min_time, s.max_time) &&
                        kde::cell_of(chunk[i]).valid;
        });
        std::cout << samples->size() << " points read from \"" << echoPath(options.input) << "\", " << used
                  << " pass the mode and time filters" << std::endl;
        printKernel(options.settings, frame);

        // Start-up (indexing the samples, building the first table) is timed
        // apart from the compute: a large table takes far longer to build
        // than to apply.
        const auto setupStart = std::chrono::steady_clock::now();
        HeatmapEngine::initialize(std::move(samples), options.settings);
        if (const int status = refuseFallback(options.engine)) return status;
        const HeatmapEngine::TableShape table = HeatmapEngine::tableShape(options.settings);
        std::printf("start-up: %.2f ms (indexing the samples, the %d x %d weight table)\n",
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - setupStart).count(),
                    table.rows, table.cols);
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
        if (const int status = refuseFallback(options.engine)) return status;
        const bool ok = writeOutputs(options, outputs, grid, HeatmapEngine::lastMaximumDensity(),
                                     HeatmapEngine::lastUsedLogScale(), frame, clock, days);
        HeatmapEngine::release();
        return ok ? 0 : 1;
    } catch (const std::bad_alloc&) {
        std::cerr << "trackora-heatmap: " << loadFailureMessage(options.input, std::runtime_error("not enough memory"))
                  << "\n";
        return 1;
    } catch (const std::exception& error) {
        std::cerr << "trackora-heatmap: " << error.what() << "\n";
        return 1;
    }
}
