// trackora._native: the loaders and the density engine for the Python
// package. Thin on purpose: NumPy arrays in and out, the GIL released while
// C++ works, failures as Python exceptions carrying the tools' one-line
// messages; trackora/__init__.py adds the records' dtype, xarray and the
// documentation.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <unistd.h>
#include <string>
#include <vector>

#include "app/GridValues.h"
#include "cpu/SummaryBuilder.h"
#include "engine/HeatmapEngine.h"
#include "kde/GridShape.h"
#include "model/CellRule.h"
#include "model/FrameChoice.h"
#include "model/GeoFrame.h"
#include "model/LoadError.h"
#include "model/SampleDays.h"
#include "model/SampleSource.h"
#include "model/TrackFiles.h"
#include "model/Summary.h"
#include "model/TrajectoryLoader.h"
#include "python/SyntheticCity.h"
#include "tools/heatmap/HeatmapOptions.h"
#include "tools/summary/SummaryTool.h"

namespace py = pybind11;

namespace {

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;
using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using IntArray = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;

// The engine is one per process (HeatmapEngine's module-wide instance):
// Python threads that compute at once take turns.
std::mutex engineMutex;

// Raised where the GIL is held again: a C++ failure becomes ValueError (a
// bad argument) or OSError (a file that cannot be read), its text the line
// the tools print.
[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

py::tuple frameTuple(const GeoFrame& frame) { return py::make_tuple(frame.south, frame.west, frame.north, frame.east); }

// A binary sample file's facts, checked as the tools check them (the file,
// its days column, its frame file), for the package to map its records:
// (records, has_days, frame, clock).
py::tuple openBinary(const std::string& path) {
    try {
        const SampleFile file(path);
        const GeoFrame frame = readFrameFile(path);
        return py::make_tuple(file.size(), file.hasDays(), frameTuple(frame), readFrameClock(path));
    } catch (const std::exception& error) {
        raise(PyExc_OSError, loadFailureMessage(path, error));
    }
}

// Any other input the tools read (a text sample file, a raw tree, a track
// file), parsed whole in degrees over the whole world: (records as 16-byte
// rows of float32 latitude and longitude, mode, seconds; days or None).
py::tuple loadOther(const std::string& path) {
    std::vector<Datapoint> points;
    std::vector<std::int32_t> days;
    try {
        py::gil_scoped_release unlocked;
        TrajectoryLoader loader;
        loader.frame = kWholeWorld;
        points = loader.loadDated(path, -1, /*normalize=*/false, days);
    } catch (const std::exception& error) {
        raise(PyExc_OSError, loadFailureMessage(path, error));
    }
    py::array_t<std::uint8_t> records({static_cast<py::ssize_t>(points.size()), py::ssize_t{16}});
    if (!points.empty()) std::memcpy(records.mutable_data(), points.data(), points.size() * sizeof(Datapoint));
    py::object dates = py::none();
    bool dated = false;
    for (const std::int32_t day : days) dated = dated || day != kUnknownDay;
    if (dated) dates = py::array_t<std::int32_t>(static_cast<py::ssize_t>(days.size()), days.data());
    return py::make_tuple(records, dates);
}

// Stored coordinates back to degrees (low + fraction x span, in double),
// each moved onto the cell's edge where exact decimal arithmetic would put
// those degrees in another cell than the engines' single-precision product
// puts the stored float: placed again (placeOnAxis, as density() does),
// every sample lands where it was.
// Coordinates off the frame are converted and left as they come.
DoubleArray toDegrees(const FloatArray& stored, double low, double high) {
    const py::ssize_t n = stored.size();
    DoubleArray degrees(n);
    const float* in = stored.data();
    double* out = degrees.mutable_data();
    const double span = high - low;
    {
        py::gil_scoped_release unlocked;
        for (py::ssize_t i = 0; i < n; ++i) {
            const float x = in[i];
            double value = low + static_cast<double>(x) * span;
            if (x >= 0.0f && x <= 1.0f) {
                value = std::min(std::max(value, low), high);
                const long long cell = gridCellOf(x * static_cast<float>(kGridSide), kGridSide);
                const long long exact = exactCellOf(value, low, high);
                if (exact != cell) {
                    // The float product rounded across the edge: the degrees
                    // move to that edge (millimetres), stepped over the
                    // roundings of the edge's double into the cell.
                    const long long edge = exact < cell ? cell : cell + 1;
                    value = low + span * static_cast<double>(edge) / kGridSide;
                    for (int step = 0; step < 64 && exactCellOf(value, low, high) != cell; ++step)
                        value = std::nextafter(value, exact < cell ? high : low);
                }
            }
            out[i] = value;
        }
    }
    return degrees;
}

// The frame a density is made over: (south, west, north, east), "auto",
// "fit" or the text trackora-import's --box takes; None is the default box.
GeoFrame chooseDensityFrame(const py::object& frame, const double* lat, const double* lon, std::size_t n) {
    if (frame.is_none()) return GeoFrame{};
    std::string text;
    if (py::isinstance<py::str>(frame)) {
        text = frame.cast<std::string>();
    } else {
        const auto sides = frame.cast<std::vector<double>>();
        if (sides.size() != 4) raise(PyExc_ValueError, "frame takes (south, west, north, east) in decimal degrees");
        GeoFrame box{sides[0], sides[1], sides[2], sides[3]};
        const std::string problem = frameProblem(box);
        if (!problem.empty())
            raise(PyExc_ValueError, "frame takes SOUTH,WEST,NORTH,EAST in decimal degrees or fit: " + problem);
        return box;
    }
    FrameRequest request;
    try {
        request = parseFrameRequest(text);
    } catch (const std::invalid_argument& error) {
        raise(PyExc_ValueError, std::string("frame takes SOUTH,WEST,NORTH,EAST in decimal degrees or fit: ") +
                                    error.what());
    }
    if (request.kind == FrameRequest::Kind::given) return request.frame;
    std::vector<Datapoint> degrees;
    degrees.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        degrees.emplace_back(static_cast<float>(lat[i]), static_cast<float>(lon[i]), mode::UNKNOWN, 0);
    return chooseFrame(degrees, request);
}

// The density grid of samples given in degrees: (cells as a 1000 x 1000
// float32 array, row 0 south, and what made them). `options` are
// trackora-heatmap's settings options (--sigma, --size, --modes, --time,
// --values, --log/--linear), read by its own parser so that the messages
// are the tool's. mode and seconds: None, or one per sample.
py::tuple density(const DoubleArray& lat, const DoubleArray& lon, const py::object& modes, const py::object& seconds,
                  const py::object& frameArgument, const std::vector<std::string>& arguments) {
    const std::size_t n = static_cast<std::size_t>(lat.size());
    if (static_cast<std::size_t>(lon.size()) != n)
        raise(PyExc_ValueError, "lat and lon differ in length (" + std::to_string(n) + " and " +
                                    std::to_string(lon.size()) + ")");
    // Empty when not given (a default array_t is a valid array of none).
    std::optional<IntArray> modeArray, secondArray;
    for (const auto& [given, array, name] :
         {std::tuple{&modes, &modeArray, "mode"}, std::tuple{&seconds, &secondArray, "seconds"}}) {
        if (given->is_none()) continue;
        *array = given->cast<IntArray>();
        if (static_cast<std::size_t>((*array)->size()) != n)
            raise(PyExc_ValueError, std::string(name) + " holds " + std::to_string((*array)->size()) +
                                        " values for " + std::to_string(n) + " samples");
    }
    HeatmapOptions options;
    try {
        options = parseHeatmapOptions(arguments, OptionScope::scriptLine);
    } catch (const UsageError& error) {
        raise(PyExc_ValueError, error.what());
    }
    const double* latitudes = lat.data();
    const double* longitudes = lon.data();
    const GeoFrame frame = chooseDensityFrame(frameArgument, latitudes, longitudes, n);
    try {
        applyFrame(options, frame);
    } catch (const UsageError& error) {
        raise(PyExc_ValueError, error.what());
    }
    const std::int32_t* modeValues = modeArray ? modeArray->data() : nullptr;
    const std::int32_t* secondValues = secondArray ? secondArray->data() : nullptr;
    const GridValues values = options.values.value_or(GridValues::perKm2);

    std::vector<float> cells;
    double densest = 0.0;
    bool logScale = true;
    std::size_t used = 0;
    std::string engine;
    try {
        py::gil_scoped_release unlocked;
        // Placed as a text sample file's are: each coordinate in the cell its
        // decimals give, none dropped for lying outside the frame (those
        // within the kernel's reach of an edge add to it). A position that
        // is not a number has no cell.
        std::vector<Datapoint> points;
        points.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            if (!std::isfinite(latitudes[i]) || !std::isfinite(longitudes[i])) continue;
            points.emplace_back(placeOnAxis(latitudes[i], frame.south, frame.north),
                                placeOnAxis(longitudes[i], frame.west, frame.east),
                                static_cast<TransportationMode>(modeValues ? modeValues[i] : mode::UNKNOWN),
                                secondValues ? secondValues[i] : 0);
        }
        used = points.size();
        std::lock_guard<std::mutex> lock(engineMutex);
        ControlSettings settings = options.settings;
        HeatmapEngine::initialize(std::move(points), settings);
        const std::vector<float> grid = HeatmapEngine::computeHeatmap(settings);
        densest = HeatmapEngine::lastMaximumDensity();
        logScale = HeatmapEngine::lastUsedLogScale();
        cells = gridCells(values, grid, densest, logScale,
                          values == GridValues::count ? HeatmapEngine::sampleCounts(settings) : std::vector<float>{},
                          frame);
        engine = HeatmapEngine::engineName();
        HeatmapEngine::release();
    } catch (const std::bad_alloc&) {
        raise(PyExc_MemoryError, "not enough memory for the density of " + std::to_string(n) + " samples");
    } catch (const std::exception& error) {
        raise(PyExc_RuntimeError, error.what());
    }

    py::array_t<float> array({py::ssize_t{kGridSide}, py::ssize_t{kGridSide}});
    std::memcpy(array.mutable_data(), cells.data(), cells.size() * sizeof(float));
    const ControlSettings& s = options.settings;
    const HeatmapEngine::TableShape table = HeatmapEngine::tableShape(s);
    py::dict info;
    info["frame"] = frameTuple(frame);
    info["units"] = gridValuesUnits(values);
    info["sigma"] = static_cast<double>(s.sigma);
    info["sigma_metres"] = static_cast<double>(s.sigma) * cellHeightMetres(frame);
    info["table_rows"] = table.rows;
    info["table_cols"] = table.cols;
    info["mode_mask"] = s.mode_mask;
    info["time_window"] = py::make_tuple(s.min_time, s.max_time);
    info["scale"] = logScale ? "log" : "linear";
    info["max_density"] = densest;
    info["samples"] = used;
    info["engine"] = engine;
    return py::make_tuple(array, info);
}

// A summary held for Python: shared and never changed, so copies, sums and
// pickles cost nothing until they are used. `name` is the file it came from
// (or the shard it was built from), for messages.
struct SummaryHandle {
    std::shared_ptr<const Summary> summary;
    std::string name;
};

SummaryHandle openSummary(const std::string& path) {
    try {
        py::gil_scoped_release unlocked;
        return SummaryHandle{std::make_shared<const Summary>(readSummary(path)), path};
    } catch (const std::exception& error) {
        raise(PyExc_OSError, error.what());
    }
}

SummaryHandle summaryFromBytes(const py::bytes& data, const std::string& name) {
    std::string bytes = data;
    try {
        py::gil_scoped_release unlocked;
        return SummaryHandle{std::make_shared<const Summary>(decodeSummary(bytes, name)), name};
    } catch (const std::exception& error) {
        raise(PyExc_ValueError, error.what());
    }
}

py::bytes summaryBytes(const SummaryHandle& handle) {
    std::string bytes;
    {
        py::gil_scoped_release unlocked;
        bytes = encodeSummary(*handle.summary);
    }
    return py::bytes(bytes);
}

void saveSummary(const SummaryHandle& handle, const std::string& path) {
    try {
        py::gil_scoped_release unlocked;
        writeSummary(*handle.summary, path);
    } catch (const std::exception& error) {
        raise(PyExc_OSError, error.what());
    }
}

// The sum of two summaries, as trackora-summary merge adds them: another
// frame, step or clock is refused naming the right-hand one.
SummaryHandle addSummaries(const SummaryHandle& a, const SummaryHandle& b) {
    try {
        py::gil_scoped_release unlocked;
        Summary sum = *a.summary;
        mergeSummary(sum, *b.summary, b.name);
        return SummaryHandle{std::make_shared<const Summary>(std::move(sum)), a.name};
    } catch (const SummaryError& error) {
        raise(PyExc_ValueError, error.what());
    } catch (const std::bad_alloc&) {
        raise(PyExc_MemoryError, "not enough memory to add \"" + b.name + "\"");
    }
}

py::dict summaryHeader(const SummaryHandle& handle) {
    const Summary& s = *handle.summary;
    py::dict header;
    header["frame"] = frameTuple(s.frame);
    header["step"] = s.stepSeconds;
    header["clock"] = s.clock;
    header["dated"] = s.dated;
    header["entries"] = s.entries();
    py::dict totals;
    totals["samples"] = s.totals.samples;
    totals["counted"] = s.totals.counted;
    totals["far"] = s.totals.far;
    totals["dropped"] = s.totals.dropped;
    totals["outside_day"] = s.totals.outsideDay;
    header["totals"] = totals;
    header["days"] = py::array_t<std::int32_t>(static_cast<py::ssize_t>(s.days.size()), s.days.data());
    return header;
}

// The density grid of a summary, as trackora-heatmap computes it from one:
// `arguments` are its settings options (--weekdays and --per-day among them).
py::tuple summaryDensity(const SummaryHandle& handle, const std::vector<std::string>& arguments) {
    HeatmapOptions options;
    try {
        options = parseHeatmapOptions(arguments, OptionScope::scriptLine);
    } catch (const UsageError& error) {
        raise(PyExc_ValueError, error.what());
    }
    const Summary& s = *handle.summary;
    const std::string refusal = "\"" + handle.name + "\" is a summary: ";
    if ((options.daysGiven || options.perDay) && !s.dated)
        raise(PyExc_ValueError, refusal + "its samples had no dates: --weekdays and --per-day need them");
    std::int64_t days = 0;
    for (const std::int32_t day : s.days) days += options.days.passes(day);
    if (options.perDay && days == 0) raise(PyExc_ValueError, refusal + "it holds no day of the chosen weekdays");
    options.settings.day_classes = options.days.dayClasses();
    try {
        applyFrame(options, s.frame);
    } catch (const UsageError& error) {
        raise(PyExc_ValueError, error.what());
    }
    const GridValues values = options.values.value_or(GridValues::perKm2);
    std::vector<float> cells;
    double densest = 0.0;
    bool logScale = true;
    try {
        py::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> lock(engineMutex);
        ControlSettings settings = options.settings;
        HeatmapEngine::initialize(handle.summary, settings);
        const std::vector<float> grid = HeatmapEngine::computeHeatmap(settings);
        densest = HeatmapEngine::lastMaximumDensity();
        logScale = HeatmapEngine::lastUsedLogScale();
        cells = gridCells(values, grid, densest, logScale,
                          values == GridValues::count ? HeatmapEngine::sampleCounts(settings) : std::vector<float>{},
                          s.frame);
        if (options.perDay && values != GridValues::display) cells = perDayCells(cells, days);
        HeatmapEngine::release();
    } catch (const std::bad_alloc&) {
        raise(PyExc_MemoryError, "not enough memory for the density of \"" + handle.name + "\"");
    } catch (const std::exception& error) {
        raise(PyExc_RuntimeError, error.what());
    }
    py::array_t<float> array({py::ssize_t{kGridSide}, py::ssize_t{kGridSide}});
    std::memcpy(array.mutable_data(), cells.data(), cells.size() * sizeof(float));
    const ControlSettings& settings = options.settings;
    const HeatmapEngine::TableShape table = HeatmapEngine::tableShape(settings);
    py::dict info;
    info["frame"] = frameTuple(s.frame);
    info["units"] = gridValuesUnits(values) + std::string(options.perDay && values != GridValues::display ? "/day" : "");
    info["sigma"] = static_cast<double>(settings.sigma);
    info["sigma_metres"] = static_cast<double>(settings.sigma) * cellHeightMetres(s.frame);
    info["table_rows"] = table.rows;
    info["table_cols"] = table.cols;
    info["mode_mask"] = settings.mode_mask;
    info["time_window"] = py::make_tuple(settings.min_time, settings.max_time);
    info["scale"] = logScale ? "log" : "linear";
    info["max_density"] = densest;
    info["samples"] = s.totals.samples;
    info["days"] = days;
    info["engine"] = "summary";
    return py::make_tuple(array, info);
}

// The summary of samples given in degrees, placed as density() places them;
// days: None or days since 1970-01-01 (kUnknownDay for none).
SummaryHandle summarize(const DoubleArray& lat, const DoubleArray& lon, const py::object& modes,
                        const py::object& seconds, const py::object& dayArgument, const py::object& frameArgument,
                        const std::string& stepText, const std::string& clock, const std::string& name) {
    const std::size_t n = static_cast<std::size_t>(lat.size());
    if (static_cast<std::size_t>(lon.size()) != n)
        raise(PyExc_ValueError, "lat and lon differ in length (" + std::to_string(n) + " and " +
                                    std::to_string(lon.size()) + ")");
    const auto step = parseSummaryStep(stepText);
    if (!step) raise(PyExc_ValueError, "step \"" + stepText + "\" is not one of 1m, 5m, 10m, 15m, 30m, 60m");
    std::optional<IntArray> modeArray, secondArray, dayArray;
    for (const auto& [given, array, label] :
         {std::tuple{&modes, &modeArray, "mode"}, std::tuple{&seconds, &secondArray, "seconds"},
          std::tuple{&dayArgument, &dayArray, "days"}}) {
        if (given->is_none()) continue;
        *array = given->cast<IntArray>();
        if (static_cast<std::size_t>((*array)->size()) != n)
            raise(PyExc_ValueError, std::string(label) + " holds " + std::to_string((*array)->size()) +
                                        " values for " + std::to_string(n) + " samples");
    }
    const double* latitudes = lat.data();
    const double* longitudes = lon.data();
    const GeoFrame frame = chooseDensityFrame(frameArgument, latitudes, longitudes, n);
    const std::int32_t* modeValues = modeArray ? modeArray->data() : nullptr;
    const std::int32_t* secondValues = secondArray ? secondArray->data() : nullptr;
    const std::int32_t* dayValues = dayArray ? dayArray->data() : nullptr;
    try {
        py::gil_scoped_release unlocked;
        engine::SummaryBuilder builder(frame, *step, clock);
        // A chunk at a time: memory stays the builder's, not a copy of the arrays.
        constexpr std::size_t kChunk = std::size_t{1} << 20;
        std::vector<Datapoint> points;
        std::vector<std::int32_t> days;
        points.reserve(std::min(n, kChunk));
        for (std::size_t first = 0; first < n; first += kChunk) {
            points.clear();
            days.clear();
            for (std::size_t i = first; i < std::min(n, first + kChunk); ++i) {
                // A position that is no number is read and dropped, as the builder counts it.
                points.emplace_back(placeOnAxis(latitudes[i], frame.south, frame.north),
                                    placeOnAxis(longitudes[i], frame.west, frame.east),
                                    static_cast<TransportationMode>(modeValues ? modeValues[i] : mode::UNKNOWN),
                                    secondValues ? secondValues[i] : 0);
                if (dayValues) days.push_back(dayValues[i]);
            }
            builder.add(points.data(), dayValues ? days.data() : nullptr, points.size());
        }
        return SummaryHandle{std::make_shared<const Summary>(builder.finish()), name};
    } catch (const std::bad_alloc&) {
        raise(PyExc_MemoryError, "not enough memory to summarise " + std::to_string(n) + " samples");
    }
}

// The signal handlers of a Python process, kept while a tool runs: the tool
// installs its own (which remove its temporary file and end the process),
// and Python's (Ctrl-C as KeyboardInterrupt) come back after it.
class SignalHandlersKept {
public:
    SignalHandlersKept() {
        for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGXCPU,
                                 SIGVTALRM, SIGPROF, SIGXFSZ}) {
            struct sigaction action {};
            if (::sigaction(signal, nullptr, &action) == 0) kept_.emplace_back(signal, action);
        }
    }
    ~SignalHandlersKept() {
        for (const auto& [signal, action] : kept_) ::sigaction(signal, &action, nullptr);
    }
    SignalHandlersKept(const SignalHandlersKept&) = delete;
    SignalHandlersKept& operator=(const SignalHandlersKept&) = delete;

