// The map view transform and what the arrow keys and the wheel ask of it.
#include <gtest/gtest.h>

#include "app/InputRules.h"
#include "render/MapView.h"

TEST(MapView, StartsAtIdentity) {
    const MapView view;
    EXPECT_EQ(view.modelMatrix(), glm::mat4(1.0f));
}

TEST(MapView, ModelMatrixScalesAboutTheCentreThenPans) {
    MapView view;
    view.zoom(1.0f);  // 2.0
    view.translation = glm::vec2(0.25f, -0.5f);
    const glm::mat4 m = view.modelMatrix();
    EXPECT_EQ(m[0], glm::vec4(2.0f, 0.0f, 0.0f, 0.0f));
    EXPECT_EQ(m[1], glm::vec4(0.0f, 2.0f, 0.0f, 0.0f));
    EXPECT_EQ(m[2], glm::vec4(0.0f, 0.0f, 2.0f, 0.0f));
    EXPECT_EQ(m[3], glm::vec4(0.25f, -0.5f, 0.0f, 1.0f));
    // The corner (1, 1) lands at zoom * 1 + offset: the pan is not scaled.
    EXPECT_EQ(m * glm::vec4(1.0f, 1.0f, 0.0f, 1.0f), glm::vec4(2.25f, 1.5f, 0.0f, 1.0f));
}

TEST(MapView, ZoomHasAFloorOfOneAndAddsSteps) {
    MapView view;
    view.zoom(-0.1f);
    EXPECT_EQ(view.zoomLevel, 1.0f);
    view.zoom(2.0f);
    view.zoom(-5.0f);
    EXPECT_EQ(view.zoomLevel, 1.0f);
    float expected = 1.0f;
    for (int i = 0; i < 10; ++i) {
        view.zoom(0.1f);
        expected += 0.1f;
    }
    EXPECT_EQ(view.zoomLevel, expected);  // ten float additions, not 1.1^10
    EXPECT_NEAR(view.zoomLevel, 2.0f, 1e-5f);
}

TEST(MapView, GlideCoversATenthOfTheRestPerFrame) {
    MapView view;
    view.translate({0.075f, 0.0f});
    EXPECT_EQ(view.targetTranslation, glm::vec2(0.075f, 0.0f));
    EXPECT_EQ(view.translation, glm::vec2(0.0f, 0.0f));  // the first frame draws at rest
    view.glide();
    EXPECT_FLOAT_EQ(view.translation.x, 0.0075f);
    view.glide();
    EXPECT_NEAR(view.translation.x, 0.01425f, 1e-7f);
    EXPECT_EQ(view.translation.y, 0.0f);
    for (int i = 0; i < 1000; ++i) view.glide();
    EXPECT_NEAR(view.translation.x, 0.075f, 1e-6f);  // may stall a few ulps short
}

TEST(MapView, TranslateIsMeasuredFromTheCurrentOffset) {
    MapView view;
    view.translate({0.075f, 0.0f});
    view.translate({0.075f, 0.0f});
    EXPECT_EQ(view.targetTranslation, glm::vec2(0.075f, 0.0f));
    view.glide();
    view.translate({0.0f, 0.075f});
    EXPECT_FLOAT_EQ(view.targetTranslation.x, 0.0075f);
    EXPECT_FLOAT_EQ(view.targetTranslation.y, 0.075f);
}

TEST(MapView, ResetZoomsAtOnceAndGlidesHome) {
    MapView view;
    view.zoom(1.5f);
    view.translate({-0.3f, 0.15f});
    for (int i = 0; i < 30; ++i) view.glide();
    view.reset();
    EXPECT_EQ(view.zoomLevel, 1.0f);
    EXPECT_EQ(view.targetTranslation, glm::vec2(0.0f, 0.0f));
    EXPECT_LT(view.translation.x, -0.2f);  // still out: it glides back
    const glm::vec2 before = view.translation;
    view.glide();
    EXPECT_FLOAT_EQ(view.translation.x, before.x * 0.9f);
    view.reset();  // again mid-glide: nothing more changes
    EXPECT_EQ(view.targetTranslation, glm::vec2(0.0f, 0.0f));
    for (int i = 0; i < 2000; ++i) view.glide();
    EXPECT_NEAR(view.translation.x, 0.0f, 1e-6f);
    EXPECT_NEAR(view.translation.y, 0.0f, 1e-6f);
}

