// trackora-heatmap: option parsing, and one run end to end whose grid must
// equal the engine's.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <stb_image.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../TempDir.h"
#include "engine/HeatmapEngine.h"
#include "model/GeoFrame.h"
#include "tools/heatmap/HeatmapOptions.h"
#include "tools/heatmap/HeatmapScript.h"

namespace {

HeatmapOptions parse(std::vector<std::string> arguments) { return parseHeatmapOptions(arguments); }

TEST(HeatmapToolOptions, DefaultsAreTheViewersWithEveryModeSelected) {
    const auto options = parse({"in.bin"});
    EXPECT_EQ(options.input, "in.bin");
    EXPECT_EQ(options.settings.mode_mask, kAllModes);
    EXPECT_EQ(options.settings.kernel_size, 5);
    EXPECT_EQ(options.settings.sigma, 1.0f);
    EXPECT_EQ(options.settings.min_time, 0);
    EXPECT_EQ(options.settings.max_time, 86400);
    EXPECT_TRUE(options.settings.use_log_scale);
    EXPECT_EQ(options.repeat, 1);
}

TEST(HeatmapToolOptions, ReadsEverySetting) {
    const auto options = parse({"--sigma", "2.5", "--size", "21", "--modes", "walk,bus", "--time", "07:00-09:00:30",
                                "--linear", "--engine", "reference", "--grid", "g", "--png", "p", "--repeat", "7",
                                "x.txt"});
    EXPECT_EQ(options.settings.sigma, 2.5f);
    EXPECT_EQ(options.settings.kernel_size, 21);
    EXPECT_EQ(options.settings.mode_mask, mode::WALK | mode::BUS);
    EXPECT_TRUE(options.settings.mode_selected[1] && options.settings.mode_selected[3]);
    EXPECT_FALSE(options.settings.mode_selected[0]);
    EXPECT_EQ(options.settings.min_time, 25200);
    EXPECT_EQ(options.settings.max_time, 32430);
    EXPECT_FALSE(options.settings.use_log_scale);
    EXPECT_EQ(options.engine, "reference");
    EXPECT_EQ(options.gridPath, "g");
    EXPECT_EQ(options.pngPath, "p");
    EXPECT_EQ(options.repeat, 7);
    EXPECT_EQ(parse({"a", "--time", "25200-32400"}).settings.max_time, 32400);
    EXPECT_EQ(parse({"a", "--modes", "1024"}).settings.mode_mask, 1024);
    EXPECT_EQ(parse({"a", "--modes", "all"}).settings.mode_mask, kAllModes);
}

// A sigma in metres is cells north-south of the samples' own frame; without
// --size the table reaches three sigmas; one the largest table cannot hold is
// refused with the cells it would take.
TEST(HeatmapToolOptions, SigmaInMetresFollowsTheFrame) {
    const GeoFrame seattle{47.425, -122.55, 47.775, -122.1};  // cells 33.7 x 38.9 m
    const struct {
        std::vector<std::string> arguments;
        GeoFrame frame;
        float sigma;
        int size;
        double aspect;
    } cases[] = {
        {{"a", "--sigma", "100m"}, seattle, 2.5693f, 17, 0.8669},
        {{"a", "--sigma", "100m", "--size", "5"}, seattle, 2.5693f, 5, 0.8669},
        {{"a", "--sigma", "38.9m"}, GeoFrame{}, 0.9995f, 7, 1.0},
        {{"a", "--sigma", "2"}, seattle, 2.0f, 5, 0.8669},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments[2]);
        HeatmapOptions options = parse(c.arguments);
        applyFrame(options, c.frame);
        EXPECT_NEAR(options.settings.sigma, c.sigma, 1e-3f);
        EXPECT_EQ(options.settings.kernel_size, c.size);
        EXPECT_NEAR(options.settings.cell_aspect, c.aspect, 1e-4);
    }
    HeatmapOptions huge = parse({"a", "--sigma", "1000000m"});
    try {
        applyFrame(huge, seattle);
        ADD_FAILURE() << "a sigma of 1000 km was taken";
    } catch (const UsageError& error) {
        EXPECT_NE(std::string(error.what()).find("too large for the largest table"), std::string::npos) << error.what();
    }
}

