// The real control panel, driven through Dear ImGui without a window: mouse
// clicks on its widgets must edit the settings and raise the right flags.
// Widget positions follow from the library's default font and style and the
// panel opened at 60, 60 (330 wide).
#include <gtest/gtest.h>
#include <imgui.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>
#include <cstdint>
#include <vector>

#include "app/DayPlayback.h"
#include "app/AppState.h"
#include "app/ControlPanel.h"
#include "settings/ControlSettings.h"
#include "app/FrameWork.h"
#include "app/Session.h"
#include "engine/HeatmapEngine.h"
#include "model/GeoFrame.h"

namespace {

struct Point {
    float x, y;
};
constexpr Point kSigma{150, 113};
constexpr Point kSizeMinus{248, 136};
constexpr Point kSizePlus{271, 136};
constexpr Point kSigmaMetres{100, 159};
constexpr Point kTimeMin{120, 456};
constexpr Point kTimeMax{229, 456};
constexpr Point kWalk{77, 222};
constexpr Point kMotorcycle{77, 429};
constexpr Point kLogScale{77, 483};
constexpr Point kEmpty{600, 600};  // the map, outside both windows

class ControlPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        IMGUI_CHECKVERSION();
        ImGui::CreateContext();
        ImGuiIO& io = ImGui::GetIO();
        io.IniFilename = nullptr;  // no saved layout: first-use placement
        io.DisplaySize = ImVec2(800, 800);
        io.DeltaTime = 1.0f / 60.0f;
        io.KeyMap[ImGuiKey_Enter] = 13;
        unsigned char* pixels = nullptr;
        int w = 0, h = 0;
        io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
        ImGui::StyleColorsDark();
        settings = ControlSettings{};
        lut_texture = 42;
        frame();
        // The windows start folded in the north-west corner; these tests use
        // the menu open at (60, 60), the legend and the data window clear of it.
        ImGui::SetWindowCollapsed("Main Menu", false);
        ImGui::SetWindowPos("Main Menu", ImVec2(60, 60));
        ImGui::SetWindowPos("LUT", ImVec2(700, 10));
        ImGui::SetWindowPos("Data", ImVec2(410, 620));
        for (int i = 0; i < 3; ++i) frame();  // windows settle their size
        settings = ControlSettings{};
    }
    void TearDown() override { ImGui::DestroyContext(); }

    // One frame of the panel.
    void frame() {
        ImGui::NewFrame();
        showControlPanel();
        ImGui::Render();
    }
    void click(Point p, bool ctrl = false) {
        ImGuiIO& io = ImGui::GetIO();
        io.KeyCtrl = ctrl;
        io.MousePos = ImVec2(p.x, p.y);
        io.MouseDown[0] = false;
        frame();
        io.MouseDown[0] = true;
        frame();
        io.MouseDown[0] = false;
        frame();
        io.KeyCtrl = false;
    }
    // Press at `from`, move by `dx` pixels over a few frames, release.
    void drag(Point from, float dx) {
        ImGuiIO& io = ImGui::GetIO();
        io.MousePos = ImVec2(from.x, from.y);
        frame();
        io.MouseDown[0] = true;
        frame();
        for (int step = 1; step <= 4; ++step) {
            io.MousePos = ImVec2(from.x + dx * step / 4.0f, from.y);
            frame();
        }
        io.MouseDown[0] = false;
        frame();
    }
    // Ctrl+click into a slider, type `text` over its value and press Enter.
    void typeInto(Point p, const char* text) {
        ImGuiIO& io = ImGui::GetIO();
        click(p, true);
        for (const char* c = text; *c != '\0'; ++c) io.AddInputCharacter(static_cast<unsigned>(*c));
        frame();
        io.KeysDown[io.KeyMap[ImGuiKey_Enter]] = true;
        frame();
        io.KeysDown[io.KeyMap[ImGuiKey_Enter]] = false;
        frame();
    }
    // The frame work's part: act on the flags once and clear them.
    int settle() {
        int computed = 0;
        refreshDensity(settings,
                       {[](ControlSettings&) {}, [&](ControlSettings&) {
                            ++computed;
                            return std::vector<float>(4, 0.0f);
                        },
                        [](const std::vector<float>&) {}},
                       4);
        return computed;
    }
};

}  // namespace

TEST_F(ControlPanelTest, SizeButtonsStepByTwoOrTenAndKeepTheRules) {
    click(kSizePlus);
    EXPECT_EQ(settings.kernel_size, 7);
    EXPECT_TRUE(settings.kernel_size_changed);
    EXPECT_TRUE(settings.kernelChanged());
    settle();
    settings.kernel_size = 5;
    click(kSizePlus, true);
    EXPECT_EQ(settings.kernel_size, 15);
    settings.kernel_size = 5;
    click(kSizeMinus, true);
    EXPECT_EQ(settings.kernel_size, 1);
    settle();
    click(kSizeMinus);  // at 1: stays 1, yet counts as an edit
    EXPECT_EQ(settings.kernel_size, 1);
    EXPECT_TRUE(settings.kernel_size_changed);
    settings.kernel_size = 99;
    click(kSizePlus);
    EXPECT_EQ(settings.kernel_size, 101);
    click(kSizePlus, true);  // capped
    EXPECT_EQ(settings.kernel_size, 101);
}

