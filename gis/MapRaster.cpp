#include "gis/MapRaster.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>

namespace mapgen {

PixelPoint project(double latitude, double longitude, int width, int height) {
    return {(longitude - kWest) / (kEast - kWest) * width,
            (kNorth - latitude) / (kNorth - kSouth) * height};
}

RoadStyle styleOf(std::string_view roadClass) {
    // Muted greys on a dark ground, brighter and wider with importance, so
    // the colours of the heat stand out against every road.
    static const RoadStyle kPath{0, 1.0, {50, 54, 62}};
    static const RoadStyle kRail{1, 1.2, {56, 58, 67}};
    static const RoadStyle kService{2, 1.4, {62, 66, 75}};
    static const RoadStyle kResidential{3, 1.8, {72, 77, 87}};
    static const RoadStyle kTertiary{4, 2.6, {80, 86, 96}};
    static const RoadStyle kSecondary{5, 3.4, {94, 100, 111}};
    static const RoadStyle kPrimary{6, 4.2, {110, 116, 127}};
    static const RoadStyle kTrunk{7, 5.2, {124, 130, 141}};
    static const RoadStyle kMotorway{8, 6.0, {140, 146, 157}};
    static const std::unordered_map<std::string, RoadStyle> kStyles = {
        {"footway", kPath},
        {"cycleway", kPath},
        {"path", kPath},
        {"steps", kPath},
        {"pedestrian", kPath},
        {"track", kPath},
        {"platform", kPath},
        {"other", kRail},
        {"bus_guideway", kRail},
        {"service", kService},
        {"living_street", kService},
        {"road", kService},
        {"unknown", kService},
        {"residential", kResidential},
        {"unclassified", kResidential},
        {"tertiary", kTertiary},
        {"secondary", kSecondary},
        {"primary", kPrimary},
        {"trunk", kTrunk},
        {"motorway", kMotorway},
    };
    std::string name(roadClass);
    bool link = false;
    if (name.size() > 5 && name.ends_with("_link")) {
        name.resize(name.size() - 5);
        link = true;
    }
    const auto found = kStyles.find(name);
    RoadStyle style = found == kStyles.end() ? kService : found->second;
    if (link) style.width *= 0.7;  // ramps are narrower than their road
    return style;
}

bool isRailway(std::string_view roadClass) { return roadClass == "other"; }

std::size_t drawSegment(Coverage& coverage, PixelPoint a, PixelPoint b, double lineWidth) {
    const double half = lineWidth * 0.5;
    // Lines thinner than a pixel fade instead of thinning further.
    const double strength = std::min(lineWidth, 1.0);
    const double edge = std::max(half, 0.5);
    // No pixel whose centre is this far from the segment gets any coverage.
    const double reach = edge + 1.0;
    // Bounds are clamped as doubles first: a point far off the image must
    // not overflow the cast.
    const auto column = [&](double x) { return std::clamp(x, -1.0, static_cast<double>(coverage.width)); };
    const auto row = [&](double y) { return std::clamp(y, -1.0, static_cast<double>(coverage.height)); };
    const int y0 = std::max(0, static_cast<int>(std::floor(row(std::min(a.y, b.y) - reach))));
    const int y1 = std::min(coverage.height - 1, static_cast<int>(std::ceil(row(std::max(a.y, b.y) + reach))));
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const double lengthSquared = dx * dx + dy * dy;
    std::size_t visited = 0;
    for (int y = y0; y <= y1; ++y) {
        // Only the stretch of the row within reach of the segment is walked,
        // so a long diagonal costs its length, not its bounding box.
        const double centre = y + 0.5;
        double low = 0.0;
        double high = 1.0;
        if (dy != 0.0) {
            low = (centre - reach - a.y) / dy;
            high = (centre + reach - a.y) / dy;
            if (low > high) std::swap(low, high);
            low = std::max(low, 0.0);
            high = std::min(high, 1.0);
            if (low > high) continue;
        } else if (std::abs(centre - a.y) > reach) {
            continue;
        }
        const double xLow = a.x + low * dx;
        const double xHigh = a.x + high * dx;
        const int x0 = std::max(0, static_cast<int>(std::floor(column(std::min(xLow, xHigh) - reach))));
        const int x1 = std::min(coverage.width - 1, static_cast<int>(std::ceil(column(std::max(xLow, xHigh) + reach))));
        for (int x = x0; x <= x1; ++x) {
            const double px = x + 0.5 - a.x;
            const double py = y + 0.5 - a.y;
            double t = lengthSquared > 0.0 ? (px * dx + py * dy) / lengthSquared : 0.0;
            t = std::clamp(t, 0.0, 1.0);
            const double ex = px - t * dx;
            const double ey = py - t * dy;
            const double distance = std::sqrt(ex * ex + ey * ey);
            // One pixel of linear falloff centred on the line's edge.
            const double value = std::clamp(edge + 0.5 - distance, 0.0, 1.0) * strength;
            float& cell = coverage.alpha[static_cast<std::size_t>(y) * coverage.width + x];
            cell = std::max(cell, static_cast<float>(value));
        }
        if (x1 >= x0) visited += static_cast<std::size_t>(x1 - x0 + 1);
    }
    return visited;
}

void composite(std::vector<std::uint8_t>& rgb, Coverage& coverage, Rgb colour) {
    const std::size_t pixels = coverage.alpha.size();
    for (std::size_t i = 0; i < pixels; ++i) {
        const float a = coverage.alpha[i];
        if (a <= 0.0f) continue;
        std::uint8_t* p = &rgb[i * 3];
        const auto blend = [a](std::uint8_t under, std::uint8_t over) {
            return static_cast<std::uint8_t>(std::lround(under + (over - under) * a));
        };
        p[0] = blend(p[0], colour.r);
        p[1] = blend(p[1], colour.g);
        p[2] = blend(p[2], colour.b);
        coverage.alpha[i] = 0.0f;
    }
}

Rgb inferno(double v) {
    v = std::clamp(v, 0.0, 1.0);
    const double position = v * (kInferno.size() - 1);
    const std::size_t lower = std::min(static_cast<std::size_t>(position), kInferno.size() - 2);
    const double f = position - static_cast<double>(lower);
    const Rgb& p = kInferno[lower];
    const Rgb& q = kInferno[lower + 1];
    const auto mix = [f](std::uint8_t u, std::uint8_t w) {
        return static_cast<std::uint8_t>(std::lround(u + (w - u) * f));
    };
    return {mix(p.r, q.r), mix(p.g, q.g), mix(p.b, q.b)};
}

std::vector<std::uint8_t> lutImage(int width, int height) {
    std::vector<std::uint8_t> image(static_cast<std::size_t>(width) * height * 3);
    for (int row = 0; row < height; ++row) {
        const double v = height > 1 ? static_cast<double>(row) / (height - 1) : 1.0;
        const Rgb c = inferno(v);
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &image[(static_cast<std::size_t>(row) * width + x) * 3];
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
        }
    }
    return image;
}

}  // namespace mapgen
