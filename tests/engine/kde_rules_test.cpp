// Where points land, what the filters keep and how stamps are clipped, on
// the literal reference engine (the counting engine and the CUDA module are held
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

TEST(KdeRules, StampIsCentredOnTheCellThatHoldsThePoint) {
    const auto grid = densityOf({Datapoint(0.5f, 0.25f, mode::WALK, 10)}, 3);
    const auto table = HeatmapEngine::makeGaussKernel(1.0f, 3);
    EXPECT_EQ(nonZeroCells(grid), 9);
    for (int u = 0; u < 3; ++u)
        for (int v = 0; v < 3; ++v) EXPECT_EQ(at(grid, 499 + u, 249 + v), table[u * 3 + v]);
    EXPECT_EQ(at(grid, 500, 250), table[4]);
}

// The cell is the floor of the product (not a truncation toward zero, which
// would put points just south or west of the frame into its first row), and
// a point on the north or east border belongs to the last row or column:
// with the product plus one, such points were centred off the grid and lost
// at size 1.
TEST(KdeRules, CellIsTheFloorOfTheProductAndTheBorderBelongsToTheLastCell) {
    const struct {
        float x;
        int row;  // -1: off the grid
    } cases[] = {{0.0f, 0}, {0.0009f, 0}, {0.001f, 1}, {0.5f, 500}, {0.9995f, 999}, {1.0f, 999},
                 {-0.0009f, -1}, {1.0005f, -1}};
    for (const auto& c : cases) {
        const auto grid = densityOf({Datapoint(c.x, 0.5f, mode::WALK, 10), Datapoint(0.5f, c.x, mode::WALK, 10)}, 1);
        if (c.row < 0) {
            EXPECT_EQ(nonZeroCells(grid), 0) << c.x;
            continue;
        }
        EXPECT_EQ(at(grid, c.row, 500), c.row == 500 ? 2.0f : 1.0f) << c.x;
        EXPECT_EQ(at(grid, 500, c.row), c.row == 500 ? 2.0f : 1.0f) << c.x;
    }
}

TEST(KdeRules, StampsAreClippedAtAllFourEdges) {
    // Centred on column 1000, just east of the frame: the centre and right
    // columns fall off the grid and must not wrap into column 0 of the next row.
    const auto right = densityOf({Datapoint(0.5f, 1.0005f, mode::WALK, 10)}, 3);
    EXPECT_EQ(nonZeroCells(right), 3);
    for (int row = 499; row <= 501; ++row) {
        EXPECT_GT(at(right, row, 999), 0.0f);
        EXPECT_EQ(at(right, row + 1, 0), 0.0f);
    }
    // Centred on column -1: only column 0 is reached, nothing wraps to
    // column 999 of the row below.
    const auto left = densityOf({Datapoint(0.5f, -0.0005f, mode::WALK, 10)}, 3);
    EXPECT_EQ(nonZeroCells(left), 3);
    for (int row = 499; row <= 501; ++row) EXPECT_GT(at(left, row, 0), 0.0f);
    // (1, 1) is the north-east corner, centred on (999, 999): of a size-5
    // stamp the 3 x 3 entries up to the centre land.
    const auto corner = densityOf({Datapoint(1.0f, 1.0f, mode::WALK, 10)}, 5);
    EXPECT_EQ(nonZeroCells(corner), 9);
    EXPECT_EQ(at(corner, 999, 999), HeatmapEngine::makeGaussKernel(1.0f, 5)[12]);
    // Centred on row -1: the table rows that fall below row 0 are dropped.
    const auto bottom = densityOf({Datapoint(-0.0005f, 0.5f, mode::WALK, 10)}, 3);
    EXPECT_EQ(nonZeroCells(bottom), 3);
}

TEST(KdeRules, InvalidPointsAndDefaultRecordsNeverContribute) {
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<Datapoint> points;
    for (float bad : {std::nanf(""), inf, -inf, 3e9f, -3e9f, 1e30f}) {
        points.emplace_back(bad, 0.5f, mode::WALK, 10);
        points.emplace_back(0.5f, bad, mode::WALK, 10);
    }
    points.emplace_back();  // (-1, -1, UNKNOWN, -1)
    EXPECT_EQ(nonZeroCells(densityOf(points, 101, kAllModes, -10, 86400)), 0);
    EXPECT_EQ(nonZeroCells(densityOf(points, 1, 0)), 0);
}

TEST(KdeRules, ModeFilterDropsOnlyClearedFlagsOfTheEleven) {
    const std::vector<Datapoint> points = {Datapoint(0.1f, 0.1f, mode::WALK, 10), Datapoint(0.2f, 0.2f, mode::BUS, 10),
                                           Datapoint(0.3f, 0.3f, modeValue(4096), 10),
                                           Datapoint(0.4f, 0.4f, modeValue(3), 99999)};
    const auto walkOnly = densityOf(points, 1, mode::WALK);
    EXPECT_EQ(at(walkOnly, 100, 100), 1.0f);
    EXPECT_EQ(at(walkOnly, 200, 200), 0.0f);
    EXPECT_EQ(at(walkOnly, 300, 300), 1.0f);  // not one of the eleven: passes
    EXPECT_EQ(at(walkOnly, 400, 400), 0.0f);  // passes the modes, fails the window
    // Mask 0 drops every flagged point and ignores the time window.
    const auto none = densityOf(points, 1, 0);
    EXPECT_EQ(nonZeroCells(none), 2);
    EXPECT_EQ(at(none, 400, 400), 1.0f);
}

TEST(KdeRules, TimeWindowIsInclusiveAtBothEnds) {
    std::vector<Datapoint> points;
    const std::int32_t times[] = {3599, 3600, 5000, 7200, 7201};
    for (int i = 0; i < 5; ++i) points.emplace_back(0.1f * (i + 1), 0.5f, mode::CAR, times[i]);
    const auto grid = densityOf(points, 1, kAllModes, 3600, 7200);
    EXPECT_EQ(nonZeroCells(grid), 3);
    EXPECT_EQ(at(grid, 200, 500), 1.0f);
    EXPECT_EQ(at(grid, 400, 500), 1.0f);
}

TEST(KdeRules, SizeOneCountsPointsAndAnEmptySetGivesNothing) {
    std::vector<Datapoint> points(300, Datapoint(0.7f, 0.7f, mode::BIKE, 100));
    EXPECT_EQ(at(densityOf(points, 1), 700, 700), 300.0f);
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
    EXPECT_EQ(kde::cell_of(Datapoint(1.0f, 0.95f, mode::WALK, 10), side).row, 9);  // the border
    const kde::Cell cell = kde::cell_of(Datapoint(0.55f, 1.05f, mode::WALK, 10), side);
    ASSERT_TRUE(cell.valid);
    EXPECT_EQ(cell.row, 5);
    EXPECT_EQ(cell.col, 10);
    std::vector<float> grid(side * side, 0.0f);
    struct Add {
        std::vector<float>& grid;
        void operator()(int index, float weight) const { grid.at(index) += weight; }
    } add{grid};
    const auto table = HeatmapEngine::makeGaussKernel(1.0f, 3);
    kde::stamp_table(cell.row, cell.col, table.data(), 3, side, add);
    // Column 10 lies past the last column: only table column 0 lands, on column 9.
    int nonZero = 0;
    for (float v : grid) nonZero += v != 0.0f;
    EXPECT_EQ(nonZero, 3);
    for (int u = 0; u < 3; ++u) EXPECT_EQ(grid[(4 + u) * side + 9], table[u * 3]);
}

}  // namespace
