#pragma once
// The day: clock times shown and typed, the samples per mode over the day,
// playback sliding the time window, a summary's steps, and the time a long
// piece of work has left.
#include <array>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/Datapoint.h"
#include "model/SampleTally.h"

namespace analysis {

// --- The day -------------------------------------------------------------

// "hh:mm:ss" for seconds since midnight; 86400 is "24:00:00".
std::string formatClock(std::int32_t seconds);
// A clock time as people type it: "h:mm", "hh:mm" or "hh:mm:ss" (blanks
// around it ignored), 00:00 to 24:00; nothing for anything else.
std::optional<std::int32_t> parseClock(std::string_view text);

// Per mode (TransportationMode bit order): the number of samples, and the
// samples per 15 minutes of the day. Counted once per load, by the engine's
// indexing.
using DaySummary = SampleTally;
inline constexpr int kDayBins = SampleTally::kBins;
DaySummary summarise(const std::vector<Datapoint>& points);
// The histogram of the modes in `mask`, summed per bin.
std::array<float, kDayBins> histogramFor(const DaySummary& summary, std::int32_t mask);

// Playback: a window `width` seconds wide slides over the day at `speed`
// seconds of the day per second, looping from the end back to midnight.
struct Playback {
    bool playing = false;
    std::int32_t width = 3600;
    float speed = 3600.0f;
    double start = 0.0;  // the window's lower end, seconds since midnight
};
// Starts playing from the window's current lower end (from midnight when the
// window would not fit before the end of the day).
void startPlayback(Playback& playback, std::int32_t minTime);
// Advances by `elapsed` seconds and gives the new window's ends.
struct TimeWindow {
    std::int32_t min = 0;
    std::int32_t max = 0;
};
TimeWindow advancePlayback(Playback& playback, double elapsed);
// A window on a summary's steps of `stepSeconds`: the start down to its
// step's first second, the end up to its step's last (86400, the whole
// day's end, stays), so the window shows what the summary engine counts.
TimeWindow snapToSteps(TimeWindow window, std::int32_t stepSeconds);
// "15-min steps, summary of 10.0 billion samples": what the panel says of
// an open summary.
std::string summaryLine(std::int32_t stepSeconds, std::int64_t samples);

// What is left of a long piece of work that has run `elapsed` seconds and
// is `progress` (0..1) done, at the pace so far: "about 12 s left", "about
// 3 min left"; empty while too little is done to tell.
std::string timeLeft(double elapsed, double progress);

}  // namespace analysis
