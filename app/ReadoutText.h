#pragma once
// What the readout and the legend say: densities and counts formatted,
// the cursor's lines, the colour scale's levels in samples per km² (locked
// or the frame's own), and the days the Data window's "Per day" divides by.
#include <array>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/MapGeometry.h"
#include "model/GeoFrame.h"
#include "model/SampleDays.h"

namespace analysis {

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

}  // namespace analysis
