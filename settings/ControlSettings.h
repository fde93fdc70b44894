#pragma once
// Everything the user can change about the density estimate, with the change
// flags the frame work acts on. A plain record: the engine and the tools read
// it too, so it includes nothing from GL or the user interface.
#include <cstdint>

#include "model/Datapoint.h"
#include "model/SampleDays.h"

struct ControlSettings {
    bool mode_selected[kModeCount] = {};  // tick state, in TransportationMode order
    bool use_log_scale = true;
    bool time_changed = false;
    bool log_scale_changed = false;
    bool kernel_size_changed = false;
    bool sigma_changed = false;
    std::int32_t min_time = 0;
    std::int32_t max_time = 86400;
    std::int32_t kernel_size = 5;
    float sigma = 1.0f;
    // The open frame's cells' east-west width over their north-south height
    // on the ground (model/GeoFrame's cellAspect): sigma and kernel_size
    // count cells north-south, and the table is scaled east-west by this so
    // the Gaussian is round in metres. 1 for a frame within 2% of square.
    double cell_aspect = 1.0;
    std::int32_t mode_mask = 0;
    // Starts different from mode_mask so that the first frame computes a grid.
    std::int32_t applied_mode_mask = kAllModes;
    // The day classes taken (model/SampleDays' dayClassOf): bit 0 Monday ..
    // bit 6 Sunday, bit 7 the samples of unknown date. An engine that keeps
    // the day class beside each point filters by it without indexing again.
    std::uint8_t day_classes = kAllDayClasses;
    std::uint8_t applied_day_classes = kAllDayClasses;

    bool needsRecompute() const {
        return mode_mask != applied_mode_mask || day_classes != applied_day_classes || time_changed ||
               log_scale_changed || kernel_size_changed || sigma_changed;
    }
    bool kernelChanged() const { return kernel_size_changed || sigma_changed; }
    void toggleMode(int bit) { mode_mask ^= bit; }
};

// The one rule for a Gaussian table side: even values go up by one (never
// past cap), anything below 1 becomes 1, anything above cap becomes cap. The
// panel applies it under its own cap, the engine under the largest side its
// memory arithmetic allows.
constexpr std::int32_t oddKernelSize(std::int32_t size, std::int32_t cap) {
    if (size % 2 != 1) size = size < cap ? size + 1 : cap;
    if (size < 1) size = 1;
    if (size > cap) size = cap;
    return size;
}

// The process-wide settings, edited by the panel and read by the engine.
extern ControlSettings settings;
