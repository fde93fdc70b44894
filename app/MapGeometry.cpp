#include "app/MapGeometry.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>

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

}  // namespace analysis