private:
    std::vector<std::pair<int, struct sigaction>> kept_;
};

// What trackora-summary build makes of `arguments` (its inputs and
// options, without -o): the tool itself runs, into a temporary file that is
// read back and removed, so the summary is the tool's to the byte and a
// failure is its first line.
SummaryHandle summarizeFiles(const std::vector<std::string>& arguments, const std::string& name) {
    std::ostringstream out, err;
    int status = 0;
    Summary summary;
    {
        py::gil_scoped_release unlocked;
        std::random_device entropy;
        const std::filesystem::path folder = std::filesystem::temp_directory_path();
        const std::filesystem::path target =
            folder / ("trackora-" + std::to_string(::getpid()) + "-" + std::to_string(entropy()) + ".tsum");
        std::vector<std::string> args{"build"};
        args.insert(args.end(), arguments.begin(), arguments.end());
        args.insert(args.end(), {"-o", target.string()});
        {
            const SignalHandlersKept python;
            status = runSummaryTool(args, out, err);
        }
        if (status == 0) {
            try {
                summary = readSummary(target.string());
            } catch (const std::exception& error) {
                err << "trackora-summary: " << error.what() << "\n";
                status = 1;
            }
        }
        std::error_code ignored;
        std::filesystem::remove(target, ignored);
    }
    if (status != 0) {
        std::string line = err.str();
        line = line.substr(0, line.find('\n'));
        const std::string prefix = "trackora-summary: ";
        if (line.rfind(prefix, 0) == 0) line = line.substr(prefix.size());
        raise(status == 2 ? PyExc_ValueError : PyExc_OSError, line);
    }
    return SummaryHandle{std::make_shared<const Summary>(std::move(summary)), name};
}

