#include "tools/heatmap/HeatmapOptions.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <tuple>
#include <cstdio>

#include "model/GeoFrame.h"
#include "model/LoadError.h"
#include "model/ModeNames.h"

namespace {

template <typename T>
std::optional<T> parseNumber(std::string_view text) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

}  // namespace

void applyFrame(HeatmapOptions& options, const GeoFrame& frame) {
    options.settings.cell_aspect = cellAspect(frame);
    if (!options.sigmaMetres) return;
    const double metres = *options.sigmaMetres;
    const double cells = metres / cellHeightMetres(frame);
    // The largest table must still reach two sigmas north-south.
    constexpr int kLargestTable = 23169;
    if (!(cells * 4.0 + 1.0 <= kLargestTable) || static_cast<float>(cells) <= 0.0f) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "--sigma %gm is %.4g cells of this frame (%.4g m each), too large for the largest table "
                      "(%d cells a side, two sigmas to each side)",
                      metres, cells, cellHeightMetres(frame), kLargestTable);
        throw UsageError(text);
    }
    options.settings.sigma = static_cast<float>(cells);
    if (!options.sizeGiven) {
        const int reach = std::max(2, static_cast<int>(std::ceil(3.0 * cells)));
        options.settings.kernel_size = std::min(2 * reach + 1, kLargestTable);
    }
}

std::optional<std::int32_t> parseStep(std::string_view text) {
    std::int32_t unit = 1;
    if (!text.empty() && (text.back() == 's' || text.back() == 'm' || text.back() == 'h')) {
        unit = text.back() == 'h' ? 3600 : text.back() == 'm' ? 60 : 1;
        text.remove_suffix(1);
    }
    const auto count = parseNumber<std::int32_t>(text);
    if (!count || *count < 1 || *count > 86400 / unit) return std::nullopt;
    const std::int32_t seconds = *count * unit;
    if (86400 % seconds != 0) return std::nullopt;
    return seconds;
}

std::optional<std::int32_t> parseTimeOfDay(std::string_view text) {
    if (text.find(':') == std::string_view::npos) {
        const auto seconds = parseNumber<std::int32_t>(text);
        if (!seconds || *seconds < 0 || *seconds > 86400) return std::nullopt;
        return seconds;
    }
    int parts[3] = {0, 0, 0};
    int count = 0;
    while (true) {
        const auto colon = text.find(':');
        const std::string_view field = text.substr(0, colon);
        // Hours may have one digit, minutes and seconds have two.
        if (count == 3 || field.empty() || field.size() > 2 || (count > 0 && field.size() != 2)) return std::nullopt;
        const auto value = parseNumber<int>(field);
        if (!value) return std::nullopt;
        parts[count++] = *value;
        if (colon == std::string_view::npos) break;
        text.remove_prefix(colon + 1);
    }
    if (count < 2 || parts[1] > 59 || parts[2] > 59) return std::nullopt;
    const std::int32_t seconds = secondsOfDay(parts[0], parts[1], parts[2]);
    if (seconds > 86400) return std::nullopt;
    return seconds;
}

