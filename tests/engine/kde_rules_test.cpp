// Where points land, what the filters keep and how stamps are clipped, on
// the literal reference engine (the fast engine and the CUDA module are held
// to it by the differential tests).
#include <gtest/gtest.h>

#include <limits>

#include "EngineTestData.h"
#include "cpu/ReferenceEngine.h"
#include "engine/HeatmapEngine.h"

namespace {

std::vector<float> densityOf(std::vector<Datapoint> points, int size, std::int32_t mask = kAllModes,
                             std::int32_t minTime = 0, std::int32_t maxTime = 86400) {
    engine::ReferenceEngine reference(std::move(points));
    reference.setKernel(HeatmapEngine::makeGaussKernel(1.0f, size), size);
    ControlSettings settings;
    settings.mode_mask = mask;
    settings.min_time = minTime;
    settings.max_time = maxTime;
    return reference.density(settings);
}

int nonZeroCells(const std::vector<float>& grid) {
    int n = 0;
    for (float v : grid) n += v != 0.0f;
    return n;
}

TEST(KdeRules, StampIsCentredOnTheTruncatedProductPlusOne) {
    const auto grid = densityOf({Datapoint(0.5f, 0.25f, WALK, 10)}, 3);
    const auto table = HeatmapEngine::makeGaussKernel(1.0f, 3);
    EXPECT_EQ(nonZeroCells(grid), 9);
    for (int u = 0; u < 3; ++u)
        for (int v = 0; v < 3; ++v) EXPECT_EQ(at(grid, 500 + u, 250 + v), table[u * 3 + v]);
    EXPECT_EQ(at(grid, 501, 251), table[4]);
}

TEST(KdeRules, CellIndexTruncatesTowardZero) {
    for (float x : {0.0f, 0.0009f, -0.0009f}) {
        const auto grid = densityOf({Datapoint(x, 0.5f, WALK, 10)}, 1);
        EXPECT_EQ(at(grid, 1, 501), 1.0f) << x;
    }
}

TEST(KdeRules, StampsAreClippedAtAllFourEdges) {
    // Centred on column 1000: the centre and right columns fall off the grid
    // and must not wrap into column 0 of the next row.
    const auto right = densityOf({Datapoint(0.5f, 0.9995f, WALK, 10)}, 3);
    EXPECT_EQ(nonZeroCells(right), 3);
    for (int row = 500; row <= 502; ++row) {
        EXPECT_GT(at(right, row, 999), 0.0f);
        EXPECT_EQ(at(right, row + 1, 0), 0.0f);
    }
    // Centred on column -1 (y in (-0.003, -0.002]): only column 0 is reached,
    // nothing wraps to column 999 of the row below.
    const auto left = densityOf({Datapoint(0.5f, -0.0025f, WALK, 10)}, 3);
    EXPECT_EQ(nonZeroCells(left), 3);
    for (int row = 500; row <= 502; ++row) EXPECT_GT(at(left, row, 0), 0.0f);
    // (1, 1) is centred on (1001, 1001): of a size-5 stamp only the corner
    // entry (-2, -2) lands, on the last cell.
    const auto corner = densityOf({Datapoint(1.0f, 1.0f, WALK, 10)}, 5);
    EXPECT_EQ(nonZeroCells(corner), 1);
    EXPECT_EQ(at(corner, 999, 999), HeatmapEngine::makeGaussKernel(1.0f, 5)[0]);
    // Centred on row 0: the table row that falls below row 0 is dropped.
    const auto bottom = densityOf({Datapoint(-0.0015f, 0.5f, WALK, 10)}, 3);
    EXPECT_EQ(nonZeroCells(bottom), 6);
}

TEST(KdeRules, InvalidPointsAndDefaultRecordsNeverContribute) {
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<Datapoint> points;
    for (float bad : {std::nanf(""), inf, -inf, 3e9f, -3e9f, 1e30f}) {
        points.emplace_back(bad, 0.5f, WALK, 10);
        points.emplace_back(0.5f, bad, WALK, 10);
    }
    points.emplace_back();  // (-1, -1, UNKNOWN, -1)
    EXPECT_EQ(nonZeroCells(densityOf(points, 101, kAllModes, -10, 86400)), 0);
    EXPECT_EQ(nonZeroCells(densityOf(points, 1, 0)), 0);
}

TEST(KdeRules, ModeFilterDropsOnlyClearedFlagsOfTheEleven) {
    const std::vector<Datapoint> points = {Datapoint(0.1f, 0.1f, WALK, 10), Datapoint(0.2f, 0.2f, BUS, 10),
                                           Datapoint(0.3f, 0.3f, modeValue(4096), 10),
                                           Datapoint(0.4f, 0.4f, modeValue(3), 99999)};
    const auto walkOnly = densityOf(points, 1, WALK);
    EXPECT_EQ(at(walkOnly, 101, 101), 1.0f);
    EXPECT_EQ(at(walkOnly, 201, 201), 0.0f);
    EXPECT_EQ(at(walkOnly, 301, 301), 1.0f);  // not one of the eleven: passes
    EXPECT_EQ(at(walkOnly, 401, 401), 0.0f);  // passes the modes, fails the window
    // Mask 0 drops every flagged point and ignores the time window.
    const auto none = densityOf(points, 1, 0);
    EXPECT_EQ(nonZeroCells(none), 2);
    EXPECT_EQ(at(none, 401, 401), 1.0f);
}

TEST(KdeRules, TimeWindowIsInclusiveAtBothEnds) {
    std::vector<Datapoint> points;
    const std::int32_t times[] = {3599, 3600, 5000, 7200, 7201};
    for (int i = 0; i < 5; ++i) points.emplace_back(0.1f * (i + 1), 0.5f, CAR, times[i]);
    const auto grid = densityOf(points, 1, kAllModes, 3600, 7200);
    EXPECT_EQ(nonZeroCells(grid), 3);
    EXPECT_EQ(at(grid, 201, 501), 1.0f);
    EXPECT_EQ(at(grid, 401, 501), 1.0f);
}

TEST(KdeRules, SizeOneCountsPointsAndAnEmptySetGivesNothing) {
    std::vector<Datapoint> points(300, Datapoint(0.7f, 0.7f, BIKE, 100));
    EXPECT_EQ(at(densityOf(points, 1), 701, 701), 300.0f);
    EXPECT_EQ(nonZeroCells(densityOf({}, 5)), 0);
}

}  // namespace

