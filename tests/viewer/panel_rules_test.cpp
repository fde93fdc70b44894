// The rules the panel applies to typed values, and the mode check boxes.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

#include "settings/ControlSettings.h"
#include "app/PanelRules.h"
#include "model/ModeNames.h"

TEST(PanelRules, SizeIsOddAtLeastOneAndCapped) {
    EXPECT_EQ(applySizeRule(5), 5);
    EXPECT_EQ(applySizeRule(4), 5);     // typed 4 gives 5
    EXPECT_EQ(applySizeRule(15), 15);   // + with Ctrl at 5
    EXPECT_EQ(applySizeRule(-5), 1);    // - with Ctrl at 5
    EXPECT_EQ(applySizeRule(-1), 1);    // - at 1
    EXPECT_EQ(applySizeRule(0), 1);
    EXPECT_EQ(applySizeRule(-4), 1);
    EXPECT_EQ(applySizeRule(99), 99);
    EXPECT_EQ(applySizeRule(100), 101);
    EXPECT_EQ(applySizeRule(101), 101);
    EXPECT_EQ(applySizeRule(102), 101);
    EXPECT_EQ(applySizeRule(23169), 101);
    EXPECT_EQ(applySizeRule(INT_MAX), 101);
    EXPECT_EQ(applySizeRule(INT_MAX - 1), 101);
    EXPECT_EQ(applySizeRule(INT_MIN), 1);
    for (int size = -300; size <= 300; ++size) {
        const int ruled = applySizeRule(size);
        EXPECT_EQ(ruled % 2, 1) << size;
        EXPECT_GE(ruled, 1) << size;
        EXPECT_LE(ruled, 101) << size;
    }
}

TEST(PanelRules, TypedSigmaThatIsNotPositiveBecomesATenth) {
    EXPECT_EQ(sanitizeTypedSigma(0.0f), 0.1f);
    EXPECT_EQ(sanitizeTypedSigma(-0.0f), 0.1f);
    EXPECT_EQ(sanitizeTypedSigma(-3.0f), 0.1f);
    EXPECT_EQ(sanitizeTypedSigma(std::numeric_limits<float>::quiet_NaN()), 0.1f);
    EXPECT_EQ(sanitizeTypedSigma(-std::numeric_limits<float>::infinity()), 0.1f);
    // Anything positive is used as typed, outside the slider's range too.
    EXPECT_EQ(sanitizeTypedSigma(0.05f), 0.05f);
    EXPECT_EQ(sanitizeTypedSigma(2.5f), 2.5f);
    EXPECT_EQ(sanitizeTypedSigma(25.0f), 25.0f);
}

// A sigma typed in metres becomes cells north-south; one the panel's largest
// table cannot hold to two sigmas, or that is not positive, is refused.
TEST(PanelRules, SigmaInMetresBecomesCellsOrIsRefused) {
    const struct {
        double metres;
        double cellMetres;
        std::optional<float> cells;
    } cases[] = {
        {100.0, 38.918, 2.56951f}, {38.918, 38.918, 1.0f}, {973.0, 38.92, 25.0f},
        {974.0, 38.92, std::nullopt}, {0.0, 38.9, std::nullopt}, {-5.0, 38.9, std::nullopt},
        {std::numeric_limits<double>::quiet_NaN(), 38.9, std::nullopt}, {1e-300, 38.9, std::nullopt},
    };
    for (const auto& c : cases) {
        const std::optional<float> cells = sigmaFromMetres(c.metres, c.cellMetres);
        ASSERT_EQ(cells.has_value(), c.cells.has_value()) << c.metres;
        if (cells) {
            EXPECT_NEAR(*cells, *c.cells, 1e-4f) << c.metres;
        }
    }
}

TEST(PanelRules, CheckboxesFollowTheModeOrder) {
    for (int i = 0; i < kModeCount; ++i) {
        EXPECT_EQ(kModeCheckboxes[i].flag, kModes[i]) << i;
        EXPECT_EQ(kModeCheckboxes[i].flag, 1 << i) << i;
        EXPECT_EQ(kModeCheckboxes[i].label, modeDisplayName(kModes[i])) << i;
    }
}

TEST(PanelRules, TickingEveryBoxSelectsAllModesAndUntickingClears) {
    ControlSettings s;
    for (const auto& box : kModeCheckboxes) s.toggleMode(box.flag);
    EXPECT_EQ(s.mode_mask, kAllModes);
    s.toggleMode(kModeCheckboxes[1].flag);  // untick "Walk"
    EXPECT_EQ(s.mode_mask, kAllModes - mode::WALK);
    for (const auto& box : kModeCheckboxes)
        if (box.flag != mode::WALK) s.toggleMode(box.flag);
    EXPECT_EQ(s.mode_mask, 0);
}

// Windows restored from imgui.ini outside the 800 x 800 window come back in.
TEST(PanelRules, RestoredWindowsOutsideTheDisplayComeBackInside) {
    const PanelPoint display{800.0f, 800.0f};
    const PanelPoint size{330.0f, 400.0f};
    struct Case {
        PanelPoint saved, expected;
    };
    const Case cases[] = {
        {{60.0f, 60.0f}, {60.0f, 60.0f}},          // inside: untouched
        {{1500.0f, 2000.0f}, {470.0f, 400.0f}},    // saved by a larger window
        {{-500.0f, -20.0f}, {0.0f, 0.0f}},
        {{600.0f, 10.0f}, {470.0f, 10.0f}},        // partly outside
        {{std::nanf(""), 30.0f}, {0.0f, 30.0f}},
    };
    for (const auto& c : cases) {
        const PanelPoint place = placeInside(c.saved, size, display);
        EXPECT_EQ(place.x, c.expected.x) << c.saved.x;
        EXPECT_EQ(place.y, c.expected.y) << c.saved.y;
    }
    // Larger than the display: its top-left corner shows.
    const PanelPoint big = placeInside({100.0f, 100.0f}, {900.0f, 900.0f}, display);
    EXPECT_EQ(big.x, 0.0f);
    EXPECT_EQ(big.y, 0.0f);
}

// The cursor readout sits beside the cursor, inside the window and never on
// the legend (here 120 x 200 at the top-right corner).
TEST(PanelRules, ReadoutKeepsOffTheLegendAndInsideTheWindow) {
    const PanelPoint display{800.0f, 800.0f};
    const PanelRect legend{670.0f, 10.0f, 120.0f, 200.0f};
    const PanelPoint size{200.0f, 60.0f};
    struct Case {
        PanelPoint cursor, expected;
    };
    const Case cases[] = {
        {{300.0f, 300.0f}, {316.0f, 316.0f}},  // as a tooltip: below right
        {{500.0f, 50.0f}, {284.0f, 66.0f}},    // below right would cover the legend: below left
        {{700.0f, 780.0f}, {484.0f, 704.0f}},  // at the bottom-right corner: above left
        {{600.0f, 230.0f}, {384.0f, 246.0f}},  // just under the legend
    };
    for (const Case& c : cases) {
        const PanelPoint at = placeReadout(c.cursor, size, legend, display);
        EXPECT_EQ(at.x, c.expected.x) << c.cursor.x << "," << c.cursor.y;
        EXPECT_EQ(at.y, c.expected.y) << c.cursor.x << "," << c.cursor.y;
        const PanelRect box{at.x, at.y, size.x, size.y};
        EXPECT_FALSE(box.overlaps(legend));
        EXPECT_TRUE(box.inside(display));
    }
}
