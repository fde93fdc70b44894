#include "tools/heatmap/HeatmapScript.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "model/LoadError.h"

std::vector<std::string> splitScriptLine(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quoted) throw UsageError("a quote is not closed");
    if (inWord) words.push_back(std::move(word));
    return words;
}

std::vector<ScriptLine> readScript(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw UsageError(echoPath(path) + ": cannot read: " + std::strerror(errno));
    std::vector<ScriptLine> lines;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        const auto first = text.find_first_not_of(" \t\r");
        if (first == std::string::npos || text[first] == '#') continue;
        try {
            lines.push_back(ScriptLine{number, parseHeatmapOptions(splitScriptLine(text), OptionScope::scriptLine)});
        } catch (const UsageError& error) {
            throw UsageError(echoPath(path) + ":" + std::to_string(number) + ": " + error.what());
        }
    }
    if (in.bad()) throw UsageError(echoPath(path) + ": cannot read: " + std::strerror(errno));
    if (lines.empty()) throw UsageError(echoPath(path) + ": no settings lines");
    return lines;
}

void adoptSettings(ControlSettings& current, const ControlSettings& next) {
    if (next.min_time != current.min_time || next.max_time != current.max_time) current.time_changed = true;
    if (next.use_log_scale != current.use_log_scale) current.log_scale_changed = true;
    if (next.kernel_size != current.kernel_size) current.kernel_size_changed = true;
    if (next.sigma != current.sigma) current.sigma_changed = true;
    std::copy(std::begin(next.mode_selected), std::end(next.mode_selected), std::begin(current.mode_selected));
    current.mode_mask = next.mode_mask;
    current.min_time = next.min_time;
    current.max_time = next.max_time;
    current.use_log_scale = next.use_log_scale;
    current.kernel_size = next.kernel_size;
    current.sigma = next.sigma;
}

std::string scriptLineFor(const ControlSettings& settings) {
    char line[160];
    // %.9g gives back the same float.
    std::snprintf(line, sizeof line, "--modes %d --time %d-%d --sigma %.9g --size %d %s", settings.mode_mask,
                  settings.min_time, settings.max_time, static_cast<double>(settings.sigma), settings.kernel_size,
                  settings.use_log_scale ? "--log" : "--linear");
    return line;
}

TimeSummary summarizeTimes(std::vector<double> times) {
    TimeSummary summary;
    if (times.empty()) return summary;
    std::sort(times.begin(), times.end());
    const std::size_t n = times.size();
    summary.median = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    const std::size_t rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n)));
    summary.p99 = times[std::max<std::size_t>(rank, 1) - 1];
    summary.maximum = times.back();
    return summary;
}