TEST(HeatmapToolOptions, TimesOfDay) {
    EXPECT_EQ(parseTimeOfDay("0"), 0);
    EXPECT_EQ(parseTimeOfDay("86400"), 86400);
    EXPECT_EQ(parseTimeOfDay("7:05"), 25500);
    EXPECT_EQ(parseTimeOfDay("23:59:59"), 86399);
    EXPECT_EQ(parseTimeOfDay("24:00"), 86400);
    for (const char* bad : {"", "86401", "-5", "7:5", "07:60", "07:00:60", "24:00:01", "1:2:3:4", "7h", "07:"})
        EXPECT_FALSE(parseTimeOfDay(bad)) << bad;
}

TEST(HeatmapToolOptions, UsageErrorsNameTheOption) {
    const auto message = [](std::vector<std::string> arguments) {
        try {
            parseHeatmapOptions(arguments);
        } catch (const UsageError& error) {
            return std::string(error.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message({}), "no input file given");
    EXPECT_EQ(message({"a", "--size", "4"}), "--size: \"4\" is not an odd number from 1 to 23169");
    EXPECT_EQ(message({"a", "--sigma", "0"}), "--sigma: \"0\" is not a positive number");
    EXPECT_EQ(message({"a", "--sigma", "-60m"}), "--sigma: \"-60m\" is not a positive number of metres");
    EXPECT_EQ(message({"a", "--sigma", "m"}), "--sigma: \"m\" is not a positive number of metres");
    EXPECT_EQ(message({"a", "--modes", "walk,plane"}),
              "--modes: \"walk,plane\" is not all, a mask 0..2047 or a list of mode names");
    EXPECT_EQ(message({"a", "--time", "09:00-07:00"}), "--time: \"09:00-07:00\" starts after it ends");
    EXPECT_EQ(message({"a", "--engine", "gpu"}), "--engine: \"gpu\" is not cpu, cuda, cuda-literal or reference");
    EXPECT_EQ(message({"a", "--repeat"}), "--repeat needs a value");
    EXPECT_EQ(message({"a", "--bogus"}), "unknown option --bogus");
    EXPECT_EQ(message({"a", "b"}), "more than one input: \"a\" and \"b\"");
    EXPECT_EQ(message({"a", "--script", "s", "--png", "p"}), "--png goes on the lines of the --script file, not beside it");
}

// What the parser library must not change: the later of --log and --linear
// wins, a repeated option keeps its last value, --versus as another option's
// value does not start a selection, a flag given a value and the run options
// on a script line are refused in the tool's words, and the generated help
// lists every option.
TEST(HeatmapToolOptions, OrderRepeatsAndScriptScopeSurviveTheParser) {
    const HeatmapOptions log = parseHeatmapOptions({"a", "--linear", "--log"});
    EXPECT_TRUE(log.settings.use_log_scale);
    const HeatmapOptions linear = parseHeatmapOptions({"a", "--log", "--linear", "--size", "7", "--size", "9"});
    EXPECT_FALSE(linear.settings.use_log_scale);
    EXPECT_EQ(linear.settings.kernel_size, 9);
    const HeatmapOptions named = parseHeatmapOptions({"a", "--grid", "--versus", "--versus", "--time", "0-3600"});
    EXPECT_EQ(named.gridPath, "--versus");
    ASSERT_TRUE(named.versus);
    EXPECT_EQ(named.versus->maxTime, 3600);

    const struct {
        std::vector<std::string> arguments;
        OptionScope scope;
        const char* error;
    } refused[] = {
        {{"a", "--log=x"}, OptionScope::commandLine, "--log takes no value"},
        {{"a", "--versus", "--time", "-1"}, OptionScope::commandLine,
         "--time: \"-1\" is not FROM-TO in seconds (0..86400) or hh:mm[:ss]"},
        {{"--help"}, OptionScope::scriptLine, "--help is not allowed on a script line"},
        {{"--grid", "g", "--versus"}, OptionScope::scriptLine, "--versus is not allowed on a script line"},
        {{"--grid"}, OptionScope::scriptLine, "--grid needs a value"},
    };
    for (const auto& c : refused) {
        try {
            parseHeatmapOptions(c.arguments, c.scope);
            ADD_FAILURE() << "no error, expected " << c.error;
        } catch (const UsageError& error) {
            EXPECT_EQ(std::string(error.what()), c.error);
        }
    }
    const std::string usage = heatmapUsage();
    for (const char* name : {"INPUT", "--sigma", "--size", "--modes", "--time", "--log", "--linear", "--engine",
                             "--grid", "--png ", "--png-size", "--decorate", "--geotiff", "--values", "--cube",
                             "--animate", "--fps", "--step", "--lut", "--normalized", "--repeat", "--weekdays",
                             "--dates", "--per-day", "--versus", "--script"})
        EXPECT_NE(usage.find(name), std::string::npos) << name;
}

TEST(HeatmapTool, WritesTheEnginesGrid) {
    TempDir dir;
    std::vector<Datapoint> points;
    for (int i = 0; i < 400; ++i)
        points.emplace_back(0.2f + 0.001f * (i % 37), 0.7f - 0.0013f * (i % 23), kModes[i % kModeCount], 100 * i);
    const std::string input = dir.writeRecords("points.bin", points);
    const std::string output = (dir.root() / "grid.f32").string();
    const std::string command = std::string(TRACKORA_HEATMAP_TOOL) + " " + input +
                                " --engine cpu --size 7 --sigma 2 --modes walk,car,unknown --time 00:10-10000 --grid " +
                                output + " > " + (dir.root() / "out.txt").string();
    ASSERT_EQ(std::system(command.c_str()), 0);

    std::ifstream in(output, std::ios::binary);
    std::vector<float> grid(kGridCells);
    in.read(reinterpret_cast<char*>(grid.data()), kGridCells * 4);
    ASSERT_EQ(in.gcount(), kGridCells * 4);
    EXPECT_EQ(in.peek(), EOF);

    ControlSettings settings;
    settings.kernel_size = 7;
    settings.sigma = 2.0f;
    settings.mode_mask = mode::WALK | mode::CAR | mode::UNKNOWN;
    settings.min_time = 600;
    settings.max_time = 10000;
    setenv("TRACKORA_ENGINE", "cpu", 1);
    HeatmapEngine::initialize(points, settings);
    unsetenv("TRACKORA_ENGINE");
    EXPECT_EQ(grid, HeatmapEngine::computeHeatmap(settings));
    HeatmapEngine::release();

    std::ifstream report(dir.root() / "out.txt");
    std::string first;
    std::getline(report, first);
    int used = 0;
    for (const auto& p : points) used += (p.mode == mode::WALK || p.mode == mode::CAR || p.mode == mode::UNKNOWN) && p.time >= 600 && p.time <= 10000;
    EXPECT_EQ(first, "400 points read from \"" + input + "\", " + std::to_string(used) + " pass the mode and time filters");
}

TEST(HeatmapTool, FailsWithAMessageForAMissingFile) {
    TempDir dir;
    const std::string command = std::string(TRACKORA_HEATMAP_TOOL) + " " + (dir.root() / "none.bin").string() +
                                " 2> " + (dir.root() / "err.txt").string();
    EXPECT_NE(std::system(command.c_str()), 0);
    std::ifstream err(dir.root() / "err.txt");
    std::string line;
    std::getline(err, line);
    EXPECT_NE(line.find("none.bin\": No such file or directory"), std::string::npos) << line;
}

// Outputs are checked before the load and compute, never replace the input,
// and a write that fails says why and leaves the old file.
TEST(HeatmapTool, OutputFailuresNameThePathAndKeepTheOldFile) {
    TempDir dir;
    const std::string input = dir.writeRecords("points.bin", std::vector<Datapoint>(50, Datapoint(0.5f, 0.5f, mode::WALK, 10)));
    const std::string lut = dir.write("lut.ppm", std::string("P6\n1 2\n255\n") + std::string(6, '\x40'));
    const std::string old = dir.write("old.png", "old");
    const std::string blocker = dir.write("file", "x");
    const std::string notImage = dir.write("lut.txt", "not an image");
    const std::string grid = (dir.root() / "grid.bin").string();
    struct Case {
        std::string prefix, options, message;
        bool beforeLoad;
    };
    // A colour table that cannot be read stops the run before the load, and
    // the grid asked for beside the PNG is not written (the entries counted
    // below).
    const std::vector<Case> cases = {
        {"", "--grid " + grid + " --png " + old + " --lut " + blocker + "/lut.png",
         "cannot read colour table \"" + blocker + "/lut.png\": can't fopen", true},
        {"", "--grid " + grid + " --png " + old + " --lut " + notImage,
         "cannot read colour table \"" + notImage + "\": unknown image type", true},
        {"", "--grid " + input, "cannot write \"" + input + "\": it is the input \"" + input + "\", which it would destroy", true},
        {"", "--png " + blocker + "/x.png", "cannot write \"" + blocker + "/x.png\": Not a directory", true},
        {"ulimit -f 1; ", "--png " + old, "cannot write \"" + old + "\": File too large", false},
    };
    for (const auto& c : cases) {
        const std::string command = c.prefix + TRACKORA_HEATMAP_TOOL + " " + input + " --engine cpu --lut " + lut +
                                    " " + c.options + " > " + (dir.root() / "out.txt").string() + " 2> " +
                                    (dir.root() / "err.txt").string();
        EXPECT_NE(std::system(("sh -c '" + command + "'").c_str()), 0) << c.options;
        std::ifstream err(dir.root() / "err.txt");
        std::string line;
        std::getline(err, line);
        EXPECT_EQ(line, "trackora-heatmap: " + c.message);
        std::ifstream out(dir.root() / "out.txt");
        std::string first;
        std::getline(out, first);
        EXPECT_EQ(first.empty(), c.beforeLoad) << first;
    }
    EXPECT_EQ(std::filesystem::file_size(input), 50 * sizeof(Datapoint));
    std::ifstream kept(old);
    std::string oldText;
    std::getline(kept, oldText);
    EXPECT_EQ(oldText, "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.root()), {}), 7);  // no temporary files left
}

TEST(HeatmapToolScript, BadLinesAreNamedByFileAndLine) {
    TempDir dir;
    const struct {
        const char* text;
        const char* error;  // after "FILE"
    } cases[] = {
        {"--modes all\n\n# a comment\n--size 4\n", ":4: --size: \"4\" is not an odd number from 1 to 23169"},
        {"--engine cpu\n", ":1: --engine is not allowed on a script line"},
        {"--modes all in.bin\n", ":1: \"in.bin\": a script line holds options only"},
        {"--png \"a b\n", ":1: a quote is not closed"},
        {"--time 9-8 --grid g\n", ":1: --time: \"9-8\" starts after it ends"},
        {"# nothing\n\n", ": no settings lines"},
    };
    for (const auto& c : cases) {
        const std::string path = dir.write("script.txt", c.text);
        try {
            readScript(path);
            ADD_FAILURE() << "no error for " << c.text;
        } catch (const UsageError& error) {
            EXPECT_EQ(error.what(), path + c.error);
        }
    }
    // Settings written as a line read back exactly, outputs per line too.
    ControlSettings settings;
    settings.mode_mask = mode::WALK | mode::SUBWAY;
    settings.min_time = 61;
    settings.max_time = 86400;
    settings.sigma = 2.3f;
    settings.kernel_size = 101;
    settings.use_log_scale = false;
    const auto lines = readScript(dir.write("back.txt", scriptLineFor(settings) + " --grid \"a b.f32\"\n"));
    ASSERT_EQ(lines.size(), 1u);
    const ControlSettings& read = lines[0].options.settings;
    EXPECT_EQ(read.mode_mask, settings.mode_mask);
    EXPECT_EQ(read.min_time, 61);
    EXPECT_EQ(read.max_time, 86400);
    EXPECT_EQ(read.sigma, 2.3f);
    EXPECT_EQ(read.kernel_size, 101);
    EXPECT_FALSE(read.use_log_scale);
    EXPECT_EQ(lines[0].options.gridPath, "a b.f32");
}

// Lines computed in order with the caches carried over must give each
// line's own grid: a line that repeats an earlier one, a mode toggle, a
// sigma change alone and a log flip alone.
TEST(HeatmapToolScript, EachLineGivesItsOwnGrid) {
    TempDir dir;
    std::vector<Datapoint> points;
    for (int i = 0; i < 3000; ++i)
        points.emplace_back(0.2f + 0.0007f * (i % 41), 0.7f - 0.0011f * (i % 29), kModes[i % kModeCount], 29 * i);
    const std::string input = dir.writeRecords("points.bin", points);
    const std::string lines[] = {
        "--modes walk,car --time 600-40000 --size 7 --sigma 2",
        "--modes walk --time 600-40000 --size 7 --sigma 2",
        "--modes walk --time 600-40000 --size 7 --sigma 3",
        "--modes walk --time 600-40000 --size 7 --sigma 3 --linear",
        "--modes walk,car --time 600-40000 --size 7 --sigma 2",
        "--modes walk,car --time 30000-80000 --size 7 --sigma 2",
    };
    std::string script;
    for (std::size_t i = 0; i < std::size(lines); ++i)
        script += lines[i] + " --grid " + (dir.root() / ("g" + std::to_string(i))).string() + "\n";
    const std::string scriptPath = dir.write("script.txt", script);
    const std::string command = std::string(TRACKORA_HEATMAP_TOOL) + " " + input + " --engine cpu --script " +
                                scriptPath + " > " + (dir.root() / "out.txt").string();
    ASSERT_EQ(std::system(command.c_str()), 0);

    setenv("TRACKORA_ENGINE", "cpu", 1);
    for (std::size_t i = 0; i < std::size(lines); ++i) {
        SCOPED_TRACE(lines[i]);
        ControlSettings settings = parseHeatmapOptions(splitScriptLine(lines[i]), OptionScope::scriptLine).settings;
        HeatmapEngine::initialize(points, settings);
        const std::vector<float> expected = HeatmapEngine::computeHeatmap(settings);
        HeatmapEngine::release();
        std::ifstream in(dir.root() / ("g" + std::to_string(i)), std::ios::binary);
        std::vector<float> grid(kGridCells);
        in.read(reinterpret_cast<char*>(grid.data()), kGridCells * 4);
        EXPECT_EQ(grid, expected);
    }
    unsetenv("TRACKORA_ENGINE");

    std::ifstream report(dir.root() / "out.txt");
    std::string text;
    int timed = 0;
    std::string last;
    while (std::getline(report, text)) {
        timed += text.rfind("line ", 0) == 0 && text.ends_with(" ms");
        last = text;
    }
    EXPECT_EQ(timed, 6);
    EXPECT_EQ(last.rfind("6 lines: median ", 0), 0u) << last;
}

}  // namespace

// Points that all lie outside the frame they are read over give no grid: an
// empty one with exit 0 would pass for a result. The run says how many lie
// outside which box and how to import them, and fails.
TEST(HeatmapTool, InputWhollyOutsideTheFrameFailsAndSaysHowToImportIt) {
    TempDir dir;
    const struct {
        const char* name;
        std::string content;
        int outside;
    } cases[] = {
        {"seattle.gpx",
         "<?xml version=\"1.0\"?><gpx version=\"1.1\" creator=\"t\" xmlns=\"http://www.topografix.com/GPX/1/1\">"
         "<trk><trkseg><trkpt lat=\"47.6\" lon=\"-122.3\"><time>2020-01-01T10:00:00Z</time></trkpt>"
         "<trkpt lat=\"47.61\" lon=\"-122.31\"><time>2020-01-01T10:00:05Z</time></trkpt></trkseg></trk></gpx>\n",
         2},
        {"lima.csv", "latitude,longitude,time\n-12.1,-77.0,2020-01-01T10:00:00Z\n-12.2,-77.1,2020-01-01T10:00:01Z\n"
                     "-12.3,-77.2,2020-01-01T10:00:02Z\n", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string input = dir.write(c.name, c.content);
        const std::string grid = (dir.root() / "grid.f32").string();
        const std::string command = std::string(TRACKORA_HEATMAP_TOOL) + " " + input + " --engine cpu --grid " + grid +
                                    " > " + (dir.root() / "out.txt").string() + " 2> " + (dir.root() / "err.txt").string();
        EXPECT_NE(std::system(command.c_str()), 0);
        std::ifstream err(dir.root() / "err.txt");
        std::string line;
        std::getline(err, line);
        EXPECT_EQ(line, "trackora-heatmap: \"" + input + "\": all its " + std::to_string(c.outside) +
                            " points lie outside the box 39.75-40.1 N, 116.15-116.6 E that recordings and track files "
                            "are read over; trackora-import --box fit imports them into a box fitted to them, which "
                            "trackora-heatmap then reads");
        EXPECT_FALSE(std::filesystem::exists(grid));
    }
}

// A --grid that fails (here past the file-size limit, as on a full disk)
// drops its temporary file at once, before the PNG after it is written, so
// that its space is free for the outputs still to come.
TEST(HeatmapTool, AFailedOutputRemovesItsTemporaryFileBeforeTheNext) {
    TempDir dir;
    const std::string input = dir.writeRecords("points.bin", std::vector<Datapoint>(50, Datapoint(0.5f, 0.5f, mode::WALK, 10)));
    const std::string lut = dir.write("lut.ppm", std::string("P6\n1 2\n255\n") + std::string(6, '\x40'));
    const std::filesystem::path out = dir.root() / "out";
    std::filesystem::create_directory(out);
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, out.c_str(), IN_MODIFY | IN_DELETE), 0);
    // 2 MiB: the 4 MB grid cannot be written, the PNG can.
    const std::string command = "sh -c 'ulimit -f 2048; " + std::string(TRACKORA_HEATMAP_TOOL) + " " + input +
                                " --engine cpu --lut " + lut + " --grid " + (out / "grid.f32").string() + " --png " +
                                (out / "img.png").string() + " > /dev/null 2> " + (dir.root() / "err.txt").string() + "'";
    EXPECT_NE(std::system(command.c_str()), 0);

    // The events in order: which temporary files were written, and when each went.
    std::vector<std::pair<std::uint32_t, std::string>> events;
    alignas(inotify_event) char buffer[1 << 16];
    for (ssize_t got; (got = ::read(watch, buffer, sizeof buffer)) > 0;)
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            events.emplace_back(event->mask, event->len ? event->name : "");
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    ::close(watch);
    const auto first = [&](std::uint32_t mask, const std::string& prefix) {
        for (std::size_t i = 0; i < events.size(); ++i)
            if ((events[i].first & mask) && events[i].second.rfind(prefix, 0) == 0) return i;
        return events.size();
    };
    const std::size_t gridWritten = first(IN_MODIFY, ".grid.f32.tmp-");
    ASSERT_LT(gridWritten, events.size());
    const std::size_t gridGone = first(IN_DELETE, events[gridWritten].second);
    const std::size_t pngWritten = first(IN_MODIFY, ".img.png.tmp-");
    EXPECT_LT(gridGone, pngWritten);
    EXPECT_TRUE(std::filesystem::exists(out / "img.png"));
    EXPECT_FALSE(std::filesystem::exists(out / "grid.f32"));
    std::ifstream err(dir.root() / "err.txt");
    std::string line;
    std::getline(err, line);
    EXPECT_EQ(line, "trackora-heatmap: cannot write \"" + (out / "grid.f32").string() + "\": File too large");
}

namespace {

// --decorate draws the legend, graticule and scale bar over the picture,
// not around it: the same size, the same world file, the decorations where
// the viewer puts them (legend top right, scale bar bottom right).
TEST(HeatmapTool, DecoratedPictureKeepsItsPlace) {
    EXPECT_THROW(parseHeatmapOptions({"in.bin", "--decorate"}), UsageError);
    TempDir dir;
    const std::string input =
        dir.writeRecords("points.bin", std::vector<Datapoint>(50, Datapoint(0.5f, 0.5f, mode::WALK, 10)));
    const auto run = [&](const std::string& name, const std::string& extra) {
        const std::string command = std::string("cd ") + TRACKORA_SOURCE_DIR + " && " + TRACKORA_HEATMAP_TOOL + " " +
                                    input + " --engine cpu --png-size 400 --png " +
                                    (dir.root() / name).string() + extra + " > /dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0);
        int width = 0, height = 0, channels = 0;
        unsigned char* pixels = stbi_load((dir.root() / name).c_str(), &width, &height, &channels, 3);
        std::vector<unsigned char> rgb;
        if (pixels) rgb.assign(pixels, pixels + width * height * 3);
        stbi_image_free(pixels);
        EXPECT_EQ(width, 400);
        EXPECT_EQ(height, 400);
        return rgb;
    };
    const std::vector<unsigned char> plain = run("plain.png", "");
    const std::vector<unsigned char> decorated = run("decorated.png", " --decorate");
    ASSERT_EQ(plain.size(), 400u * 400u * 3u);
    ASSERT_EQ(decorated.size(), plain.size());
    const auto read = [&](const std::string& name) {
        std::ifstream in(dir.root() / name);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    EXPECT_FALSE(read("plain.pgw").empty());
    EXPECT_EQ(read("plain.pgw"), read("decorated.pgw"));
    const auto changed = [&](int x0, int y0, int x1, int y1) {
        int count = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                for (int c = 0; c < 3; ++c) {
                    const std::size_t i = (static_cast<std::size_t>(y) * 400 + x) * 3 + c;
                    if (plain[i] != decorated[i]) {
                        ++count;
                        break;
                    }
                }
        return count;
    };
    EXPECT_GT(changed(300, 10, 400, 190), 2000) << "no legend at the top right";
    EXPECT_GT(changed(280, 340, 390, 365), 40) << "no scale bar at the bottom right";
    EXPECT_GT(changed(0, 385, 400, 400), 40) << "no graticule labels along the foot";
}

}  // namespace
