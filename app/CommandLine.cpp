#include "app/CommandLine.h"

#include <stdexcept>

#ifndef TRACKORA_VERSION
#define TRACKORA_VERSION "unknown"
#endif

bool parseViewerArguments(const std::vector<std::string>& args, ViewerOptions& options, std::string& error) {
    bool optionsEnded = false;  // after "--" every argument is a path
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnded && (arg == "-h" || arg == "--help")) {
            options.help = true;
        } else if (!optionsEnded && arg == "--version") {
            options.version = true;
        } else if (!optionsEnded && (arg == "--box" || arg == "--basemap")) {
            if (i + 1 >= args.size()) {
                error = arg == "--box" ? "--box needs SOUTH,WEST,NORTH,EAST in decimal degrees or fit"
                                       : "--basemap needs a raster or an OpenStreetMap extract";
                return false;
            }
            const std::string& value = args[++i];
            if (arg == "--basemap") {
                options.basemap = value;
                continue;
            }
            try {
                options.frame = parseFrameRequest(value);
            } catch (const std::invalid_argument& e) {
                error = std::string("--box takes SOUTH,WEST,NORTH,EAST in decimal degrees or fit: ") + e.what();
                return false;
            }
        } else if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            error = "unknown option \"" + arg + "\" (trackora --help lists the options)";
            return false;
        } else if (options.samplePath) {
            error = "one path to open, not \"" + *options.samplePath + "\" and \"" + arg + "\"";
            return false;
        } else {
            options.samplePath = arg;
        }
    }
    return true;
}

std::string viewerUsage() {
    return "usage: trackora [--box SOUTH,WEST,NORTH,EAST|fit] [--basemap FILE] [PATH]\n"
           "Shows the density of GPS samples over a map.\n"
           "  PATH        a binary sample file, a text sample file, a raw trajectory tree or a track\n"
           "              file (.gpx, .geojson, .csv), or a summary (.tsum, trackora-summary);\n"
           "              data/data.bin when left out\n"
           "  --box       the frame a tree, text sample file or track file is kept in, in decimal\n"
           "              degrees; fit: the smallest box holding 99.9% of its points. Left out: the\n"
           "              default box 39.75,116.15,40.1,116.6 when it holds most of the points, else\n"
           "              the fitted one\n"
           "  --basemap   the map under a frame other than the default box: a raster with a\n"
           "              georeference or an OpenStreetMap extract (.osm, .osm.pbf)\n"
           "  --help      this text\n"
           "  --version   the program's version\n";
}

std::string viewerVersion() { return std::string("trackora ") + TRACKORA_VERSION; }