namespace {

// Options that set up the run rather than one grid: not for script lines.
bool isRunOption(const std::string& argument) {
    return argument == "--engine" || argument == "--repeat" || argument == "--normalized" ||
           argument == "--script" || argument == "--help" || argument == "-h" || argument == "--versus";
}

std::uint8_t weekdaysOption(const std::string& text) {
    const auto bits = parseWeekdays(text);
    if (!bits || *bits == 0)
        throw UsageError("--weekdays: \"" + echoText(text) +
                         "\" is not a list of weekdays (mon-fri, sat,sun, tue,thu, weekdays, weekend)");
    return *bits;
}

std::int32_t modesOption(const std::string& text) {
    const auto mask = parseModeMask(text);
    if (!mask) throw UsageError("--modes: \"" + echoText(text) + "\" is not all, a mask 0..2047 or a list of mode names");
    return *mask;
}

// --time FROM-TO: the window's ends in seconds, in order.
std::pair<std::int32_t, std::int32_t> timeOption(const std::string& text) {
    const auto dash = text.find('-');
    const auto from = dash == std::string::npos ? std::nullopt : parseTimeOfDay(std::string_view(text).substr(0, dash));
    const auto to = dash == std::string::npos ? std::nullopt : parseTimeOfDay(std::string_view(text).substr(dash + 1));
    if (!from || !to)
        throw UsageError("--time: \"" + echoText(text) + "\" is not FROM-TO in seconds (0..86400) or hh:mm[:ss]");
    if (*from > *to) throw UsageError("--time: \"" + echoText(text) + "\" starts after it ends");
    return {*from, *to};
}

// The options as typed, checked once CLI11 has taken the line apart so each
// refusal names the option and its value in the tool's own words. A repeated
// option keeps its last value.
struct TypedOptions {
    std::vector<std::string> inputs;
    std::optional<std::string> sigma, size, modes, time, engine, values, grid, png, pngSize, geotiff, cube, animate,
        fps, step, lut, repeat, script, weekdays, dates;
    bool help = false, log = false, linear = false, decorate = false, normalized = false, perDay = false;
};

// The options of a selection, both A's and --versus B's.
void describeSelection(CLI::App& app, std::optional<std::string>& modes, std::optional<std::string>& time,
                       std::optional<std::string>& weekdays, std::optional<std::string>& dates) {
    app.add_option("--modes", modes, "walk,bus,... | all | MASK 0..2047 (default all)")->type_name("LIST");
    app.add_option("--time", time, "Seconds or hh:mm[:ss], e.g. 07:00-09:00 (default 0-86400)")
        ->type_name("FROM-TO");
    app.add_option("--weekdays", weekdays,
                   "Only samples of these weekdays: mon-fri, sat,sun, fri-mon, weekdays, weekend... (the data must "
                   "have dates: INPUT.days)")
        ->type_name("LIST");
    app.add_option("--dates", dates, "Only samples of these dates, yyyy-mm-dd, both ends inclusive")
        ->type_name("FROM..TO");
}

void describeHeatmap(CLI::App& app, TypedOptions& typed, OptionScope scope) {
    app.set_help_flag();  // --help is an option like the others: the rest of the line is still checked
    app.allow_extras();   // unknown options and a second input are refused in the tool's words
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    const bool commandLine = scope == OptionScope::commandLine;
    if (commandLine) {
        app.add_option("INPUT", typed.inputs,
                       "A sample file (.bin/.dat binary, otherwise text), a raw tree, a GPS track file (.gpx, "
                       ".geojson/.json, .csv) or a summary (.tsum: the window in its steps; --dates chosen when built)")
            ->expected(0, 1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        app.add_flag("-h,--help", typed.help, "Print this help and exit");
    }
    app.add_option("--sigma", typed.sigma,
                   "Gaussian sigma in grid cells north-south (default 1), or in metres with m (60m); east-west the "
                   "table is scaled to the cells' shape on the ground, so the kernel is round in metres")
        ->type_name("S");
    app.add_option("--size", typed.size, "Odd table side in cells, 1..23169 (default 5)")->type_name("N");
    describeSelection(app, typed.modes, typed.time, typed.weekdays, typed.dates);
    app.add_flag("--log", typed.log, "Logarithmic scale (default)");
    app.add_flag("--linear", typed.linear, "Linear scale");
    if (commandLine)
        app.add_option("--engine", typed.engine, "cpu, cuda, cuda-literal or reference (default: CUDA if it works)")
            ->type_name("E");
    app.add_option("--grid", typed.grid, "Write the grid: 1000 x 1000 little-endian float32, row 0 first")
        ->type_name("FILE");
    app.add_option("--png", typed.png,
                   "Write a colour image, north up, in the frame's shape on the ground, with its world file (.pgw) "
                   "and coordinate system (FILE.aux.xml) beside it, so GIS software places it")
        ->type_name("FILE");
    app.add_option("--png-size", typed.pngSize, "Pixels on the image's longer side, 16..16384 (default 1000)")
        ->type_name("N");
    app.add_flag("--decorate", typed.decorate,
                 "Draw the legend, the graticule with its labels and a scale bar over the --png picture, as the "
                 "viewer draws them");
    app.add_option("--geotiff", typed.geotiff, "Write the grid as a Float32 GeoTIFF in EPSG:4326, north up")
        ->type_name("FILE");
    app.add_option("--values", typed.values,
                   "What --grid and --geotiff hold: density (samples per km²), display (the 0-1 levels the colours "
                   "show) or count (samples centred in each cell); default: --geotiff density, --grid display")
        ->type_name("V");
    app.add_option("--cube", typed.cube,
                   "Write one grid per step of the day (modes, kernel and --values as set; the whole day, whatever "
                   "--time says) as CF NetCDF")
        ->type_name("FILE");
    app.add_option("--animate", typed.animate,
                   "Write the day as a video, one frame per step over the map, the colours locked to the day's "
                   "densest step: .mp4, .webm, .mkv, .mov or .gif through ffmpeg, or PNG files for a name holding "
                   "%04d (numbered from 0001)")
        ->type_name("FILE");
    app.add_option("--fps", typed.fps, "The video's frames per second, 1..60 (default 8)")->type_name("N");
    app.add_option("--step", typed.step, "The cube's or video's step: 15m (default), 1h, 30s..., dividing the day")
        ->type_name("S");
    app.add_option("--lut", typed.lut, "Colour table for --png (default resources/lut.png)")->type_name("FILE");
    if (commandLine) {
        app.add_flag("--normalized", typed.normalized, "Text input holds normalised coordinates, not degrees");
        app.add_option("--repeat", typed.repeat, "Compute N times and print the median time")->type_name("N");
    }
    app.add_flag("--per-day", typed.perDay,
                 "Densities and counts divided by the days the selection covers (its dates within the data's first "
                 "and last, on its weekdays)");
    if (commandLine) {
        // Listed for the help only: the arguments are split at --versus before parsing.
        const std::string versusHelp =
            "[B] Everything after it is a second selection B (--modes, --time, --weekdays, --dates, --input FILE "
            "of the same frame; each defaults as above); --grid, --geotiff and --png then hold A per day minus B "
            "per day, in samples per km2 (or --values count)";
        app.add_flag("--versus", versusHelp);
        app.add_option("--script", typed.script,
                       "One compute per line of FILE, each line a full set of the settings and output options "
                       "above; prints each line's compute time, then the median, 99th percentile and maximum")
            ->type_name("FILE");
    }
}

// Runs CLI11 over `arguments`, turning its refusals into the tool's one-line
// messages: "--size needs a value" where a value is missing; the first
// argument it did not take goes to `unused` (empty when all were taken).
void parseWith(CLI::App& app, const std::vector<std::string>& arguments, std::string& unused,
               const std::string& prefix) {
    try {
        std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());  // CLI11 takes them last first
        app.parse(reversed);
    } catch (const CLI::ArgumentMismatch& e) {
        // CLI11's words for a missing value: "--size: 1 required S missing".
        const std::string text = e.what();
        if (text.size() > 8 && text.compare(text.size() - 8, 8, " missing") == 0)
            throw UsageError(prefix + echoText(text.substr(0, text.find(':'))) + " needs a value");
        throw UsageError(prefix + echoText(text));
    } catch (const CLI::ConversionError& e) {
        // A value given to a flag ("--log=x"): CLI11's "Could not convert: --log = x".
        const std::string text = e.what();
        const std::size_t name = text.find("--");
        if (name == std::string::npos) throw UsageError(prefix + echoText(text));
        throw UsageError(prefix + echoText(text.substr(name, text.find(' ', name) - name)) + " takes no value");
    } catch (const CLI::ParseError& e) {
        throw UsageError(prefix + echoText(e.what()));
    }
    const std::vector<std::string> left = app.remaining();
    unused = left.empty() ? std::string() : left.front();
}

// Where --versus starts in `arguments` (their size when it is absent): the
// first "--versus" that is not the value of an option before it.
std::size_t versusPosition(const CLI::App& app, const std::vector<std::string>& arguments) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--versus") return i;
        const CLI::Option* option = app.get_option_no_throw(arguments[i]);
        if (option != nullptr && option->get_expected_min() > 0) ++i;
    }
    return arguments.size();
}

