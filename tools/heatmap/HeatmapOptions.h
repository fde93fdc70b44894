#pragma once
// Command-line options of trackora-heatmap, parsed into the settings the
// viewer would use. Separate from main so the tests can check the parsing.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "settings/ControlSettings.h"
#include "app/GridValues.h"
#include "model/SampleDays.h"

struct HeatmapOptions {
    std::string input;
    ControlSettings settings;  // the viewer's defaults, but every mode selected
    std::string engine;        // "", "cpu", "cuda" or "reference"
    std::string gridPath;
    std::string pngPath;
    int pngSize = 1000;  // pixels on the picture's longer side
    bool decorate = false;  // --decorate: the legend, graticule, scale bar over the --png picture
    std::string cubePath;        // --cube: one grid per step of the day, as NetCDF
    std::int32_t stepSeconds = 0;  // --step; 0: not given (15 minutes for a cube or a video)
    std::string animatePath;       // --animate: the day as a video, a frame per step
    int fps = 8;                   // --fps: the video's frames per second
    std::string geotiffPath;
    // --values: what --grid and --geotiff hold; without it --grid holds
    // display levels and --geotiff samples per km².
    std::optional<GridValues> values;
    std::string lutPath = "resources/lut.png";
    bool textNormalized = false;  // text input already holds normalised coordinates
    int repeat = 1;
    std::string scriptPath;  // --script: one compute per line of this file
    bool help = false;
    // --sigma given in metres ("60m"): turned into cells once the frame is
    // known (applyFrame); without --size the table then reaches three sigmas.
    std::optional<double> sigmaMetres;
    bool sizeGiven = false;
    // --weekdays and --dates: the days whose samples are taken (the data
    // must have dates); --per-day divides densities and counts by the
    // number of days the selection covers.
    DayFilter days;
    bool daysGiven = false;
    bool perDay = false;
    // --versus: the selection whose per-day values are subtracted (its
    // modes, window and days; kernel, sigma and size are this one's), and
    // the sample file it is taken from ("": the same input).
    struct Versus {
        std::int32_t modeMask = kAllModes;
        std::int32_t minTime = 0;
        std::int32_t maxTime = 86400;
        DayFilter days;
        std::string input;
    };
    std::optional<Versus> versus;
};

// Where options are read: the command line, or one line of a --script file,
// which takes the settings and output options only (no input, no --engine,
// --repeat, --normalized or --script).
enum class OptionScope { commandLine, scriptLine };

// A usage error, worded for the user.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses with CLI11; throws UsageError naming the option and what was wrong
// with it, in one line.
HeatmapOptions parseHeatmapOptions(const std::vector<std::string>& arguments,
                                   OptionScope scope = OptionScope::commandLine);

struct GeoFrame;
// Fits the settings to the samples' frame: the cells' aspect on the ground,
// and a sigma given in metres in cells north-south. Throws UsageError when
// that sigma is too large for the largest table.
void applyFrame(HeatmapOptions& options, const GeoFrame& frame);

// "15m", "1h", "30s" or plain seconds: a step that divides the day into
// whole steps (1 s to 24 h); nothing otherwise.
std::optional<std::int32_t> parseStep(std::string_view text);

// "25200", "07:00" or "07:00:30": seconds since midnight, 0..86400.
std::optional<std::int32_t> parseTimeOfDay(std::string_view text);

// "2008-01-01..2008-12-31": both ends inclusive, FROM not after TO.
// Throws UsageError naming `option` and what is wrong.
std::pair<std::int32_t, std::int32_t> parseDateRange(const std::string& option, std::string_view text);

// The modes, window and days of a selection, for messages:
// "modes walk,bus; 07:00:00-09:00:00; sat,sun; 2008-01-01..2008-12-31".
std::string dayFilterText(const DayFilter& days);

// The help CLI11 generates from the options' descriptions.
std::string heatmapUsage();
