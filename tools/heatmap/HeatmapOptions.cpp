#include "tools/heatmap/HeatmapOptions.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <tuple>
#include <cstdio>

#include "model/GeoFrame.h"
#include "model/LoadError.h"
#include "model/ModeNames.h"

const char* const kHeatmapUsage =
    "usage: trackora-heatmap INPUT [options]\n"
    "  INPUT                 a sample file (.bin/.dat binary, otherwise text), a raw tree,\n"
    "                        a GPS track file (.gpx, .geojson/.json, .csv) or a summary\n"
    "                        (.tsum: the window in its steps; --dates chosen when built)\n"
    "  --sigma S             Gaussian sigma in grid cells north-south (default 1), or in\n"
    "                        metres with m (60m); east-west the table is scaled to the\n"
    "                        cells' shape on the ground, so the kernel is round in metres\n"
    "  --size N              odd table side in cells, 1..23169 (default 5)\n"
    "  --modes LIST          walk,bus,... | all | MASK 0..2047 (default all)\n"
    "  --time FROM-TO        seconds or hh:mm[:ss], e.g. 07:00-09:00 (default 0-86400)\n"
    "  --log | --linear      logarithmic (default) or linear scale\n"
    "  --engine E            cpu, cuda, cuda-literal or reference (default: CUDA if it works)\n"
    "  --grid FILE           write the grid: 1000 x 1000 little-endian float32, row 0 first\n"
    "  --png FILE            write a colour image, north up, in the frame's shape on the\n"
    "                        ground, with its world file (.pgw) and coordinate system\n"
    "                        (FILE.aux.xml) beside it, so GIS software places it\n"
    "  --png-size N          pixels on the image's longer side, 16..16384 (default 1000)\n"
    "  --decorate            draw the legend, the graticule with its labels and a scale bar\n"
    "                        over the --png picture, as the viewer draws them\n"
    "  --geotiff FILE        write the grid as a Float32 GeoTIFF in EPSG:4326, north up\n"
    "  --values V            what --grid and --geotiff hold: density (samples per km²),\n"
    "                        display (the 0-1 levels the colours show) or count (samples\n"
    "                        centred in each cell); default: --geotiff density, --grid display\n"
    "  --cube FILE           write one grid per step of the day (modes, kernel and --values\n"
    "                        as set; the whole day, whatever --time says) as CF NetCDF\n"
    "  --animate FILE        write the day as a video, one frame per step over the map,\n"
    "                        the colours locked to the day's densest step: .mp4, .webm,\n"
    "                        .mkv, .mov or .gif through ffmpeg, or PNG files for a name\n"
    "                        holding %04d (numbered from 0001)\n"
    "  --fps N               the video's frames per second, 1..60 (default 8)\n"
    "  --step S              the cube's or video's step: 15m (default), 1h, 30s..., dividing\n"
    "                        the day\n"
    "  --lut FILE            colour table for --png (default resources/lut.png)\n"
    "  --normalized          text input holds normalised coordinates, not degrees\n"
    "  --repeat N            compute N times and print the median time\n"
    "  --weekdays LIST       only samples of these weekdays: mon-fri, sat,sun, fri-mon,\n"
    "                        weekdays, weekend... (the data must have dates: INPUT.days)\n"
    "  --dates FROM..TO      only samples of these dates, yyyy-mm-dd, both ends inclusive\n"
    "  --per-day             densities and counts divided by the days the selection covers\n"
    "                        (its dates within the data's first and last, on its weekdays)\n"
    "  --versus [B]          everything after it is a second selection B (--modes, --time,\n"
    "                        --weekdays, --dates, --input FILE of the same frame; each\n"
    "                        defaults as above); --grid, --geotiff and --png then hold A per\n"
    "                        day minus B per day, in samples per km2 (or --values count)\n"
    "  --script FILE         one compute per line of FILE, each line a full set of the\n"
    "                        settings and output options above; prints each line's\n"
    "                        compute time, then the median, 99th percentile and maximum\n";

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