// Everything after --versus: the second selection.
HeatmapOptions::Versus parseVersus(const std::vector<std::string>& arguments) {
    CLI::App app{"", "--versus"};
    app.set_help_flag();
    app.allow_extras();
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    std::optional<std::string> modes, time, weekdays, dates, input;
    describeSelection(app, modes, time, weekdays, dates);
    app.add_option("--input", input, "The sample file B is taken from");
    std::string unused;
    parseWith(app, arguments, unused, "--versus: ");
    if (!app.remaining().empty())
        throw UsageError("--versus: " +
                         (unused.empty() || unused[0] != '-' ? "\"" + echoText(unused) + "\"" : echoText(unused)) +
                         " is not one of the options of a selection (--modes, --time, --weekdays, --dates, "
                         "--input); every option after --versus belongs to the second selection");
    HeatmapOptions::Versus versus;
    if (modes) versus.modeMask = modesOption(*modes);
    if (time) std::tie(versus.minTime, versus.maxTime) = timeOption(*time);
    if (weekdays) versus.days.weekdays = weekdaysOption(*weekdays);
    if (dates) std::tie(versus.days.first, versus.days.last) = parseDateRange("--dates", *dates);
    if (input) {
        if (input->empty()) throw UsageError("--versus: --input needs a file name");
        versus.input = *input;
    }
    return versus;
}

}  // namespace

