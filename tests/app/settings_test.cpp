#include <gtest/gtest.h>

#include "settings/ControlSettings.h"

TEST(ControlSettings, ProcessWideDefaults) {
    const ControlSettings fresh;
    // The first frame must compute a grid without rebuilding the table.
    EXPECT_TRUE(fresh.needsRecompute());
    EXPECT_FALSE(fresh.kernelChanged());
    EXPECT_EQ(settings.mode_mask, 0);
    EXPECT_TRUE(settings.needsRecompute());
}

TEST(ControlSettings, ToggleModeFlipsOneBit) {
    ControlSettings s;
    s.toggleMode(mode::WALK);
    EXPECT_EQ(s.mode_mask, 2);
    s.toggleMode(mode::BUS);
    EXPECT_EQ(s.mode_mask, 10);
    s.toggleMode(mode::WALK);
    EXPECT_EQ(s.mode_mask, 8);
}

TEST(ControlSettings, EachFlagDrivesTheRightDecision) {
    ControlSettings s;
    s.applied_mode_mask = s.mode_mask;
    EXPECT_FALSE(s.needsRecompute());
    EXPECT_FALSE(s.kernelChanged());

    for (bool ControlSettings::*flag :
         {&ControlSettings::time_changed, &ControlSettings::log_scale_changed}) {
        ControlSettings t = s;
        t.*flag = true;
        EXPECT_TRUE(t.needsRecompute());
        EXPECT_FALSE(t.kernelChanged());
    }
    for (bool ControlSettings::*flag :
         {&ControlSettings::sigma_changed, &ControlSettings::kernel_size_changed}) {
        ControlSettings t = s;
        t.*flag = true;
        EXPECT_TRUE(t.needsRecompute());
        EXPECT_TRUE(t.kernelChanged());
    }
    s.toggleMode(mode::RUN);
    EXPECT_TRUE(s.needsRecompute());
    EXPECT_FALSE(s.kernelChanged());
}
