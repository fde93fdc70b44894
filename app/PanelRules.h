#pragma once
// The rules the control panel applies to what the user enters, as plain
// functions so they are tested without a user interface.
#include <array>
#include <cstdint>

#include "model/Datapoint.h"

// Largest Gaussian table side: sigma tops out at 10, so 101 cells cover five
// sigmas either side; larger tables only freeze the program.
inline constexpr std::int32_t kMaxKernelSize = 101;

// Size after an edit: even values go up by one, anything below 1 becomes 1,
// anything above the cap becomes the cap.
constexpr std::int32_t applySizeRule(std::int32_t size) {
    if (size % 2 != 1) size = size + 1;  // never overflows: only even values grow
    if (size < 1) size = 1;
    if (size > kMaxKernelSize) size = kMaxKernelSize;
    return size;
}

// A sigma typed after Ctrl+click is taken as typed, except one that is not a
// positive number (zero, negative, NaN), which would divide the weight table
// by zero.
inline constexpr float kSmallestTypedSigma = 0.1f;
constexpr float sanitizeTypedSigma(float sigma) { return sigma > 0.0f ? sigma : kSmallestTypedSigma; }

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

// The mode check boxes, top to bottom, with the flag each one toggles.
struct ModeCheckbox {
    const char* label;
    TransportationMode flag;
};
inline constexpr std::array<ModeCheckbox, kModeCount> kModeCheckboxes{{
    {"Unknown", UNKNOWN},
    {"Walk", WALK},
    {"Bike", BIKE},
    {"Bus", BUS},
    {"Car", CAR},
    {"Subway", SUBWAY},
    {"Train", TRAIN},
    {"Airplane", AIRPLANE},
    {"Boat", BOAT},
    {"Run", RUN},
    {"Motorcycle", MOTORCYCLE},
}};
