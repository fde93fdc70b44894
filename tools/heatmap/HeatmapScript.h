#pragma once
// trackora-heatmap --script FILE: replays a sequence of settings the way the
// viewer meets them, one compute per line, with the engine's caches carried
// from line to line. Shared with the engine benchmark, which writes such
// files and replays the same traces in-process.
#include <string>
#include <string_view>
#include <vector>

#include "settings/ControlSettings.h"
#include "tools/heatmap/HeatmapOptions.h"

struct ScriptLine {
    int number = 0;          // line number in the file, from 1
    HeatmapOptions options;  // the line's settings and outputs, from the tool's defaults
};

// Reads every line of the file; blank lines and lines starting with '#' are
// skipped. Throws UsageError "FILE:N: reason" for a bad line, "FILE: reason"
// for an unreadable or empty file.
std::vector<ScriptLine> readScript(const std::string& path);

// Splits a line at blanks; "double quotes" keep blanks inside a word.
std::vector<std::string> splitScriptLine(std::string_view line);

// Gives current the settings of next and raises the change flags the control
// panel raises for that edit, so the viewer's frame work (refreshDensity)
// rebuilds the table and computes exactly when the viewer would.
void adoptSettings(ControlSettings& current, const ControlSettings& next);

// A script line that reads back as these settings exactly.
std::string scriptLineFor(const ControlSettings& settings);

// The median, 99th percentile (nearest rank) and maximum of some times.
struct TimeSummary {
    double median = 0;
    double p99 = 0;
    double maximum = 0;
};
TimeSummary summarizeTimes(std::vector<double> times);