TEST_F(ControlPanelTest, TypedSigmaIsUsedAsTypedUnlessNotPositive) {
    typeInto(kSigma, "25");
    EXPECT_EQ(settings.sigma, 25.0f);  // typed values are not clamped to the slider
    EXPECT_TRUE(settings.sigma_changed);
    EXPECT_TRUE(settings.kernelChanged());
    settle();
    typeInto(kSigma, "0");
    EXPECT_EQ(settings.sigma, 0.1f);
    EXPECT_TRUE(settings.sigma_changed);
    settle();
    typeInto(kSigma, "-3");
    EXPECT_EQ(settings.sigma, 0.1f);
}

// Sigma typed in metres is cells north-south of the open frame's ground (the
// default box without data: cells 38.9 m high); a value the panel's largest
// table cannot hold leaves sigma as it was.
TEST_F(ControlPanelTest, SigmaTypedInMetresBecomesCells) {
    typeInto(kSigmaMetres, "100");
    EXPECT_NEAR(settings.sigma, 100.0 / cellHeightMetres(GeoFrame{}), 1e-4);
    EXPECT_TRUE(settings.sigma_changed);
    settle();
    typeInto(kSigmaMetres, "5000");
    EXPECT_NEAR(settings.sigma, 100.0 / cellHeightMetres(GeoFrame{}), 1e-4);
    EXPECT_FALSE(settings.sigma_changed);
    EXPECT_TRUE(session.sigmaRefused);
    typeInto(kSigmaMetres, "50");  // taken again: the range line goes
    EXPECT_FALSE(session.sigmaRefused);
}

TEST_F(ControlPanelTest, TimeEndsDragInOrderWithinTheDayAndTakeNoTyping) {
    drag(kTimeMin, 40.0f);
    EXPECT_GT(settings.min_time, 0);
    EXPECT_EQ(settings.max_time, 86400);
    EXPECT_TRUE(settings.time_changed);
    EXPECT_FALSE(settings.kernelChanged());
    EXPECT_EQ(settle(), 1);
    drag(kTimeMin, 3000.0f);  // far past the upper end: stops at it
    EXPECT_EQ(settings.min_time, 86400);
    settle();
    drag(kTimeMax, -3000.0f);  // the upper end cannot pass the lower one
    EXPECT_EQ(settings.max_time, 86400);
    settle();
    drag(kTimeMin, -3000.0f);
    EXPECT_EQ(settings.min_time, 0);
    settle();
    typeInto(kTimeMin, "500");  // Ctrl+click opens no text field
    EXPECT_EQ(settings.min_time, 0);
    EXPECT_FALSE(settings.time_changed);
}

TEST_F(ControlPanelTest, ModeBoxesToggleTheirBitsAndLogScaleRaisesItsFlag) {
    click(kWalk);
    EXPECT_EQ(settings.mode_mask, 2);
    EXPECT_TRUE(settings.mode_selected[1]);
    EXPECT_FALSE(settings.kernelChanged());
    EXPECT_EQ(settle(), 1);
    click(kMotorcycle);
    EXPECT_EQ(settings.mode_mask, 2 | 1024);
    EXPECT_TRUE(settings.mode_selected[10]);
    EXPECT_EQ(settle(), 1);
    click(kWalk);
    EXPECT_EQ(settings.mode_mask, 1024);
    EXPECT_FALSE(settings.mode_selected[1]);
    EXPECT_EQ(settle(), 1);
    click(kLogScale);
    EXPECT_FALSE(settings.use_log_scale);
    EXPECT_TRUE(settings.log_scale_changed);
    EXPECT_FALSE(settings.kernelChanged());
    EXPECT_EQ(settle(), 1);
}

TEST_F(ControlPanelTest, IdleFramesAndClicksOnTheMapChangeNothing) {
    settle();  // the first frame's grid
    for (int i = 0; i < 5; ++i) frame();
    click(kEmpty);
    EXPECT_EQ(settle(), 0);
    EXPECT_EQ(settings.kernel_size, 5);
    EXPECT_EQ(settings.mode_mask, 0);
}

