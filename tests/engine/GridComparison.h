#pragma once
// Compares an engine's grids with the literal reference engine's, with a
// tolerance derived per cell.
//
// Tolerance. Every contribution to a cell is positive, so the errors are
// relative to the cell's value D, with u = 2^-24:
// - the reference adds the n contributions of a cell one by one in float:
//   at most (n - 1) u D;
// - the candidate's own rounding is given per engine (candidateTerms):
//   the counting CPU engine counts exactly, then sums at most `size` products per
//   pass in two passes, (size + 1) u D each, and factors the table into the
//   outer product of its normalised row sums, which holds to a few roundings
//   of each entry (6 u): 2 size + 8 terms. The CUDA engine adds the same n
//   contributions in another order: n terms.
// n is counted per cell by running the reference with a table of ones.
// Weights in the subnormal range lose their relative precision: each
// contribution may add up to FLT_MIN. The normalised grids follow from
// there: the value error over the maximum plus the maximum's error scaled by
// the value, and two roundings. Under the log scale (ln(1 + d)) a cell's error
// is its error over 1 + d plus a rounding of each logarithm; cells whose value
// is not resolved (subnormal, or within its own tolerance of 0) are only
// checked to stay near 0.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <string>
#include <vector>

#include "cpu/ReferenceEngine.h"
#include "engine/HeatmapEngine.h"