// trackora-import --box fit's frame for positions gathered from several
// shards (a first pass over them, for one frame to summarise all in).
py::tuple fitFrameOf(const FloatArray& lat, const FloatArray& lon) {
    std::vector<float> latitudes(lat.data(), lat.data() + lat.size());
    std::vector<float> longitudes(lon.data(), lon.data() + lon.size());
    GeoFrame frame;
    {
        py::gil_scoped_release unlocked;
        frame = fitFrame(latitudes, longitudes);
    }
    return frameTuple(frame);
}

SummaryHandle citySummary(std::uint64_t seed, std::uint64_t shard, std::uint64_t samples, const std::string& stepText) {
    const auto step = parseSummaryStep(stepText);
    if (!step) raise(PyExc_ValueError, "step \"" + stepText + "\" is not one of 1m, 5m, 10m, 15m, 30m, 60m");
    py::gil_scoped_release unlocked;
    Summary summary = summariseCityShard(CityShard{seed, shard, samples, *step});
    return SummaryHandle{std::make_shared<const Summary>(std::move(summary)),
                         "city shard " + std::to_string(shard)};
}

}  // namespace

PYBIND11_MODULE(_native, module) {
    module.doc() = "Trackora's loaders and density engine; use the trackora package, not this module.";
    module.attr("GRID_SIDE") = kGridSide;
    module.attr("UNKNOWN_DAY") = kUnknownDay;
    module.attr("DEFAULT_FRAME") = frameTuple(GeoFrame{});
    module.def("open_binary", &openBinary, py::arg("path"));
    module.def("is_binary", [](const std::string& path) {
        std::error_code ignored;
        return !std::filesystem::is_directory(path, ignored) && !isTrackFile(path) && hasBinaryExtension(path);
    });
    module.def("load_other", &loadOther, py::arg("path"));
    module.def("to_degrees", &toDegrees, py::arg("stored"), py::arg("low"), py::arg("high"));
    module.def("density", &density, py::arg("lat"), py::arg("lon"), py::arg("mode"), py::arg("seconds"),
               py::arg("frame"), py::arg("options"));

    py::class_<SummaryHandle>(module, "Summary")
        .def_readonly("name", &SummaryHandle::name)
        .def("header", &summaryHeader)
        .def("to_bytes", &summaryBytes)
        .def("save", &saveSummary, py::arg("path"))
        .def("add", &addSummaries, py::arg("other"))
        .def("density", &summaryDensity, py::arg("options"));
    module.def("open_summary", &openSummary, py::arg("path"));
    module.def("summary_from_bytes", &summaryFromBytes, py::arg("data"), py::arg("name"));
    module.def("summarize", &summarize, py::arg("lat"), py::arg("lon"), py::arg("mode"), py::arg("seconds"),
               py::arg("days"), py::arg("frame"), py::arg("step"), py::arg("clock"), py::arg("name"));
    module.def("summarize_files", &summarizeFiles, py::arg("arguments"), py::arg("name"));
    module.def("fit_frame", &fitFrameOf, py::arg("lat"), py::arg("lon"));
    module.def("city_summary", &citySummary, py::arg("seed"), py::arg("shard"), py::arg("samples"),
               py::arg("step"));
}
