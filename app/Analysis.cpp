#include "app/Analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>

#include "model/ModeNames.h"

namespace analysis {

MapExtent mapExtent(const GeoFrame& frame) {
    constexpr double degree = std::numbers::pi / 180.0;
    const double centre = 0.5 * (frame.south + frame.north) * degree;
    const double aspect = frame.longitudeSpan() * std::cos(centre) / frame.latitudeSpan();
    if (!std::isfinite(aspect) || std::fabs(aspect - 1.0) <= 0.02) return MapExtent{};
    return aspect > 1.0 ? MapExtent{1.0f, static_cast<float>(1.0 / aspect)} : MapExtent{static_cast<float>(aspect), 1.0f};
}

MapPoint mapPointAt(double x, double y, double width, double height, const ViewTransform& view) {
    // Window pixels to clip space (y up), then undo translate-then-scale.
    const double clipX = 2.0 * x / width - 1.0;
    const double clipY = 1.0 - 2.0 * y / height;
    const double cornerX = (clipX - view.translateX) / view.zoom / view.extentX;
    const double cornerY = (clipY - view.translateY) / view.zoom / view.extentY;
    return MapPoint{cornerX * 0.5 + 0.5, cornerY * 0.5 + 0.5};
}

WindowPoint windowPointOf(const MapPoint& point, double width, double height, const ViewTransform& view) {
    const double clipX = view.zoom * view.extentX * (2.0 * point.s - 1.0) + view.translateX;
    const double clipY = view.zoom * view.extentY * (2.0 * point.t - 1.0) + view.translateY;
    return WindowPoint{(clipX + 1.0) * 0.5 * width, (1.0 - clipY) * 0.5 * height};
}

double graticuleStep(double visibleDegrees) {
    if (!(visibleDegrees > 0.0) || !std::isfinite(visibleDegrees)) return 1.0;
    double step = std::pow(10.0, std::floor(std::log10(visibleDegrees / 3.0)));
    for (const double factor : {1.0, 2.0, 5.0, 10.0})
        if (visibleDegrees / (step * factor) <= 10.0) return step * factor;
    return step * 10.0;
}

namespace {

std::string degreesLabel(double degrees, int decimals, const char* negative, const char* positive) {
    char text[40];
    std::snprintf(text, sizeof text, "%.*f\xC2\xB0 %s", decimals, std::fabs(degrees),
                  degrees < 0.0 ? negative : positive);
    return text;
}

}  // namespace

std::vector<GraticuleLine> graticule(const GeoFrame& frame, double sLow, double sHigh, double tLow, double tHigh) {
    std::vector<GraticuleLine> lines;
    sLow = std::max(sLow, 0.0);
    sHigh = std::min(sHigh, 1.0);
    tLow = std::max(tLow, 0.0);
    tHigh = std::min(tHigh, 1.0);
    if (!(sLow < sHigh) || !(tLow < tHigh)) return lines;
    const double lonSpan = frame.longitudeSpan();
    const double latSpan = frame.latitudeSpan();
    const double step = graticuleStep(std::max((sHigh - sLow) * lonSpan, (tHigh - tLow) * latSpan));
    const int decimals = std::max(0, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
    const auto add = [&](bool latitude, double low, double high, double origin, double span) {
        // Whole multiples of the step, so lines fall on round degrees.
        for (long long k = static_cast<long long>(std::ceil((origin + low * span) / step - 1e-9));
             k * step <= origin + high * span + 1e-12; ++k) {
            const double degrees = k * step;
            lines.push_back(GraticuleLine{latitude, degrees, (degrees - origin) / span,
                                          latitude ? degreesLabel(degrees, decimals, "S", "N")
                                                   : degreesLabel(degrees, decimals, "W", "E")});
        }
    };
    add(true, tLow, tHigh, frame.south, latSpan);
    add(false, sLow, sHigh, frame.west, lonSpan);
    return lines;
}

ScaleBar scaleBar(double metresPerPixel, double maxPixels) {
    if (!(metresPerPixel > 0.0) || !(maxPixels > 0.0)) return {};
    const double longest = metresPerPixel * maxPixels;
    double metres = std::pow(10.0, std::floor(std::log10(longest)));
    for (const double factor : {5.0, 2.0, 1.0})
        if (metres * factor <= longest) {
            metres *= factor;
            break;
        }
    char label[32];
    if (metres >= 1000.0)
        std::snprintf(label, sizeof label, "%g km", metres / 1000.0);
    else
        std::snprintf(label, sizeof label, "%g m", metres);
    return ScaleBar{metres / metresPerPixel, label};
}

double metresPerPixel(const GeoFrame& frame, double width, const ViewTransform& view) {
    constexpr double degree = std::numbers::pi / 180.0;
    const double centre = 0.5 * (frame.south + frame.north) * degree;
    const double frameMetres = frame.longitudeSpan() * degree * kEarthRadiusKm * 1000.0 * std::cos(centre);
    const double framePixels = width * view.zoom * view.extentX;
    return frameMetres / framePixels;
}

GridCell cellAt(const MapPoint& point) {
    return GridCell{std::min(static_cast<int>(std::floor(point.t * kSide)), kSide - 1),
                    std::min(static_cast<int>(std::floor(point.s * kSide)), kSide - 1)};
}

double cellAreaKm2(int row, const GeoFrame& frame) {
    constexpr double degree = std::numbers::pi / 180.0;
    const double cellLatitude = frame.latitudeSpan() / kSide;
    const double south = (frame.south + row * cellLatitude) * degree;
    const double north = (frame.south + (row + 1) * cellLatitude) * degree;
    return kEarthRadiusKm * kEarthRadiusKm * (frame.longitudeSpan() / kSide * degree) *
           (std::sin(north) - std::sin(south));
}

double densityPerKm2(double cellDensity, int row, const GeoFrame& frame) {
    return cellDensity / cellAreaKm2(row, frame);
}

double densityAtLevel(double level, double maxDensity, bool logScale) {
    if (level >= 1.0) return maxDensity;  // exactly, not through exp(log())
    return logScale ? std::expm1(level * std::log1p(maxDensity)) : level * maxDensity;
}

int densestRow(const std::vector<float>& grid) {
    int best = kSide / 2;
    float top = 0.0f;
    if (grid.size() != static_cast<std::size_t>(kSide) * kSide) return best;
    for (std::size_t i = 0; i < grid.size(); ++i)
        if (grid[i] > top) {
            top = grid[i];
            best = static_cast<int>(i / kSide);
        }
    return best;
}

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

std::string defaultOutputName(const std::string& prefix, const std::string& extension, std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H%M%S", &local);
    return prefix + "-" + stamp + extension;
}

}  // namespace analysis
