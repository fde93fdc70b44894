// The Gaussian weight table and the size and sigma corrections around it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "engine/HeatmapEngine.h"
#include "kde/Backend.h"
#include "model/GeoFrame.h"

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

namespace {

// The table's standard deviation along each axis, in metres on the ground.
std::pair<double, double> spreadInMetres(const std::vector<float>& table, int rows, int cols, const GeoFrame& frame) {
    double total = 0.0, rowMoment = 0.0, colMoment = 0.0;
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) {
            const double w = table[static_cast<std::size_t>(i) * cols + j];
            total += w;
            rowMoment += w * (i - rows / 2) * (i - rows / 2);
            colMoment += w * (j - cols / 2) * (j - cols / 2);
        }
    return {std::sqrt(rowMoment / total) * cellHeightMetres(frame), std::sqrt(colMoment / total) * cellWidthMetres(frame)};
}

// A kernel set in cells is an ellipse in metres where the cells are not
// square: the table must be scaled east-west so it is round on the ground,
// and frames within 2% of square (the default box) keep the square table
// bit for bit.
TEST(GaussKernel, IsRoundOnTheGroundInAnyFrame) {
    const struct {
        GeoFrame frame;
        float sigma;
        int size;
        bool square;
    } cases[] = {
        {GeoFrame{}, 3.0f, 25, true},                                  // the default box, 38.3 x 38.9 m
        {GeoFrame{47.425, -122.55, 47.775, -122.1}, 4.0f, 41, false},  // 33.7 x 38.9 m
        {GeoFrame{-0.15, 10.0, 0.15, 10.45}, 3.0f, 31, false},         // 50.0 x 33.4 m
        {GeoFrame{59.8, 10.5, 60.1, 11.1}, 2.5f, 21, true},            // 33.4 x 33.4 m
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(frameText(c.frame));
        const double aspect = cellAspect(c.frame);
        const engine::KernelShape shape = engine::kernelShape(c.sigma, c.size, aspect);
        const std::vector<float> table = engine::usableGaussKernel(shape);
        ASSERT_EQ(table.size(), static_cast<std::size_t>(shape.rows) * shape.cols);
        EXPECT_EQ(shape.rows, c.size);
        if (c.square) {
            EXPECT_EQ(aspect, 1.0);
            EXPECT_EQ(table, HeatmapEngine::makeGaussKernel(c.sigma, c.size));
            continue;
        }
        EXPECT_NE(shape.cols, shape.rows);
        const auto [northSouth, eastWest] = spreadInMetres(table, shape.rows, shape.cols, c.frame);
        EXPECT_NEAR(eastWest / northSouth, 1.0, 0.02);
        EXPECT_NEAR(northSouth, c.sigma * cellHeightMetres(c.frame), 0.02 * northSouth);
    }
}

// Size that ends the Gaussian inside two sigmas shows the table's box edges;
// the line names the Size that holds it.
TEST(GaussKernel, SaysWhenSizeCutsTheGaussianShort) {
    EXPECT_EQ(engine::kernelCutShortWarning(engine::kernelShape(1.0f, 5, 1.0)), "");
    EXPECT_EQ(engine::kernelCutShortWarning(engine::kernelShape(3.0f, 13, 0.8)), "");
    EXPECT_EQ(engine::kernelCutShortWarning(engine::kernelShape(3.0f, 11, 1.0)),
              "Size 11 ends the Gaussian inside two sigmas, so its box edges show: Size 13 or more holds it");
}

}  // namespace
