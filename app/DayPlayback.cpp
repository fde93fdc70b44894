#include "app/DayPlayback.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>

#include "app/ReadoutText.h"
#include "model/ModeNames.h"

namespace analysis {

TimeWindow snapToSteps(TimeWindow window, std::int32_t stepSeconds) {
    if (stepSeconds <= 0) return window;
    window.min = std::clamp(window.min, 0, 86399) / stepSeconds * stepSeconds;
    if (window.max < 86400)
        window.max = (std::max(window.max, window.min) / stepSeconds + 1) * stepSeconds - 1;
    return window;
}

std::string summaryLine(std::int32_t stepSeconds, std::int64_t samples) {
    char count[48];
    const double value = static_cast<double>(samples);
    if (value >= 1e9)
        std::snprintf(count, sizeof count, "%.1f billion", value / 1e9);
    else if (value >= 1e6)
        std::snprintf(count, sizeof count, "%.1f million", value / 1e6);
    else
        std::snprintf(count, sizeof count, "%s", formatCount(samples).c_str());
    return std::to_string(stepSeconds / 60) + "-min steps, summary of " + count + " samples";
}

std::string formatClock(std::int32_t seconds) {
    seconds = std::clamp(seconds, 0, 86400);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return text;
}

std::optional<std::int32_t> parseClock(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    int parts[3] = {0, 0, 0};
    int count = 0;
    std::size_t at = 0;
    while (true) {
        std::size_t end = at;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        const std::size_t digits = end - at;
        // Hours take one or two digits, minutes and seconds exactly two.
        if (count == 3 || digits == 0 || digits > 2 || (count > 0 && digits != 2)) return std::nullopt;
        parts[count++] = std::stoi(std::string(text.substr(at, digits)));
        if (end == text.size()) break;
        if (text[end] != ':') return std::nullopt;
        at = end + 1;
    }
    if (count < 2 || parts[1] > 59 || parts[2] > 59) return std::nullopt;
    const std::int32_t seconds = parts[0] * 3600 + parts[1] * 60 + parts[2];
    if (seconds > 86400) return std::nullopt;
    return seconds;
}

DaySummary summarise(const std::vector<Datapoint>& points) {
    DaySummary summary;
    summary.add(points.data(), points.size());
    return summary;
}

std::array<float, kDayBins> histogramFor(const DaySummary& summary, std::int32_t mask) {
    std::array<float, kDayBins> histogram{};
    for (int mode = 0; mode < kModeCount; ++mode) {
        if ((mask & (1 << mode)) == 0) continue;
        for (int bin = 0; bin < kDayBins; ++bin)
            histogram[static_cast<std::size_t>(bin)] +=
                static_cast<float>(summary.bins[static_cast<std::size_t>(mode)][static_cast<std::size_t>(bin)]);
    }
    return histogram;
}

namespace {
// The lower end runs from midnight to the last start that keeps the whole
// window inside the day.
double lastStart(const Playback& playback) { return std::max(0, 86400 - playback.width); }
}  // namespace

void startPlayback(Playback& playback, std::int32_t minTime) {
    playback.width = std::clamp(playback.width, 1, 86400);
    playback.start = minTime < lastStart(playback) ? std::max(0, minTime) : 0.0;
    playback.playing = true;
}

TimeWindow advancePlayback(Playback& playback, double elapsed) {
    playback.width = std::clamp(playback.width, 1, 86400);
    const double span = lastStart(playback);
    playback.start += std::max(0.0, elapsed * static_cast<double>(playback.speed));
    if (span <= 0.0)
        playback.start = 0.0;
    else if (playback.start > span)
        playback.start = std::fmod(playback.start, span);  // loop back to midnight
    const auto min = static_cast<std::int32_t>(playback.start);
    return TimeWindow{min, min + playback.width};
}

std::string timeLeft(double elapsed, double progress) {
    if (!(progress >= 0.02 && progress < 1.0) || !(elapsed >= 0.5)) return "";
    const double left = elapsed * (1.0 - progress) / progress;
    char text[48];
    if (left < 90.0)
        std::snprintf(text, sizeof text, "about %.0f s left", std::max(1.0, std::ceil(left)));
    else
        std::snprintf(text, sizeof text, "about %.0f min left", std::ceil(left / 60.0));
    return text;
}

}  // namespace analysis
