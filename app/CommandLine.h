#pragma once
// The viewer's command line: trackora [--box SOUTH,WEST,NORTH,EAST|fit]
// [--basemap FILE] [PATH], --help, --version. Read before any window is
// made, so that --help and a bad option need no display.
#include <optional>
#include <string>
#include <vector>

#include "model/FrameChoice.h"

struct ViewerOptions {
    // The samples to open; none: the default data, which ticks no mode.
    std::optional<std::string> samplePath;
    std::string basemap;
    FrameRequest frame;  // --box; automatic when not given
    bool help = false;
    bool version = false;
};

// Parses the arguments after the program name; false with a one-line
// message in `error` for an unknown option, an option without its value,
// a box that does not read, or a second path.
bool parseViewerArguments(const std::vector<std::string>& args, ViewerOptions& options, std::string& error);

std::string viewerUsage();
// "trackora 0.1"
std::string viewerVersion();
