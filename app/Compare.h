#pragma once
// The difference of two selections, A - B, as the viewer's Compare map and
// trackora-heatmap --versus make it: each selection's cells per day (over
// its own days; as they are for samples without dates), subtracted cell by
// cell, on a scale symmetric about zero. Plain functions of plain values,
// tested without a window.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "app/MapGeometry.h"
#include "app/ReadoutText.h"
#include "model/GeoFrame.h"

namespace compare {

// One selection's cells divided by `days`, or as they are when `days` is 0
// (samples without dates: no day to divide by). In single precision, as
// perDayCells divides, so the tool's and the viewer's differences agree.
std::vector<float> overDays(const std::vector<float>& cells, std::int64_t days);

// A - B cell by cell and the largest |A - B| among finite cells: the
// scale's ends are -largest and +largest. Cells that are not finite in
// either grid count as no difference, so the scale never becomes NaN.
struct Difference {
    std::vector<float> cells;
    float largest = 0.0f;
};
Difference difference(const std::vector<float>& a, const std::vector<float>& b);

// The levels the map is coloured by: each cell over `largest`, in -1..1
// (0 for every cell when largest is 0: nothing differs).
std::vector<float> divergingLevels(const Difference& difference);

// The colour of level v (-1..1) laid over the map: blue below zero, red
// above, fully transparent at zero so the map shows through, more opaque
// with |v|. The map shader computes the same (shaders/map.frag).
struct Rgba {
    float r = 0.0f, g = 0.0f, b = 0.0f, a = 0.0f;
};
Rgba divergingColour(float v);

// The legend of the difference: five ticks from +largest (level 1, the
// bar's top) through 0 (level 0.5) to -largest (level 0), signed labels,
// and the unit: per day for dated samples, else said to be plain counts.
analysis::Legend divergingLegend(float largest, bool perDay);

// The readout at the pointer: the position, then A, B and A - B at the
// cell in samples/km² (per day when dated) and each selection's samples
// in the cell.
struct CellPair {
    double perKm2A = 0.0, perKm2B = 0.0;     // per day when the days are not 0
    std::int64_t samplesA = 0, samplesB = 0;  // centred in the cell, not divided
};
std::string readoutText(const analysis::MapPoint& point, const CellPair& cell, const GeoFrame& frame,
                        std::int64_t daysA, std::int64_t daysB);

// "+1.23k", "-0.512", "0": a signed density as the difference's labels show it.
std::string formatSigned(double perKm2);

}  // namespace compare
