#pragma once
// Shared helpers of the engine tests: grid access and a small adversarial
// data set with points on and beyond every edge of the grid.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "kde/KdeLogic.h"
#include "model/Datapoint.h"

inline float& at(std::vector<float>& grid, int row, int col) { return grid[row * kde::kSide + col]; }
inline float at(const std::vector<float>& grid, int row, int col) { return grid[row * kde::kSide + col]; }

inline TransportationMode modeValue(std::int32_t value) { return static_cast<TransportationMode>(value); }

// Points everywhere a mistake in placement, clipping, filtering or the
// cached counts would show: a dense hotspot (so the maximum is well above
// every rounding error), a uniform spread, every edge and corner exactly and
// just beyond, points far outside, invalid coordinates, default records and
// mode values that are none of the eleven flags.
inline std::vector<Datapoint> adversarialPoints(unsigned seed, int uniform) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_int_distribution<int> pickMode(0, kModeCount + 4);
    std::uniform_int_distribution<std::int32_t> pickTime(-100, 86500);
    const std::int32_t oddModes[] = {0, 3, 2048, -1, 4096};
    const auto randomMode = [&] {
        const int k = pickMode(random);
        return modeValue(k < kModeCount ? kModes[k] : oddModes[k - kModeCount]);
    };
    const auto randomTime = [&] {
        const std::int32_t edges[] = {0, 3599, 3600, 7200, 7201, 25200, 32400, 86399, 86400};
        return (random() % 8 == 0) ? edges[random() % 9] : pickTime(random);
    };
    std::vector<Datapoint> points;
    for (int i = 0; i < uniform / 4; ++i)
        points.emplace_back(0.3f + 0.0004f * unit(random), 0.6f + 0.0004f * unit(random), randomMode(), randomTime());
    for (int i = 0; i < uniform; ++i) points.emplace_back(unit(random), unit(random), randomMode(), randomTime());
    const float edges[] = {0.0f, 0.0005f, -0.0005f, -0.0015f, -0.0025f, 0.999f, 0.9995f, 1.0f, 1.0005f,
                           1.0015f, 1.002f, -0.03f, 1.03f, -0.07f, 1.07f, 1.5f, -20.0f, 30.0f};
    for (float a : edges) {
        for (float b : edges) points.emplace_back(a, b, randomMode(), randomTime());
        for (int k = 0; k < 4; ++k) {
            points.emplace_back(a, unit(random), randomMode(), randomTime());
            points.emplace_back(unit(random), a, randomMode(), randomTime());
        }
    }
    const float inf = std::numeric_limits<float>::infinity();
    const float bad[] = {std::nanf(""), inf, -inf, 3e9f, -3e9f, 1e30f};
    for (float a : bad) {
        points.emplace_back(a, 0.5f, mode::WALK, 100);
        points.emplace_back(0.5f, a, mode::BUS, 100);
    }
    for (int i = 0; i < 50; ++i) points.emplace_back();  // (-1, -1, UNKNOWN, -1)
    std::shuffle(points.begin(), points.end(), random);
    return points;
}

// Two convolutions of the same integer counts that add in another order: the
// CPU engine's blocked passes (fused multiply-adds where the processor has
// them, subnormal tails flushed to zero) and the CUDA counting path (plain
// products, in index order). Each pass sums at most `size` positive terms,
// (size + 1) u of the value, and the factor holds to a few roundings per
// entry, so each side is within (2 size + 8) u of the exact sum, and they are
// within twice that of each other; every flushed term loses less than
// FLT_MIN, at most `samples` of them per pass.
inline float convolutionTolerance(float value, int size, std::size_t samples) {
    constexpr double unit = 1.0 / (1 << 24);
    return static_cast<float>(2.0 * (2.0 * size + 8.0) * unit * std::fabs(value) +
                              2.0 * static_cast<double>(samples) * std::numeric_limits<float>::min());
}