TEST(InputRules, ArrowsMoveTheViewTheirWay) {
    // Positive x moves the map right, so the left arrow (view goes left) is +x.
    EXPECT_EQ(panDelta(263), glm::vec2(0.075f, 0.0f));   // left
    EXPECT_EQ(panDelta(262), glm::vec2(-0.075f, 0.0f));  // right
    EXPECT_EQ(panDelta(265), glm::vec2(0.0f, -0.075f));  // up
    EXPECT_EQ(panDelta(264), glm::vec2(0.0f, 0.075f));   // down
    EXPECT_FALSE(panDelta(32).has_value());                // space
    EXPECT_FALSE(panDelta(266).has_value());               // page up
    // A press and a release of the left arrow: two pans, the second measured
    // from the gliding offset.
    MapView view;
    view.translate(*panDelta(263));
    view.glide();
    view.translate(*panDelta(263));
    EXPECT_FLOAT_EQ(view.targetTranslation.x, 0.0825f);
}

TEST(InputRules, WheelNotchIsExactlyATenth) {
    EXPECT_EQ(zoomDelta(1.0), 0.1f);
    EXPECT_EQ(zoomDelta(-1.0), -0.1f);
    EXPECT_EQ(zoomDelta(0.0), 0.0f);
    EXPECT_FLOAT_EQ(zoomDelta(0.25), 0.025f);
    MapView view;
    view.zoom(zoomDelta(-1.0));
    EXPECT_EQ(view.zoomLevel, 1.0f);
    view.zoom(zoomDelta(3.0));
    EXPECT_FLOAT_EQ(view.zoomLevel, 1.3f);
}

// The wheel zooms about the pointer: the map point under it stays put, in
// steps of a tenth and never below the whole map, while the pan glides on.
TEST(InputRules, WheelKeepsThePointUnderThePointerFixed) {
    struct Case {
        double x, y;        // pointer, window pixels of an 800 x 800 window
        glm::vec2 pan;      // drawn offset before, its target 0.1 further right
        double notches;
    };
    const Case cases[] = {
        {400, 400, {0.0f, 0.0f}, 1}, {700, 100, {0.0f, 0.0f}, 3}, {120, 650, {0.2f, -0.1f}, 2},
        {700, 100, {0.3f, 0.3f}, -1},
    };
    for (const Case& c : cases) {
        MapView view;
        view.zoom(1.0f);
        view.translation = c.pan;
        view.targetTranslation = c.pan + glm::vec2(0.1f, 0.0f);
        const glm::vec2 pointer = pointerClip(c.x, c.y, 800, 800);
        const glm::vec2 corner = (pointer - view.translation) / view.zoomLevel;
        view.zoomAbout(zoomDelta(c.notches), pointer);
        EXPECT_FLOAT_EQ(view.zoomLevel, 2.0f + 0.1f * static_cast<float>(c.notches));
        const glm::vec2 after = view.zoomLevel * corner + view.translation;
        EXPECT_NEAR(after.x, pointer.x, 1e-5f) << c.x << "," << c.y;
        EXPECT_NEAR(after.y, pointer.y, 1e-5f) << c.x << "," << c.y;
        EXPECT_NEAR(view.targetTranslation.x - view.translation.x, 0.1f * view.zoomLevel / 2.0f, 1e-5f);
    }
    EXPECT_EQ(pointerClip(0, 0, 800, 800), glm::vec2(-1.0f, 1.0f));
    MapView floor;
    floor.zoomAbout(-0.1f, glm::vec2(0.5f, 0.5f));  // at the floor: nothing moves
    EXPECT_EQ(floor.zoomLevel, 1.0f);
    EXPECT_EQ(floor.translation, glm::vec2(0.0f, 0.0f));
}