// Everything after --versus: the second selection.
HeatmapOptions::Versus parseVersus(const std::vector<std::string>& arguments, std::size_t from) {
    HeatmapOptions::Versus versus;
    for (std::size_t i = from; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument != "--modes" && argument != "--time" && argument != "--weekdays" && argument != "--dates" &&
            argument != "--input")
            throw UsageError("--versus: " + (argument.empty() || argument[0] != '-' ? "\"" + echoText(argument) + "\"" : echoText(argument)) +
                             " is not one of the options of a selection (--modes, --time, --weekdays, --dates, "
                             "--input); every option after --versus belongs to the second selection");
        if (i + 1 >= arguments.size()) throw UsageError("--versus: " + argument + " needs a value");
        const std::string& text = arguments[++i];
        if (argument == "--modes") {
            versus.modeMask = modesOption(text);
        } else if (argument == "--time") {
            std::tie(versus.minTime, versus.maxTime) = timeOption(text);
        } else if (argument == "--weekdays") {
            versus.days.weekdays = weekdaysOption(text);
        } else if (argument == "--dates") {
            std::tie(versus.days.first, versus.days.last) = parseDateRange(argument, text);
        } else {
            if (text.empty()) throw UsageError("--versus: --input needs a file name");
            versus.input = text;
        }
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

HeatmapOptions parseHeatmapOptions(const std::vector<std::string>& arguments, OptionScope scope) {
    HeatmapOptions options;
    options.settings.mode_mask = kAllModes;
    for (bool& ticked : options.settings.mode_selected) ticked = true;
    std::string lineOption;  // the first settings or output option given
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool option = !argument.empty() && argument[0] == '-';
        if (scope == OptionScope::scriptLine && (!option || isRunOption(argument)))
            throw UsageError(option ? echoText(argument) + " is not allowed on a script line"
                                    : "\"" + echoText(argument) + "\": a script line holds options only");
        if (option && !isRunOption(argument) && lineOption.empty()) lineOption = argument;
        const auto value = [&]() -> const std::string& {
            if (i + 1 >= arguments.size()) throw UsageError(echoText(argument) + " needs a value");
            return arguments[++i];
        };
        if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--sigma") {
            const std::string& text = value();
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
                options.sigmaMetres.reset();
            }
        } else if (argument == "--size") {
            const std::string& text = value();
            const auto size = parseNumber<int>(text);
            if (!size || *size < 1 || *size > 23169 || *size % 2 == 0)
                throw UsageError("--size: \"" + echoText(text) + "\" is not an odd number from 1 to 23169");
            options.settings.kernel_size = *size;
            options.sizeGiven = true;
        } else if (argument == "--modes") {
            const std::int32_t mask = modesOption(value());
            options.settings.mode_mask = mask;
            for (int bit = 0; bit < kModeCount; ++bit) options.settings.mode_selected[bit] = (mask >> bit) & 1;
        } else if (argument == "--time") {
            std::tie(options.settings.min_time, options.settings.max_time) = timeOption(value());
        } else if (argument == "--log") {
            options.settings.use_log_scale = true;
        } else if (argument == "--linear") {
            options.settings.use_log_scale = false;
        } else if (argument == "--engine") {
            options.engine = value();
            if (options.engine != "cpu" && options.engine != "cuda" && options.engine != "cuda-literal" &&
                options.engine != "reference")
                throw UsageError("--engine: \"" + echoText(options.engine) + "\" is not cpu, cuda, cuda-literal or reference");
        } else if (argument == "--values") {
            const std::string& text = value();
            options.values = parseGridValues(text);
            if (!options.values)
                throw UsageError("--values: \"" + echoText(text) + "\" is not density, display or count");
        } else if (argument == "--grid") {
            options.gridPath = value();
        } else if (argument == "--png") {
            options.pngPath = value();
        } else if (argument == "--png-size") {
            const std::string& text = value();
            const auto size = parseNumber<int>(text);
            if (!size || *size < 16 || *size > 16384)
                throw UsageError("--png-size: \"" + echoText(text) + "\" is not a number of pixels from 16 to 16384");
            options.pngSize = *size;
        } else if (argument == "--geotiff") {
            options.geotiffPath = value();
        } else if (argument == "--cube") {
            options.cubePath = value();
        } else if (argument == "--decorate") {
            options.decorate = true;
        } else if (argument == "--animate") {
            options.animatePath = value();
        } else if (argument == "--fps") {
            const std::string text = value();
            const auto fps = parseNumber<int>(text);
            if (!fps || *fps < 1 || *fps > 60)
                throw UsageError("--fps: \"" + echoText(text) + "\" is not a number of frames per second from 1 to 60");
            options.fps = *fps;
        } else if (argument == "--step") {
            const std::string& text = value();
            const auto step = parseStep(text);
            if (!step) throw UsageError("--step: \"" + echoText(text) + "\" is not a step that divides the day (15m, 1h, 90s)");
            options.stepSeconds = *step;
        } else if (argument == "--lut") {
            options.lutPath = value();
        } else if (argument == "--normalized") {
            options.textNormalized = true;
        } else if (argument == "--repeat") {
            const std::string& text = value();
            const auto repeat = parseNumber<int>(text);
            if (!repeat || *repeat < 1) throw UsageError("--repeat: \"" + echoText(text) + "\" is not a positive count");
            options.repeat = *repeat;
        } else if (argument == "--script") {
            options.scriptPath = value();
        } else if (argument == "--weekdays") {
            options.days.weekdays = weekdaysOption(value());
            options.daysGiven = true;
        } else if (argument == "--dates") {
            std::tie(options.days.first, options.days.last) = parseDateRange(argument, value());
            options.daysGiven = true;
        } else if (argument == "--per-day") {
            options.perDay = true;
        } else if (argument == "--versus") {
            options.versus = parseVersus(arguments, i + 1);
            break;
        } else if (!argument.empty() && argument[0] == '-') {
            throw UsageError("unknown option " + echoText(argument));
        } else if (options.input.empty()) {
            options.input = argument;
        } else {
            throw UsageError("more than one input: \"" + echoPath(options.input) + "\" and \"" + echoPath(argument) + "\"");
        }
    }
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
