#pragma once
// What the viewer tells the analyst about the map: where the cursor points,
// how dense that place is, what the colour scale's levels stand for, how the
// samples spread over the day and per mode, and how playback slides the time
// window. Plain functions of plain values, so they are tested without a
// window; the panel only shows their results.
#include <array>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/Datapoint.h"
#include "model/GeoFrame.h"
#include "model/SampleDays.h"
#include "model/SampleTally.h"

namespace analysis {

inline constexpr int kSide = 1000;                 // grid cells per axis
inline constexpr double kEarthRadiusKm = 6371.0088;  // mean radius of the earth (IUGG)

// --- Cursor to map -------------------------------------------------------

// The map's view transform as the renderer applies it: clip = zoom * extent *
// corner + translation, corners -1..1, texture coordinate = corner * 0.5 +
// 0.5. The extent (1 or less on each axis) letterboxes a frame that is not
// square.
struct ViewTransform {
    float zoom = 1.0f;
    float translateX = 0.0f;
    float translateY = 0.0f;
    float extentX = 1.0f;
    float extentY = 1.0f;
};

// The map's extent for a frame: its true shape in metres at its centre
// latitude, the longer side filling the window. A frame within 2% of square
// fills it whole (the default box is 1.4% narrower than it is high, and its
// map is drawn square).
struct MapExtent {
    float x = 1.0f;
    float y = 1.0f;
};
MapExtent mapExtent(const GeoFrame& frame);

// A point of the map in normalised coordinates: s west to east (longitude,
// grid columns), t south to north (latitude, grid rows); 0..1 on the map.
struct MapPoint {
    double s = 0.0;
    double t = 0.0;
    bool onMap() const { return s >= 0.0 && s < 1.0 && t >= 0.0 && t < 1.0; }
    double latitude(const GeoFrame& frame) const { return frame.south + t * frame.latitudeSpan(); }
    double longitude(const GeoFrame& frame) const { return frame.west + s * frame.longitudeSpan(); }
};

// The map point under a cursor at (x, y) window pixels from the top-left of
// a width x height viewport, inverting the view transform.
MapPoint mapPointAt(double x, double y, double width, double height, const ViewTransform& view);
// The window pixel (from the top-left) where a map point is drawn.
struct WindowPoint {
    double x = 0.0;
    double y = 0.0;
};
WindowPoint windowPointOf(const MapPoint& point, double width, double height, const ViewTransform& view);

// --- Orientation without a map ---------------------------------------------

// Lines of equal latitude or longitude every `step` degrees across the part
// of the frame in view, with their labels ("39.9° N", "77.05° W").
struct GraticuleLine {
    bool latitude = false;  // a parallel (constant latitude); else a meridian
    double degrees = 0.0;
    double at = 0.0;        // t for a parallel, s for a meridian (0..1 on the map)
    std::string label;
};
// The step is the round number of degrees (1, 2 or 5 times a power of ten)
// that gives 3 to 10 lines over `visibleDegrees`, the larger span in view.
double graticuleStep(double visibleDegrees);
std::vector<GraticuleLine> graticule(const GeoFrame& frame, double sLow, double sHigh, double tLow, double tHigh);

// A scale bar of a round length (1, 2 or 5 times a power of ten metres) no
// longer than `maxPixels` at `metresPerPixel`: its length in pixels and its
// label ("500 m", "2 km").
struct ScaleBar {
    double pixels = 0.0;
    std::string label;
};
ScaleBar scaleBar(double metresPerPixel, double maxPixels);
// Metres per window pixel across the frame's centre latitude, east-west.
double metresPerPixel(const GeoFrame& frame, double width, const ViewTransform& view);

// The grid cell a sample at this point is counted in: the cell that holds
// it, as the density estimate places samples (the north and east borders in
// the last row and column).
struct GridCell {
    int row = 0;
    int col = 0;
};
GridCell cellAt(const MapPoint& point);

// The area of a grid cell in km² on a spherical earth: the band between the
// cell's two latitudes times its share of the full circle of longitude. Grid
// row r covers the frame's latitudes south + r * span / 1000 .. south +
// (r + 1) * span / 1000 (39.75 + r * 0.00035 .. in the default box).
double cellAreaKm2(int row, const GeoFrame& frame = GeoFrame{});

// A cell's summed density (samples) in samples per km²: over the cell's area.
// The readout, the legend and the saved grid all convert through it, so they
// agree to the last digit shown.
double densityPerKm2(double cellDensity, int row, const GeoFrame& frame = GeoFrame{});

// The density a level of the colour scale stands for, the inverse of the
// scale a grid went through: v = ln(1 + d) / ln(1 + max) with the log scale,
// d / max without. Level 1 is `maxDensity` itself.
double densityAtLevel(double level, double maxDensity, bool logScale);

// The grid row (0..999) of the densest cell of a normalised grid (row 0
// south, kSide x kSide), or the middle row when the grid is empty or all
// zeros: the row the legend's densities are given for.
int densestRow(const std::vector<float>& grid);

// --- Readout and legend --------------------------------------------------

// A density in samples per km², three significant digits with a thousands
// suffix: "0", "0.512", "37.4", "123", "1.23k", "12.3k", "4.57M".
std::string formatDensity(double perKm2);
// Thousands separated: "25,000,000".
std::string formatCount(std::int64_t count);

// The readout's lines for the cursor at `point`, with the cell's summed
// density (samples) and the samples centred in it under the current filters:
// "39.90870° N  116.39750° E", "1,234 samples/km²", "12 samples in this cell";
// south and west of 0 as "12.04620° S  77.04280° W".
// With `days` > 0 the density and the count are per day over that many days
// ("12.3 samples/km² per day", "12 samples in this cell, 3.00 a day").
std::string readoutText(const MapPoint& point, double cellDensity, std::int64_t cellSamples,
                        const GeoFrame& frame = GeoFrame{}, std::int64_t days = 0);

// One level of the colour scale: v (0 bottom .. 1 top) and what it stands
// for in samples per km².
struct LegendTick {
    float level = 0.0f;
    double perKm2 = 0.0;
};
// Five levels, from the top (1) down to 0, computed back through the scale
// (densityAtLevel), in samples per km² at the cell area of `row`: the
// densest cell's row, so that the top tick reads as the readout does there.
// Empty when the last grid was all zeros.
std::vector<LegendTick> legendTicks(double maxDensity, bool logScale, int row = kSide / 2,
                                    const GeoFrame& frame = GeoFrame{});

// The colour scale's top: the frame's own maximum, or a density the user
// locked it at, so that frames and mode sets are coloured alike.
struct ScaleLock {
    bool locked = false;
    double maxDensity = 0.0;  // summed density (samples) the top colour stands for
    bool active() const { return locked && maxDensity > 0.0 && std::isfinite(maxDensity); }
};

// What the frame's levels (normalised to `frameMax`) are multiplied by to
// show on the locked scale: ln(1 + frameMax) / ln(1 + lock) with the log
// scale, frameMax / lock without; 1 when the scale is not locked.
float lockedLevelFactor(double frameMax, bool logScale, const ScaleLock& lock);
// The levels times `factor`, those above 1 (denser than the lock) at 1, the
// top colour.
void scaleLevels(const std::vector<float>& levels, float factor, std::vector<float>& out);

// What the legend shows: the ticks of the scale in use (the lock's when it is
// locked) with their labels, the unit, and, when locked, the frame's own
// maximum; all in samples per km² for the cells of `row`.
struct Legend {
    std::vector<LegendTick> ticks;
    std::vector<std::string> labels;
    std::string unit;          // "samples/km²", "samples/km² per day", "samples/km² (locked)"
    std::string frameMaximum;  // "frame max 8.12k" when locked, else empty
};
// With `days` > 0 the labels are per day over that many days.
Legend legendFor(double frameMax, bool logScale, int row, const ScaleLock& lock, const GeoFrame& frame = GeoFrame{},
                 std::int64_t days = 0);

// The Data window's "Per day": what the densities are divided by, the
// calendar days of the indexed selection (`indexed`, clipped to the data's
// first and last date, on its weekdays), and the line the box shows. 0 days
// (nothing divided) when not wanted, for samples without dates, and for a
// selection that covers no day of the data, which the line then says.
struct PerDay {
    std::int64_t days = 0;
    std::string text;  // "over 104 days", "the selection covers no day of the data"
};
PerDay perDayFor(bool wanted, const DayFilter& indexed, std::int32_t dataFirst, std::int32_t dataLast);
// The same for a summary, which holds a set of days (ascending), not a span:
// those of `days` that pass the filter.
PerDay perDayOfDays(bool wanted, const DayFilter& chosen, const std::vector<std::int32_t>& days);

// The samples a choice of days takes, counted from the data's samples per
// day (undated ones only when it takes every day); nothing when the counts
// stopped at a span too wide to keep.
std::optional<std::int64_t> samplesOnDays(const DayCounts& counts, const DayFilter& days);

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

// --- Saving --------------------------------------------------------------

// A file name for a result: "trackora-map-2026-12-09-081500.png" for prefix
// "trackora-map" and extension ".png", in local time.
std::string defaultOutputName(const std::string& prefix, const std::string& extension, std::time_t when);

}  // namespace analysis
