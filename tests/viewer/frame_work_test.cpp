// Which engine calls the frame work makes in which frame, with a recording
// engine in place of the real one.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/FrameWork.h"
#include "app/PanelRules.h"

namespace {

constexpr std::size_t kCells = 16;

struct Recorder {
    std::vector<std::string> calls;
    std::vector<float> nextGrid = std::vector<float>(kCells, 0.5f);
    int seenMask = -1;

    DensitySteps steps() {
        return {
            [this](ControlSettings&) { calls.push_back("rebuild"); },
            [this](ControlSettings& s) {
                calls.push_back("compute");
                seenMask = s.mode_mask;
                // The flags must still be up while the grid is computed.
                EXPECT_TRUE(s.needsRecompute());
                return nextGrid;
            },
            [this](const std::vector<float>& grid) {
                calls.push_back("upload " + std::to_string(grid.size()));
            },
        };
    }
    // One frame: the frame work after the panel; returns the calls it made.
    std::vector<std::string> frame(ControlSettings& s) {
        calls.clear();
        refreshDensity(s, steps(), kCells);
        return calls;
    }
};

using Calls = std::vector<std::string>;
const Calls kNothing{};
const Calls kComputeOnly{"compute", "upload 16"};
const Calls kRebuildAndCompute{"rebuild", "compute", "upload 16"};

void expectSettled(const ControlSettings& s) {
    EXPECT_FALSE(s.time_changed);
    EXPECT_FALSE(s.log_scale_changed);
    EXPECT_FALSE(s.sigma_changed);
    EXPECT_FALSE(s.kernel_size_changed);
    EXPECT_EQ(s.applied_mode_mask, s.mode_mask);
    EXPECT_FALSE(s.needsRecompute());
}

}  // namespace

TEST(FrameWork, FirstFrameComputesOnceWithoutRebuildingThenRests) {
    ControlSettings s;
    Recorder engine;
    EXPECT_EQ(engine.frame(s), kComputeOnly);
    expectSettled(s);
    EXPECT_EQ(s.applied_mode_mask, 0);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(engine.frame(s), kNothing);
}

TEST(FrameWork, SizeOrSigmaRebuildBeforeComputingInTheSameFrame) {
    ControlSettings s;
    Recorder engine;
    engine.frame(s);
    s.kernel_size = applySizeRule(4);
    s.kernel_size_changed = true;
    EXPECT_EQ(engine.frame(s), kRebuildAndCompute);
    expectSettled(s);
    s.sigma = 2.0f;
    s.sigma_changed = true;
    EXPECT_EQ(engine.frame(s), kRebuildAndCompute);
    // Pressing - at Size 1 leaves 1 but still counts as an edit.
    s.kernel_size = applySizeRule(1 - 2);
    s.kernel_size_changed = true;
    EXPECT_EQ(engine.frame(s), kRebuildAndCompute);
    EXPECT_EQ(s.kernel_size, 1);
    EXPECT_EQ(engine.frame(s), kNothing);
}

TEST(FrameWork, ModesTimeAndLogScaleComputeWithoutRebuilding) {
    ControlSettings s;
    Recorder engine;
    engine.frame(s);
    s.mode_selected[1] = true;
    s.toggleMode(mode::WALK);
    EXPECT_EQ(engine.frame(s), kComputeOnly);
    EXPECT_EQ(engine.seenMask, 2);
    EXPECT_EQ(s.applied_mode_mask, 2);
    s.toggleMode(mode::WALK);  // unticked in a later frame
    EXPECT_EQ(engine.frame(s), kComputeOnly);
    EXPECT_EQ(s.applied_mode_mask, 0);
    s.min_time = 3600;
    s.time_changed = true;
    EXPECT_EQ(engine.frame(s), kComputeOnly);
    s.use_log_scale = false;
    s.log_scale_changed = true;
    EXPECT_EQ(engine.frame(s), kComputeOnly);
    expectSettled(s);
    EXPECT_EQ(engine.frame(s), kNothing);
}

TEST(FrameWork, SeveralChangesInOneFrameComputeOnce) {
    ControlSettings s;
    Recorder engine;
    engine.frame(s);
    s.toggleMode(mode::BUS);
    s.time_changed = true;
    s.sigma_changed = true;
    s.log_scale_changed = true;
    EXPECT_EQ(engine.frame(s), kRebuildAndCompute);
    expectSettled(s);
}

TEST(FrameWork, AGridOfTheWrongSizeIsNotUploaded) {
    ControlSettings s;
    Recorder engine;
    engine.nextGrid.assign(kCells - 1, 1.0f);
    std::ostringstream captured;
    auto* old = std::cout.rdbuf(captured.rdbuf());
    const auto calls = engine.frame(s);
    std::cout.rdbuf(old);
    EXPECT_EQ(calls, Calls{"compute"});
    EXPECT_EQ(captured.str(), "Density grid has 15 cells instead of 16: the map keeps the previous heat\n");
    expectSettled(s);  // not retried every frame
    EXPECT_EQ(engine.frame(s), kNothing);
}