TEST_F(ControlPanelTest, LegendShowsTheColourTableTopToBottom) {
    ImGui::NewFrame();
    showControlPanel();
    ImGui::Render();
    const ImDrawData* draw = ImGui::GetDrawData();
    bool found = false;
    for (int l = 0; l < draw->CmdListsCount; ++l)
        for (const ImDrawCmd& cmd : draw->CmdLists[l]->CmdBuffer)
            if (cmd.TextureId == reinterpret_cast<ImTextureID>(static_cast<std::uintptr_t>(42))) {
                found = true;
                // Four vertices of the 10 x 200 image: uv (0, 0) at its top.
                const ImDrawList* list = draw->CmdLists[l];
                const ImDrawVert& first = list->VtxBuffer[list->IdxBuffer[cmd.IdxOffset]];
                EXPECT_EQ(first.uv.x, 0.0f);
                EXPECT_EQ(first.uv.y, 0.0f);
                float top = 1e9f, bottom = -1e9f, left = 1e9f, right = -1e9f;
                for (unsigned i = 0; i < cmd.ElemCount; ++i) {
                    const ImDrawVert& v = list->VtxBuffer[list->IdxBuffer[cmd.IdxOffset + i]];
                    top = std::min(top, v.pos.y);
                    bottom = std::max(bottom, v.pos.y);
                    left = std::min(left, v.pos.x);
                    right = std::max(right, v.pos.x);
                }
                for (unsigned i = 0; i < cmd.ElemCount; ++i) {
                    const ImDrawVert& v = list->VtxBuffer[list->IdxBuffer[cmd.IdxOffset + i]];
                    EXPECT_EQ(v.uv.y == 0.0f, v.pos.y == top);  // t = 0 (the "1" end) on top
                }
                EXPECT_EQ(bottom - top, 150.0f);
                EXPECT_EQ(right - left, 10.0f);
                EXPECT_GT(left, 700.0f);  // where the test put it
            }
    EXPECT_TRUE(found) << "the legend image was not drawn";
}

TEST_F(ControlPanelTest, PlaybackSlidesTheWindowEachFrameAndADragOnTheRangeStopsIt) {
    session.playback = analysis::Playback{};
    analysis::startPlayback(session.playback, 0);
    for (int i = 0; i < 30; ++i) frame();  // half a second: half an hour of the day
    EXPECT_NEAR(settings.min_time, 1800, 120);
    EXPECT_EQ(settings.max_time, settings.min_time + 3600);
    EXPECT_TRUE(settings.time_changed);
    EXPECT_EQ(settle(), 1);
    frame();
    EXPECT_TRUE(settings.time_changed);  // each step asks for a new grid
    settle();
    drag(kTimeMax, 20.0f);
    EXPECT_FALSE(session.playback.playing);
    settle();
    const std::int32_t held = settings.min_time;
    for (int i = 0; i < 10; ++i) frame();
    EXPECT_EQ(settings.min_time, held);
    EXPECT_FALSE(settings.time_changed);
}

// Play with the scale locked at the day's maximum: the legend's top stays
// where it was locked while the frame's own maximum changes from frame to
// frame, and no shown level passes the top colour; unlocked, the top follows
// each frame again.
TEST_F(ControlPanelTest, PlayWithLockScaleKeepsTheLegendsMaximumAcrossFrames) {
    setenv("TRACKORA_ENGINE", "cpu", 1);
    std::vector<Datapoint> points;
    for (int i = 0; i < 40; ++i) points.emplace_back(0.4f, 0.4f, mode::WALK, 3600 + i * 60);   // 01:00-01:40
    for (int i = 0; i < 5; ++i) points.emplace_back(0.6f, 0.7f, mode::WALK, 43200 + i * 60);   // 12:00-12:04
    settings.mode_selected[1] = true;
    settings.mode_mask = mode::WALK;
    HeatmapEngine::initialize(points, settings);
    const DensitySteps steps{HeatmapEngine::rebuildKernel, HeatmapEngine::computeHeatmap,
                             [](const std::vector<float>& grid) { acceptGrid(grid); }};
    settings.time_changed = true;
    refreshDensity(settings, steps, kGridCells);
    lockScale(true);
    refreshDensity(settings, steps, kGridCells);
    frame();
    const std::string locked = session.legend.labels.front();

    session.playback = analysis::Playback{};
    session.playback.speed = 86400.0f / 60.0f;  // the day in a second of frames
    analysis::startPlayback(session.playback, 0);
    std::set<std::string> tops, frameMaxima;
    float brightest = 0.0f;
    for (int i = 0; i < 60; ++i) {
        frame();
        refreshDensity(settings, steps, kGridCells);
        frame();
        tops.insert(session.legend.labels.front());
        frameMaxima.insert(session.legend.frameMaximum);
        for (float level : shownLevels()) brightest = std::max(brightest, level);
    }
    EXPECT_EQ(tops, std::set<std::string>{locked});
    EXPECT_GE(frameMaxima.size(), 3u);  // the night cluster, the noon one, nothing
    EXPECT_LE(brightest, 1.0f);

    unlockScale();
    tops.clear();
    for (int i = 0; i < 60; ++i) {
        frame();
        refreshDensity(settings, steps, kGridCells);
        frame();
        if (!session.legend.labels.empty()) tops.insert(session.legend.labels.front());
    }
    EXPECT_GE(tops.size(), 2u);
    session.playback.playing = false;
    HeatmapEngine::release();
}
