// The fast CPU engine against the literal reference over adversarial data and
// many settings, on one engine instance so its caches are exercised too.
//
// Tolerance. Every contribution to a cell is positive, so the errors are
// relative to the cell's value D:
// - the reference adds the n contributions of a cell one by one in float:
//   at most (n - 1) u D, with u = 2^-24;
// - the fast engine counts exactly, then sums at most `size` products per
//   pass in two passes, (size + 1) u D each, and factors the table into the
//   outer product of its normalised row sums, which holds to a few roundings
//   of each entry (taken as 6 u).
// So |fast - reference| <= (n + 2 size + 8) u D, with n counted per cell by
// running the reference with a table of ones. Weights in the subnormal range
// lose their relative precision: each contribution may add up to FLT_MIN.
// The normalised grids follow from there: the value error over the maximum
// plus the maximum's error scaled by the value, and two roundings. Under the
// log scale a cell's error is its relative error; cells whose value is not
// resolved (subnormal, or within its own tolerance of 0) have no meaningful
// logarithm and are only checked to stay at or below 0.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "EngineTestData.h"
#include "cpu/FastEngine.h"
#include "cpu/ReferenceEngine.h"
#include "engine/HeatmapEngine.h"

namespace {

constexpr double kUnit = 1.0 / (1 << 24);

struct Case {
    int size;
    float sigma;
    std::int32_t mask;
    std::int32_t minTime;
    std::int32_t maxTime;
    bool log;
};

std::string describe(const Case& c) {
    return "size " + std::to_string(c.size) + " sigma " + std::to_string(c.sigma) + " mask " +
           std::to_string(c.mask) + " time " + std::to_string(c.minTime) + ".." + std::to_string(c.maxTime) +
           (c.log ? " log" : " linear");
}

void compareOne(engine::FastEngine& fast, engine::ReferenceEngine& reference, engine::ReferenceEngine& counter,
                const Case& c) {
    SCOPED_TRACE(describe(c));
    const auto table = HeatmapEngine::makeGaussKernel(c.sigma, c.size);
    fast.setKernel(table, c.size);
    reference.setKernel(table, c.size);
    counter.setKernel(std::vector<float>(table.size(), 1.0f), c.size);
    ControlSettings settings;
    settings.kernel_size = c.size;
    settings.sigma = c.sigma;
    settings.mode_mask = c.mask;
    settings.min_time = c.minTime;
    settings.max_time = c.maxTime;
    settings.use_log_scale = c.log;

    const std::vector<float> fastDensity = fast.density(settings);
    const std::vector<float> refDensity = reference.density(settings);
    const std::vector<float> contributions = counter.density(settings);

    std::vector<double> tolerance(kde::kCells);
    int rawFailures = 0;
    for (int i = 0; i < kde::kCells; ++i) {
        const double n = contributions[i];
        tolerance[i] = (n + 2.0 * c.size + 8.0) * kUnit * refDensity[i] + n * FLT_MIN;
        if (std::abs(double{fastDensity[i]} - refDensity[i]) > tolerance[i] && ++rawFailures <= 5)
            ADD_FAILURE() << "density at row " << i / kde::kSide << " column " << i % kde::kSide << ": fast "
                          << fastDensity[i] << ", reference " << refDensity[i] << ", contributions " << n;
    }
    ASSERT_EQ(rawFailures, 0);

    const std::vector<float> fastGrid = fast.compute(settings);
    const std::vector<float> refGrid = reference.compute(settings);
    const bool useLog = kde::log_enabled(c.log, c.mask);
    // Each cell's error, in the units of the grid before normalisation.
    const auto errorOf = [&](int i) {
        const double d = refDensity[i];
        return useLog ? tolerance[i] / d + 2 * kUnit * std::abs(std::log(d)) : tolerance[i];
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
        const double value = useLog ? std::log(d) : d;
        if (value > maximum) {
            maximum = value;
            maximumCell = i;
        }
    }
    double maximumError = maximumCell >= 0 ? errorOf(maximumCell) : 0.0;
    for (int i = 0; i < kde::kCells; ++i) {
        if (!resolvedAt(i)) continue;
        const double value = useLog ? std::log(refDensity[i]) : refDensity[i];
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

TEST(FastEngineAgainstReference, AgreesOverAdversarialDataAndSettings) {
    const auto points = adversarialPoints(7, 5000);
    engine::FastEngine fast(points, 2);
    engine::ReferenceEngine reference(points);
    engine::ReferenceEngine counter(points);

    std::mt19937 random(11);
    const std::int32_t masks[] = {0,
                                  1,
                                  1024,
                                  2047,
                                  static_cast<std::int32_t>(random() % 2048),
                                  static_cast<std::int32_t>(random() % 2048),
                                  static_cast<std::int32_t>(random() % 2048),
                                  4096 | WALK,
                                  2047 | 4096};
    const std::pair<std::int32_t, std::int32_t> windows[] = {
        {0, 86400}, {3600, 7200}, {25200, 32400}, {7200, 3600}, {-100, 86500}, {0, 30000}, {86399, 86399}};
    int round = 0;
    for (int size : {1, 3, 5, 21}) {
        for (std::int32_t mask : masks) {
            const auto [from, to] = windows[round % std::size(windows)];
            const float sigma = round % 2 ? 10.0f : 1.0f;
            compareOne(fast, reference, counter, Case{size, sigma, mask, from, to, round % 3 != 0});
            ++round;
            if (HasFatalFailure()) return;
        }
    }
    const std::int32_t someModes = static_cast<std::int32_t>(random() % 2048);
    for (const auto& [sigma, mask] : {std::pair{1.0f, 2047}, std::pair{10.0f, someModes}, std::pair{10.0f, 4096}})
        compareOne(fast, reference, counter, Case{101, sigma, mask, 25200, 32400, mask != 4096});
}

}  // namespace

namespace {

// Tables wider than the fast engine's count-grid margin: points centred far
// outside the grid still reach it and are stamped one by one.
TEST(FastEngineAgainstReference, AgreesForTablesReachingFromFarOutside) {
    const auto points = adversarialPoints(5, 400);
    engine::FastEngine fast(points, 2);
    engine::ReferenceEngine reference(points);
    engine::ReferenceEngine counter(points);
    compareOne(fast, reference, counter, Case{201, 40.0f, 2047 | 4096, 0, 86400, false});
    compareOne(fast, reference, counter, Case{161, 3.0f, 0, 0, 86400, true});
}

}  // namespace
