#pragma once
// The rules the control panel applies to what the user enters, as plain
// functions so they are tested without a user interface.
#include <array>
#include <cstdint>
#include <optional>

#include "settings/ControlSettings.h"
#include "model/Datapoint.h"
#include "model/ModeNames.h"

// Largest Gaussian table side the panel offers: sigma tops out at 10, so 101
// cells cover five sigmas either side; larger tables only freeze the program.
inline constexpr std::int32_t kPanelMaxKernelSize = 101;

// Size after an edit: the settings' odd-size rule under the panel's cap.
constexpr std::int32_t applySizeRule(std::int32_t size) { return oddKernelSize(size, kPanelMaxKernelSize); }

// A sigma typed after Ctrl+click is taken as typed, except one that is not a
// positive number (zero, negative, NaN), which would divide the weight table
// by zero.
inline constexpr float kSmallestTypedSigma = 0.1f;
constexpr float sanitizeTypedSigma(float sigma) { return sigma > 0.0f ? sigma : kSmallestTypedSigma; }

// A sigma typed in metres, in cells north-south of cells `cellMetres` high;
// none when it is not a positive number or when the panel's largest table
// could not hold two sigmas of it either side.
inline std::optional<float> sigmaFromMetres(double metres, double cellMetres) {
    if (!(metres > 0.0) || !(cellMetres > 0.0)) return std::nullopt;
    const double cells = metres / cellMetres;
    if (!(4.0 * cells + 1.0 <= kPanelMaxKernelSize) || static_cast<float>(cells) <= 0.0f) return std::nullopt;
    return static_cast<float>(cells);
}

// Where a window goes whose place was restored from imgui.ini: moved back
// inside the display when it lies outside (a layout saved by a larger window
// or edited by hand), as much of it as fits in view, top-left first.
struct PanelPoint {
    float x;
    float y;
};
constexpr PanelPoint placeInside(PanelPoint position, PanelPoint size, PanelPoint display) {
    const auto fit = [](float at, float extent, float room) {
        const float farthest = room - extent > 0.0f ? room - extent : 0.0f;
        if (!(at >= 0.0f)) return 0.0f;  // NaN too
        return at > farthest ? farthest : at;
    };
    return {fit(position.x, size.x, display.x), fit(position.y, size.y, display.y)};
}

// A window's place and size on the display, in pixels from the top-left.
struct PanelRect {
    float x = 0.0f;
    float y = 0.0f;
    float width = 0.0f;
    float height = 0.0f;
    constexpr bool overlaps(const PanelRect& other) const {
        return x < other.x + other.width && other.x < x + width && y < other.y + other.height &&
               other.y < y + height;
    }
    constexpr bool inside(PanelPoint display) const {
        return x >= 0.0f && y >= 0.0f && x + width <= display.x && y + height <= display.y;
    }
};

// Where the cursor readout of `size` goes: below and right of the cursor as
// a tooltip sits, else below-left, above-right or above-left, the first that
// stays inside the display and off the legend; when none does, the first
// that stays off the legend, moved inside the display.
inline constexpr float kReadoutGap = 16.0f;
constexpr PanelPoint placeReadout(PanelPoint cursor, PanelPoint size, PanelRect legend, PanelPoint display) {
    const PanelPoint candidates[] = {
        {cursor.x + kReadoutGap, cursor.y + kReadoutGap},
        {cursor.x - kReadoutGap - size.x, cursor.y + kReadoutGap},
        {cursor.x + kReadoutGap, cursor.y - kReadoutGap - size.y},
        {cursor.x - kReadoutGap - size.x, cursor.y - kReadoutGap - size.y},
    };
    for (const PanelPoint& at : candidates) {
        const PanelRect box{at.x, at.y, size.x, size.y};
        if (box.inside(display) && !box.overlaps(legend)) return at;
    }
    for (const PanelPoint& at : candidates) {
        const PanelPoint moved = placeInside(at, size, display);
        if (!PanelRect{moved.x, moved.y, size.x, size.y}.overlaps(legend)) return moved;
    }
    return placeInside(candidates[0], size, display);
}

// A file the user opened shows its heat at once: the modes it holds are
// ticked (the others are left as they are; they have nothing to show).
inline void tickHeldModes(ControlSettings& settings, const std::array<std::int64_t, kModeCount>& counts) {
    for (int i = 0; i < kModeCount; ++i)
        if (counts[static_cast<std::size_t>(i)] > 0 && !settings.mode_selected[i]) {
            settings.mode_selected[i] = true;
            settings.mode_mask |= kModes[i];
        }
}

// Where a window that has just opened goes so that it covers none of
// `keepClear` (the open "Main Menu"): where it is when that is clear; else
// to the right of it, below, to the left or above, the first that fits the
// display, narrowed to the room there down to minWidth; else where it is.
struct PanelPlace {
    PanelPoint at;
    float width;
};
inline constexpr float kPanelGap = 2.0f;
constexpr PanelPlace placeClearOf(PanelRect window, PanelRect keepClear, float minWidth, PanelPoint display) {
    if (!window.overlaps(keepClear)) return {{window.x, window.y}, window.width};
    const float fitY = placeInside({window.x, window.y}, {window.width, window.height}, display).y;
    const float right = keepClear.x + keepClear.width + kPanelGap;
    const float roomRight = display.x - right;
    const float roomLeft = keepClear.x - kPanelGap;
    const float below = keepClear.y + keepClear.height + kPanelGap;
    const float above = keepClear.y - kPanelGap - window.height;
    const float narrow = window.width < minWidth ? window.width : minWidth;
    if (roomRight >= narrow) return {{right, fitY}, roomRight < window.width ? roomRight : window.width};
    if (below + window.height <= display.y) return {{window.x, below}, window.width};
    if (roomLeft >= narrow) {
        const float width = roomLeft < window.width ? roomLeft : window.width;
        return {{keepClear.x - kPanelGap - width, fitY}, width};
    }
    if (above >= 0.0f) return {{window.x, above}, window.width};
    return {{window.x, window.y}, window.width};
}

// The mode check boxes, top to bottom, with the flag each one toggles.
struct ModeCheckbox {
    const char* label;
    TransportationMode flag;
};
inline constexpr std::array<ModeCheckbox, kModeCount> kModeCheckboxes = [] {
    std::array<ModeCheckbox, kModeCount> boxes{};
    for (int i = 0; i < kModeCount; ++i) boxes[i] = {kModeDisplayNames[i], kModes[i]};
    return boxes;
}();