namespace {

// The placement and clipping rules follow the grid side the precision gives,
// not a fixed 1000: a 10 x 10 grid for one digit.
TEST(KdeRules, GridSideFollowsThePrecision) {
    EXPECT_EQ(kde::grid_side(kde::kPrecision), kde::kSide);
    const int side = kde::grid_side(1);
    ASSERT_EQ(side, 10);
    const kde::Cell cell = kde::cell_function(Datapoint(0.55f, 0.95f, WALK, 10), side);
    ASSERT_TRUE(cell.valid);
    EXPECT_EQ(cell.row, 6);
    EXPECT_EQ(cell.col, 10);
    std::vector<float> grid(side * side, 0.0f);
    struct Add {
        std::vector<float>& grid;
        void operator()(int index, float weight) const { grid.at(index) += weight; }
    } add{grid};
    const auto table = HeatmapEngine::makeGaussKernel(1.0f, 3);
    kde::stamp_function(cell.row, cell.col, table.data(), 3, side, add);
    // Column 10 lies past the last column: only table column 0 lands, on column 9.
    int nonZero = 0;
    for (float v : grid) nonZero += v != 0.0f;
    EXPECT_EQ(nonZero, 3);
    for (int u = 0; u < 3; ++u) EXPECT_EQ(grid[(5 + u) * side + 9], table[u * 3]);
}

}  // namespace
