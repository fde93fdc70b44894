// The Gaussian weight table and the size and sigma corrections around it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "engine/HeatmapEngine.h"
#include "kde/Backend.h"

namespace {

TEST(GaussKernel, HasTheListedWeightsToTheLastDigit) {
    EXPECT_EQ(HeatmapEngine::makeGaussKernel(1.0f, 1), std::vector<float>{1.0f});
    EXPECT_EQ(HeatmapEngine::makeGaussKernel(7.5f, 1), std::vector<float>{1.0f});

    // Each weight is the float nearest its share of the total summed in
    // double; a float total made these 0.16210285 and 0.0029690173.
    const auto five = HeatmapEngine::makeGaussKernel(1.0f, 5);
    ASSERT_EQ(five.size(), 25u);
    EXPECT_EQ(five[12], 0.162102818f);
    for (int corner : {0, 4, 20, 24}) EXPECT_EQ(five[corner], 0.00296901655f);
    EXPECT_NEAR(std::accumulate(five.begin(), five.end(), 0.0), 1.0, 25 * 6e-8);

    const auto three = HeatmapEngine::makeGaussKernel(1.0f, 3);
    EXPECT_EQ(three[4], 0.20417996f);
    for (int corner : {0, 2, 6, 8}) EXPECT_EQ(three[corner], 0.07511361f);
}

// Summed in float, the weights' total drifted with their number (1.0052 at
// 2001); every density is a share of it.
TEST(GaussKernel, SumsToOneAtLargeSizes) {
    for (const auto& [size, sigma] : {std::pair{101, 10.0f}, {2001, 300.0f}, {4001, 1000.0f}}) {
        const auto table = HeatmapEngine::makeGaussKernel(sigma, size);
        EXPECT_NEAR(std::accumulate(table.begin(), table.end(), 0.0), 1.0, 1e-6) << size;
    }
}

TEST(GaussKernel, IsSymmetricInRowsAndColumns) {
    const int size = 21;
    const auto table = HeatmapEngine::makeGaussKernel(3.0f, size);
    for (int i = 0; i < size; ++i)
        for (int j = 0; j < size; ++j) {
            EXPECT_EQ(table[i * size + j], table[j * size + i]);
            EXPECT_EQ(table[i * size + j], table[(size - 1 - i) * size + j]);
        }
}

TEST(GaussKernel, RejectsSizesItCannotFill) {
    // An even size would write past the table; zero or negative has no centre.
    for (int size : {0, -1, 2, 4, 100})
        EXPECT_THROW(HeatmapEngine::makeGaussKernel(1.0f, size), std::invalid_argument) << size;
}

TEST(GaussKernel, SizesAreCorrectedLikeThePanelDoes) {
    EXPECT_EQ(engine::effectiveKernelSize(5), 5);
    EXPECT_EQ(engine::effectiveKernelSize(4), 5);
    EXPECT_EQ(engine::effectiveKernelSize(0), 1);
    EXPECT_EQ(engine::effectiveKernelSize(-7), 1);
    EXPECT_EQ(engine::effectiveKernelSize(23169), 23169);
    EXPECT_EQ(engine::effectiveKernelSize(23170), 23169);
    EXPECT_EQ(engine::effectiveKernelSize(1 << 30), 23169);
}

TEST(GaussKernel, SigmaWithoutAFiniteTableFallsBackToItsLimit) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Vanishing or invalid sigma: all weight on the centre.
    for (float sigma : {0.0f, 1e-30f, nan}) {
        const auto table = engine::usableGaussKernel(sigma, 3);
        EXPECT_EQ(table, (std::vector<float>{0, 0, 0, 0, 1, 0, 0, 0, 0})) << sigma;
    }
    // So large every weight underflows: a flat table.
    const auto flat = engine::usableGaussKernel(1e30f, 3);
    EXPECT_EQ(engine::usableGaussKernel(std::numeric_limits<float>::infinity(), 3), flat);
    for (float w : flat) EXPECT_FLOAT_EQ(w, 1.0f / 9.0f);
    // A negative sigma squares like a positive one.
    EXPECT_EQ(engine::usableGaussKernel(-1.0f, 5), HeatmapEngine::makeGaussKernel(1.0f, 5));
}

}  // namespace