std::pair<std::int32_t, std::int32_t> parseDateRange(const std::string& option, std::string_view text) {
    const auto dots = text.find("..");
    const auto from = dots == std::string_view::npos ? std::nullopt : parseDay(text.substr(0, dots));
    const auto to = dots == std::string_view::npos ? std::nullopt : parseDay(text.substr(dots + 2));
    if (!from || !to)
        throw UsageError(option + ": \"" + echoText(std::string(text)) +
                         "\" is not FROM..TO, two dates yyyy-mm-dd the calendar has (2008-01-01..2008-12-31)");
    if (*from > *to) throw UsageError(option + ": \"" + echoText(std::string(text)) + "\" starts after it ends");
    return {*from, *to};
}

std::string dayFilterText(const DayFilter& days) {
    static const char* const kNames[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
    std::string text;
    if (days.weekdays != 0x7f) {
        for (int d = 0; d < 7; ++d)
            if ((days.weekdays >> d) & 1) text += std::string(text.empty() ? "" : ",") + kNames[d];
    } else {
        text = "every weekday";
    }
    if (days.first != DayFilter{}.first || days.last != DayFilter{}.last)
        text += ", " + formatDay(days.first) + ".." + formatDay(days.last);
    return text;
}

std::string heatmapUsage() {
    CLI::App app{"The density grid of GPS samples, written as a grid, an image, a GeoTIFF, a cube or a video.",
                 "trackora-heatmap"};
    TypedOptions typed;
    describeHeatmap(app, typed, OptionScope::commandLine);
    return app.help();
}

HeatmapOptions parseHeatmapOptions(const std::vector<std::string>& arguments, OptionScope scope) {
    HeatmapOptions options;
    options.settings.mode_mask = kAllModes;
    for (bool& ticked : options.settings.mode_selected) ticked = true;

    CLI::App app;
    TypedOptions typed;
    describeHeatmap(app, typed, scope);
    const std::size_t versus =
        scope == OptionScope::commandLine ? versusPosition(app, arguments) : arguments.size();
    std::string unused;
    parseWith(app, std::vector<std::string>(arguments.begin(), arguments.begin() + versus), unused, "");
    if (!app.remaining().empty()) {
        const bool option = !unused.empty() && unused[0] == '-';
        if (scope == OptionScope::scriptLine)
            throw UsageError(!option                ? "\"" + echoText(unused) + "\": a script line holds options only"
                             : isRunOption(unused) ? echoText(unused) + " is not allowed on a script line"
                                                   : "unknown option " + echoText(unused));
        if (option) throw UsageError("unknown option " + echoText(unused));
        typed.inputs.push_back(unused);
    }
    if (typed.inputs.size() > 1)
        throw UsageError("more than one input: \"" + echoPath(typed.inputs[0]) + "\" and \"" +
                         echoPath(typed.inputs[1]) + "\"");
    if (!typed.inputs.empty()) options.input = typed.inputs.front();
    options.help = typed.help;

    // The first settings or output option given, and the later of --log and --linear.
    std::string lineOption;
    for (const CLI::Option* given : app.parse_order()) {
        const std::string name = given->get_name();
        if (lineOption.empty() && !isRunOption(name) && name != "INPUT") lineOption = name;
        if (name == "--log" || name == "--linear") options.settings.use_log_scale = name == "--log";
    }

    if (typed.sigma) {
        const std::string& text = *typed.sigma;
        if (!text.empty() && text.back() == 'm') {
            const auto metres = parseNumber<double>(std::string_view(text).substr(0, text.size() - 1));
            if (!metres || !std::isfinite(*metres) || *metres <= 0.0)
                throw UsageError("--sigma: \"" + echoText(text) + "\" is not a positive number of metres");
            options.sigmaMetres = *metres;
        } else {
            const auto sigma = parseNumber<float>(text);
            if (!sigma || !std::isfinite(*sigma) || *sigma <= 0.0f)
                throw UsageError("--sigma: \"" + echoText(text) + "\" is not a positive number");
            options.settings.sigma = *sigma;
        }
    }
    if (typed.size) {
        const auto size = parseNumber<int>(*typed.size);
        if (!size || *size < 1 || *size > 23169 || *size % 2 == 0)
            throw UsageError("--size: \"" + echoText(*typed.size) + "\" is not an odd number from 1 to 23169");
        options.settings.kernel_size = *size;
        options.sizeGiven = true;
    }
    if (typed.modes) {
        const std::int32_t mask = modesOption(*typed.modes);
        options.settings.mode_mask = mask;
        for (int bit = 0; bit < kModeCount; ++bit) options.settings.mode_selected[bit] = (mask >> bit) & 1;
    }
    if (typed.time) std::tie(options.settings.min_time, options.settings.max_time) = timeOption(*typed.time);
    if (typed.engine) {
        options.engine = *typed.engine;
        if (options.engine != "cpu" && options.engine != "cuda" && options.engine != "cuda-literal" &&
            options.engine != "reference")
            throw UsageError("--engine: \"" + echoText(options.engine) + "\" is not cpu, cuda, cuda-literal or reference");
    }
    if (typed.values) {
        options.values = parseGridValues(*typed.values);
        if (!options.values)
            throw UsageError("--values: \"" + echoText(*typed.values) + "\" is not density, display or count");
    }
    options.gridPath = typed.grid.value_or("");
    options.pngPath = typed.png.value_or("");
    if (typed.pngSize) {
        const auto size = parseNumber<int>(*typed.pngSize);
        if (!size || *size < 16 || *size > 16384)
            throw UsageError("--png-size: \"" + echoText(*typed.pngSize) + "\" is not a number of pixels from 16 to 16384");
        options.pngSize = *size;
    }
    options.geotiffPath = typed.geotiff.value_or("");
    options.cubePath = typed.cube.value_or("");
    options.decorate = typed.decorate;
    options.animatePath = typed.animate.value_or("");
    if (typed.fps) {
        const auto fps = parseNumber<int>(*typed.fps);
        if (!fps || *fps < 1 || *fps > 60)
            throw UsageError("--fps: \"" + echoText(*typed.fps) + "\" is not a number of frames per second from 1 to 60");
        options.fps = *fps;
    }
    if (typed.step) {
        const auto step = parseStep(*typed.step);
        if (!step) throw UsageError("--step: \"" + echoText(*typed.step) + "\" is not a step that divides the day (15m, 1h, 90s)");
        options.stepSeconds = *step;
    }
    if (typed.lut) options.lutPath = *typed.lut;
    options.textNormalized = typed.normalized;
    if (typed.repeat) {
        const auto repeat = parseNumber<int>(*typed.repeat);
        if (!repeat || *repeat < 1) throw UsageError("--repeat: \"" + echoText(*typed.repeat) + "\" is not a positive count");
        options.repeat = *repeat;
    }
    options.scriptPath = typed.script.value_or("");
    if (typed.weekdays) {
        options.days.weekdays = weekdaysOption(*typed.weekdays);
        options.daysGiven = true;
    }
    if (typed.dates) {
        std::tie(options.days.first, options.days.last) = parseDateRange("--dates", *typed.dates);
        options.daysGiven = true;
    }
    options.perDay = typed.perDay;
    if (versus < arguments.size())
        options.versus = parseVersus(std::vector<std::string>(arguments.begin() + versus + 1, arguments.end()));
    if (options.stepSeconds != 0 && options.cubePath.empty() && options.animatePath.empty())
        throw UsageError("--step goes with --cube or --animate");
    if (options.decorate && options.pngPath.empty()) throw UsageError("--decorate goes with --png");
    // A video computes every step of the day on its own: one per run.
    if (scope == OptionScope::scriptLine && !options.animatePath.empty())
        throw UsageError("--animate goes on the command line, not on a --script line");
    if (scope == OptionScope::scriptLine) return options;
    if (!options.scriptPath.empty() && !options.animatePath.empty())
        throw UsageError("--animate does not go with --script");
    if (!options.help && options.input.empty()) throw UsageError("no input file given");
    if (!options.scriptPath.empty() && !lineOption.empty())
        throw UsageError(lineOption + " goes on the lines of the --script file, not beside it");
    if (!options.scriptPath.empty() && options.repeat != 1) throw UsageError("--repeat does not go with --script");
    if (options.versus) {
        if (options.values == GridValues::display)
            throw UsageError("--versus: the difference is in samples per km2 per day or, with --values count, "
                             "samples per day; --values display has no difference");
        if (!options.cubePath.empty()) throw UsageError("--versus does not go with --cube");
        if (!options.scriptPath.empty()) throw UsageError("--versus does not go with --script");
    }
    return options;
}
