// The Compare map's arithmetic: A per day minus B per day, each over its own
// days, on a scale symmetric about zero.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "app/Compare.h"

namespace {

std::vector<float> negated(std::vector<float> cells) {
    for (float& v : cells) v = -v;
    return cells;
}

}  // namespace

// Equal selections (Compare just ticked) must show nothing, not NaN from
// dividing by a largest difference of zero.
TEST(CompareDifference, EqualSelectionsGiveZeroNotNaN) {
    const std::vector<float> grid = {0.0f, 1.5f, 1e-30f, 3.0e7f, 0.25f};
    const compare::Difference d = compare::difference(grid, grid);
    EXPECT_EQ(d.largest, 0.0f);
    for (const float v : d.cells) EXPECT_EQ(v, 0.0f);
    for (const float level : compare::divergingLevels(d)) EXPECT_EQ(level, 0.0f);
    EXPECT_EQ(compare::divergingColour(0.0f).a, 0.0f) << "zero must leave the map unchanged";
    EXPECT_TRUE(compare::divergingLegend(d.largest, true).ticks.empty());
}

// Swapping A and B flips every sign and keeps the scale: the scale is the
// largest magnitude either way, not the largest A - B.
TEST(CompareDifference, SwappingSelectionsFlipsTheSign) {
    struct Case {
        std::vector<float> a, b;
        float largest;
    };
    const Case cases[] = {
        {{4.0f, 0.0f, 1.0f}, {1.0f, 2.0f, 1.0f}, 3.0f},  // A denser at one cell, B at another
        {{0.0f, 0.0f}, {5.0f, 0.5f}, 5.0f},               // A empty (its modes unticked)
        {{7.0f, 2.0f}, {0.0f, 0.0f}, 7.0f},               // B empty
    };
    for (const Case& c : cases) {
        const compare::Difference ab = compare::difference(c.a, c.b);
        const compare::Difference ba = compare::difference(c.b, c.a);
        EXPECT_EQ(ab.largest, c.largest);
        EXPECT_EQ(ba.largest, c.largest);
        EXPECT_EQ(ba.cells, negated(ab.cells));
        const std::vector<float> levels = compare::divergingLevels(ab);
        EXPECT_EQ(compare::divergingLevels(ba), negated(levels));
        float reach = 0.0f;
        for (std::size_t i = 0; i < levels.size(); ++i) {
            EXPECT_EQ(levels[i], ab.cells[i] / c.largest);
            reach = std::max(reach, std::fabs(levels[i]));
        }
        EXPECT_EQ(reach, 1.0f) << "the largest difference takes a full colour";
    }
    // Red above zero, blue below, and the legend's ends mirror each other.
    const compare::Rgba more = compare::divergingColour(0.8f), less = compare::divergingColour(-0.8f);
    EXPECT_GT(more.r, more.b);
    EXPECT_GT(less.b, less.r);
    EXPECT_EQ(more.a, less.a);
    const analysis::Legend legend = compare::divergingLegend(2000.0f, true);
    ASSERT_EQ(legend.labels.size(), 5u);
    EXPECT_EQ(legend.labels.front(), "+2.00k");
    EXPECT_EQ(legend.labels[2], "0");
    EXPECT_EQ(legend.labels.back(), "-2.00k");
    EXPECT_EQ(legend.ticks.front().level, 1.0f);
    EXPECT_EQ(legend.ticks[2].level, 0.5f);
    EXPECT_EQ(legend.ticks.back().level, 0.0f);
}

// Each selection over its own days: 10 over 2 days against 10 over 5 is
// +3 a day. Samples without dates are kept as they are, never zeroed.
TEST(CompareDifference, EachSelectionOverItsOwnDays) {
    const std::vector<float> a = compare::overDays({10.0f, 0.0f}, 2);
    const std::vector<float> b = compare::overDays({10.0f, 5.0f}, 5);
    const compare::Difference d = compare::difference(a, b);
    EXPECT_EQ(d.cells, (std::vector<float>{3.0f, -1.0f}));
    EXPECT_EQ(compare::overDays({4.0f, 2.5f}, 0), (std::vector<float>{4.0f, 2.5f}));
}

// A cell that is not finite in either grid cannot make the scale NaN or
// infinite, which would blank the whole map.
TEST(CompareDifference, NonFiniteCellsDoNotPoisonTheScale) {
    const float inf = std::numeric_limits<float>::infinity();
    const compare::Difference d =
        compare::difference({std::nanf(""), inf, 3.0f}, {1.0f, 1.0f, 1.0f});
    EXPECT_EQ(d.largest, 2.0f);
    EXPECT_EQ(d.cells, (std::vector<float>{0.0f, 0.0f, 2.0f}));
}

// The readout names A, B and their signed difference in the legend's unit.
TEST(CompareReadout, ShowsBothSelectionsAndTheSignedDifference) {
    const analysis::MapPoint point{0.5, 0.5};
    const std::string dated = compare::readoutText(point, {1.5, 4.0, 3, 8}, GeoFrame{}, 2, 2);
    EXPECT_NE(dated.find("A      1.50 samples/km\xC2\xB2 per day  (3 samples over 2 days)"), std::string::npos) << dated;
    EXPECT_NE(dated.find("B      4.00 samples/km\xC2\xB2 per day  (8 samples over 2 days)"), std::string::npos) << dated;
    EXPECT_NE(dated.find("A - B  -2.50 samples/km\xC2\xB2 per day"), std::string::npos) << dated;
    const std::string undated = compare::readoutText(point, {5.0, 1.0, 5, 1}, GeoFrame{}, 0, 0);
    EXPECT_NE(undated.find("A - B  +4.00 samples/km\xC2\xB2"), std::string::npos) << undated;
    EXPECT_EQ(undated.find("per day"), std::string::npos) << undated;
}
