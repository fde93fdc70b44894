#pragma once
// What the arrow keys and the mouse wheel do to the map view, as plain
// functions of the event, so they are tested without a window.
#include <glm/glm.hpp>
#include <optional>

// GLFW's key codes of the arrow keys.
inline constexpr int kKeyRight = 262;
inline constexpr int kKeyLeft = 263;
inline constexpr int kKeyDown = 264;
inline constexpr int kKeyUp = 265;

inline constexpr float kPanStep = 0.075f;    // clip-space units per key event
inline constexpr float kWheelFactor = 0.1f;  // zoom per wheel notch

// The pan delta of a key: each arrow moves the point of view in its own
// direction, so the map moves the opposite way. Other keys pan nothing.
inline std::optional<glm::vec2> panDelta(int key) {
    if (key == kKeyLeft) return glm::vec2(kPanStep, 0.0f);
    if (key == kKeyRight) return glm::vec2(-kPanStep, 0.0f);
    if (key == kKeyUp) return glm::vec2(0.0f, -kPanStep);
    if (key == kKeyDown) return glm::vec2(0.0f, kPanStep);
    return std::nullopt;
}

// Zoom delta of a wheel event: the vertical offset times 0.1, in double
// precision and then rounded, so one notch is exactly 0.1f.
inline float zoomDelta(double yOffset) { return static_cast<float>(yOffset * static_cast<double>(kWheelFactor)); }

// A pointer at (x, y) window pixels from the top-left of a width x height
// window, in clip space (y up): where the wheel zooms about.
inline glm::vec2 pointerClip(double x, double y, int width, int height) {
    if (width <= 0 || height <= 0) return glm::vec2(0.0f, 0.0f);
    return glm::vec2(static_cast<float>(2.0 * x / width - 1.0), static_cast<float>(1.0 - 2.0 * y / height));
}
