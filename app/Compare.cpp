#include "app/Compare.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace compare {

std::vector<float> overDays(const std::vector<float>& cells, std::int64_t days) {
    if (days <= 0) return cells;
    std::vector<float> out(cells.size());
    const auto divisor = static_cast<float>(days);
    for (std::size_t i = 0; i < cells.size(); ++i) out[i] = cells[i] / divisor;
    return out;
}

Difference difference(const std::vector<float>& a, const std::vector<float>& b) {
    Difference out;
    out.cells.assign(std::min(a.size(), b.size()), 0.0f);
    for (std::size_t i = 0; i < out.cells.size(); ++i) {
        const float d = a[i] - b[i];
        if (!std::isfinite(d)) continue;
        out.cells[i] = d;
        out.largest = std::max(out.largest, std::fabs(d));
    }
    return out;
}

std::vector<float> divergingLevels(const Difference& difference) {
    std::vector<float> levels(difference.cells.size(), 0.0f);
    if (!(difference.largest > 0.0f)) return levels;
    for (std::size_t i = 0; i < levels.size(); ++i)
        levels[i] = std::clamp(difference.cells[i] / difference.largest, -1.0f, 1.0f);
    return levels;
}

Rgba divergingColour(float v) {
    if (!std::isfinite(v)) return {};
    const float t = std::clamp(std::fabs(v), 0.0f, 1.0f);
    // Small differences stay faint but visible; from about half the
    // largest on the colour almost covers the map.
    const float alpha = 0.92f * std::pow(std::min(t / 0.5f, 1.0f), 0.6f);
    return v < 0.0f ? Rgba{0.16f, 0.42f, 1.0f, alpha} : Rgba{1.0f, 0.2f, 0.14f, alpha};
}

std::string formatSigned(double perKm2) {
    if (!std::isfinite(perKm2) || perKm2 == 0.0) return "0";
    const std::string magnitude = analysis::formatDensity(std::fabs(perKm2));
    if (magnitude == "0") return "0";
    return (perKm2 < 0.0 ? "-" : "+") + magnitude;
}

analysis::Legend divergingLegend(float largest, bool perDay) {
    analysis::Legend legend;
    legend.unit = perDay ? "A - B, samples/km\xC2\xB2 per day" : "A - B, samples/km\xC2\xB2 (no dates)";
    if (!(largest > 0.0f)) {
        legend.frameMaximum = "no difference";
        return legend;
    }
    for (int i = 4; i >= 0; --i) {
        const double value = static_cast<double>(largest) * (i - 2) / 2.0;
        legend.ticks.push_back({static_cast<float>(i) / 4.0f, value});
        legend.labels.push_back(formatSigned(value));
    }
    return legend;
}

std::string readoutText(const analysis::MapPoint& point, const CellPair& cell, const GeoFrame& frame,
                        std::int64_t daysA, std::int64_t daysB) {
    char line[160];
    const double latitude = point.latitude(frame);
    const double longitude = point.longitude(frame);
    std::snprintf(line, sizeof line, "%.5f\xC2\xB0 %s  %.5f\xC2\xB0 %s\n", std::fabs(latitude),
                  latitude < 0.0 ? "S" : "N", std::fabs(longitude), longitude < 0.0 ? "W" : "E");
    std::string text = line;
    const char* unit = daysA > 0 || daysB > 0 ? " samples/km\xC2\xB2 per day" : " samples/km\xC2\xB2";
    const auto selection = [&](const char* name, double perKm2, std::int64_t samples, std::int64_t days) {
        std::string out = std::string(name) + analysis::formatDensity(perKm2) + unit + "  (" +
                          analysis::formatCount(samples) + (samples == 1 ? " sample" : " samples");
        if (days > 0) out += " over " + analysis::formatCount(days) + (days == 1 ? " day" : " days");
        return out + ")\n";
    };
    text += selection("A      ", cell.perKm2A, cell.samplesA, daysA);
    text += selection("B      ", cell.perKm2B, cell.samplesB, daysB);
    text += "A - B  " + formatSigned(cell.perKm2A - cell.perKm2B) + unit;
    return text;
}

}  // namespace compare