namespace gridcheck {

inline constexpr double kUnit = 1.0 / (1 << 24);

struct Case {
    int size;
    float sigma;
    std::int32_t mask;
    std::int32_t minTime;
    std::int32_t maxTime;
    bool log;
    // The cells' east-west width over their height on the ground: the
    // table's sides differ where it is not 1.
    double aspect = 1.0;
    // The day classes taken (ControlSettings::day_classes).
    std::uint8_t dayClasses = kAllDayClasses;
};

inline std::string describe(const Case& c) {
    return "size " + std::to_string(c.size) + " sigma " + std::to_string(c.sigma) + " mask " +
           std::to_string(c.mask) + " time " + std::to_string(c.minTime) + ".." + std::to_string(c.maxTime) +
           (c.log ? " log" : " linear") + (c.aspect != 1.0 ? " aspect " + std::to_string(c.aspect) : "") +
           (c.dayClasses != kAllDayClasses ? " day classes " + std::to_string(c.dayClasses) : "");
}

// candidate is the engine under test; with candidateDensity its raw grid is
// checked too. The candidate's own rounding per cell is at most
// (candidateTerms(n) ) u D for a cell of n contributions.
template <typename Candidate>
void compareOne(Candidate& fast, engine::ReferenceEngine& reference, engine::ReferenceEngine& counter, const Case& c,
                double (*candidateTerms)(double n, int size), bool candidateDensity) {
    SCOPED_TRACE(describe(c));
    const engine::KernelShape shape = engine::kernelShape(c.sigma, c.size, c.aspect);
    const auto table = engine::usableGaussKernel(shape);
    fast.setKernel(table, shape.rows, shape.cols);
    reference.setKernel(table, shape.rows, shape.cols);
    counter.setKernel(std::vector<float>(table.size(), 1.0f), shape.rows, shape.cols);
    const int longestSide = std::max(shape.rows, shape.cols);
    ControlSettings settings;
    settings.cell_aspect = c.aspect;
    settings.kernel_size = c.size;
    settings.sigma = c.sigma;
    settings.mode_mask = c.mask;
    settings.min_time = c.minTime;
    settings.max_time = c.maxTime;
    settings.use_log_scale = c.log;
    settings.day_classes = c.dayClasses;

    std::vector<float> fastDensity;
    if constexpr (requires { fast.density(settings); })
        fastDensity = candidateDensity ? fast.density(settings) : reference.density(settings);
    else
        fastDensity = reference.density(settings);
    const std::vector<float> refDensity = reference.density(settings);
    const std::vector<float> contributions = counter.density(settings);

    std::vector<double> tolerance(kde::kCells);
    int rawFailures = 0;
    for (int i = 0; i < kde::kCells; ++i) {
        const double n = contributions[i];
        tolerance[i] = (n + candidateTerms(n, longestSide)) * kUnit * refDensity[i] + n * FLT_MIN;
        if (std::abs(double{fastDensity[i]} - refDensity[i]) > tolerance[i] && ++rawFailures <= 5)
            ADD_FAILURE() << "density at row " << i / kde::kSide << " column " << i % kde::kSide << ": fast "
                          << fastDensity[i] << ", reference " << refDensity[i] << ", contributions " << n;
    }
    ASSERT_EQ(rawFailures, 0);

    const std::vector<float> fastGrid = fast.compute(settings);
    const std::vector<float> refGrid = reference.compute(settings);
    const bool useLog = c.log;
    // Each cell's error, in the units of the grid before normalisation.
    const auto errorOf = [&](int i) {
        const double d = refDensity[i];
        return useLog ? tolerance[i] / (1.0 + d) + 2 * kUnit * std::abs(std::log1p(d)) : tolerance[i];
    };
    const auto resolvedAt = [&](int i) {
        return refDensity[i] >= FLT_MIN && refDensity[i] > 2.0 * tolerance[i];
    };
    // The maximum of either grid lies between the reference maximum less its
    // error and the largest value plus error of any cell.
    double maximum = 0.0;
    int maximumCell = -1;
    for (int i = 0; i < kde::kCells; ++i) {
        const double d = refDensity[i];
        if (d <= 0.0) continue;
        const double value = useLog ? std::log1p(d) : d;
        if (value > maximum) {
            maximum = value;
            maximumCell = i;
        }
    }
    double maximumError = maximumCell >= 0 ? errorOf(maximumCell) : 0.0;
    for (int i = 0; i < kde::kCells; ++i) {
        if (!resolvedAt(i)) continue;
        const double value = useLog ? std::log1p(refDensity[i]) : refDensity[i];
        maximumError = std::max(maximumError, value + errorOf(i) - maximum);
    }
    if (maximum <= 0.0) {
        // Nothing positive: both engines must return the empty grid.
        EXPECT_TRUE(std::all_of(fastGrid.begin(), fastGrid.end(), [](float v) { return v == 0.0f; }));
        EXPECT_TRUE(std::all_of(refGrid.begin(), refGrid.end(), [](float v) { return v == 0.0f; }));
        return;
    }
    ASSERT_GT(maximum, 10 * maximumError) << "data set too thin to compare normalised grids";

    int failures = 0;
    for (int i = 0; i < kde::kCells; ++i) {
        ASSERT_TRUE(std::isfinite(fastGrid[i]));
        double allowed;
        if (useLog) {
            if (!resolvedAt(i)) {
                if ((fastGrid[i] > 1e-6f || refGrid[i] > 1e-6f) && ++failures <= 5)
                    ADD_FAILURE() << "unresolved cell " << i << " above 0: fast " << fastGrid[i] << ", reference "
                                  << refGrid[i];
                continue;
            }
            allowed = (errorOf(i) + std::abs(refGrid[i]) * maximumError) / (maximum - maximumError);
        } else {
            allowed = (tolerance[i] + std::abs(refGrid[i]) * maximumError) / (maximum - maximumError);
        }
        allowed += 2 * kUnit * std::abs(refGrid[i]);
        if (std::abs(double{fastGrid[i]} - refGrid[i]) > allowed && ++failures <= 5)
            ADD_FAILURE() << "result at row " << i / kde::kSide << " column " << i % kde::kSide << ": fast "
                          << fastGrid[i] << ", reference " << refGrid[i] << ", allowed " << allowed;
    }
    EXPECT_EQ(failures, 0);
}

}  // namespace gridcheck
