#include "app/ReadoutText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>

namespace analysis {

std::string formatCount(std::int64_t count) {
    // Through the unsigned magnitude: negating the smallest int64 overflows.
    const std::uint64_t magnitude =
        count < 0 ? ~static_cast<std::uint64_t>(count) + 1 : static_cast<std::uint64_t>(count);
    std::string digits = std::to_string(magnitude);
    std::string out;
    const int n = static_cast<int>(digits.size());
    for (int i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) out += ',';
        out += digits[static_cast<std::size_t>(i)];
    }
    return count < 0 ? "-" + out : out;
}

std::string formatDensity(double perKm2) {
    if (!std::isfinite(perKm2) || perKm2 <= 0.0) return "0";
    // Rounded first, so 999.6 becomes "1.00k", not "1000".
    const char* suffixes[] = {"", "k", "M", "G", "T"};
    int power = 0;
    double value = perKm2;
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    while (std::strtod(text, nullptr) >= 1000.0 && power < 4) {
        value /= 1000.0;
        ++power;
        std::snprintf(text, sizeof text, "%.3g", value);
    }
    // %.3g drops trailing zeros and uses exponents below 1e-4; fixed digits
    // keep every label the same width of precision.
    const double rounded = std::strtod(text, nullptr);
    const int digits = rounded >= 100.0 ? 0 : rounded >= 10.0 ? 1 : rounded >= 1.0 ? 2 : 3;
    std::snprintf(text, sizeof text, "%.*f%s", digits, value, suffixes[power]);
    return text;
}

std::string readoutText(const MapPoint& point, double cellDensity, std::int64_t cellSamples, const GeoFrame& frame,
                        std::int64_t days) {
    char position[64];
    const double latitude = point.latitude(frame);
    const double longitude = point.longitude(frame);
    std::snprintf(position, sizeof position, "%.5f\xC2\xB0 %s  %.5f\xC2\xB0 %s", std::fabs(latitude),
                  latitude < 0.0 ? "S" : "N", std::fabs(longitude), longitude < 0.0 ? "W" : "E");
    const double perKm2 = densityPerKm2(cellDensity, cellAt(point).row, frame);
    std::string text = std::string(position) + "\n";
    text += days > 0 ? formatDensity(perKm2 / static_cast<double>(days)) + " samples/km\xC2\xB2 per day\n"
                     : formatDensity(perKm2) + " samples/km\xC2\xB2\n";
    text += formatCount(cellSamples) + (cellSamples == 1 ? " sample" : " samples") + " in this cell";
    if (days > 0) {
        char perDay[32];
        std::snprintf(perDay, sizeof perDay, ", %.3g a day", static_cast<double>(cellSamples) / static_cast<double>(days));
        text += perDay;
    }
    return text;
}

std::vector<LegendTick> legendTicks(double maxDensity, bool logScale, int row, const GeoFrame& frame) {
    std::vector<LegendTick> ticks;
    if (!(maxDensity > 0.0) || !std::isfinite(maxDensity)) return ticks;
    for (int i = 4; i >= 0; --i) {
        const double v = i / 4.0;
        ticks.push_back(
            LegendTick{static_cast<float>(v), densityPerKm2(densityAtLevel(v, maxDensity, logScale), row, frame)});
    }
    return ticks;
}

float lockedLevelFactor(double frameMax, bool logScale, const ScaleLock& lock) {
    if (!lock.active() || !(frameMax > 0.0) || !std::isfinite(frameMax)) return 1.0f;
    return static_cast<float>(logScale ? std::log1p(frameMax) / std::log1p(lock.maxDensity)
                                       : frameMax / lock.maxDensity);
}

void scaleLevels(const std::vector<float>& levels, float factor, std::vector<float>& out) {
    out.resize(levels.size());
    for (std::size_t i = 0; i < levels.size(); ++i) out[i] = std::min(levels[i] * factor, 1.0f);
}

Legend legendFor(double frameMax, bool logScale, int row, const ScaleLock& lock, const GeoFrame& frame,
                 std::int64_t days) {
    Legend legend;
    const double divisor = days > 0 ? static_cast<double>(days) : 1.0;
    legend.unit = days > 0 ? "samples/km\xC2\xB2 per day" : "samples/km\xC2\xB2";
    legend.ticks = legendTicks(lock.active() ? lock.maxDensity : frameMax, logScale, row, frame);
    for (LegendTick& tick : legend.ticks) {
        tick.perKm2 /= divisor;
        legend.labels.push_back(formatDensity(tick.perKm2));
    }
    if (lock.active()) {
        legend.unit += " (locked)";
        legend.frameMaximum =
            "frame max " + formatDensity(densityPerKm2(std::max(frameMax, 0.0), row, frame) / divisor);
    }
    return legend;
}

std::optional<std::int64_t> samplesOnDays(const DayCounts& counts, const DayFilter& days) {
    if (counts.tooWide) return std::nullopt;
    std::int64_t total = days.everything() ? counts.undated : 0;
    for (std::size_t i = 0; i < counts.perDay.size(); ++i)
        if (days.passes(counts.firstDay + static_cast<std::int32_t>(i))) total += counts.perDay[i];
    return total;
}

PerDay perDayFor(bool wanted, const DayFilter& indexed, std::int32_t dataFirst, std::int32_t dataLast) {
    PerDay out;
    if (!wanted) return out;
    if (dataFirst == kUnknownDay || dataLast == kUnknownDay) {
        out.text = "these samples have no dates";
        return out;
    }
    const std::int64_t days = daysCovered(indexed, dataFirst, dataLast);
    if (days == 0) {
        // Nothing to divide by: the values are shown as they are (none).
        out.text = "the selection covers no day of the data";
        return out;
    }
    out.days = days;
    out.text = "over " + formatCount(days) + (days == 1 ? " day" : " days");
    return out;
}

PerDay perDayOfDays(bool wanted, const DayFilter& chosen, const std::vector<std::int32_t>& days) {
    PerDay out;
    if (!wanted) return out;
    if (days.empty()) {
        out.text = "these samples have no dates";
        return out;
    }
    out.days = std::count_if(days.begin(), days.end(), [&](std::int32_t day) { return chosen.passes(day); });
    out.text = out.days == 0 ? "the selection covers no day of the data"
                             : "over " + formatCount(out.days) + (out.days == 1 ? " day" : " days");
    return out;
}

}  // namespace analysis
