#pragma once
// Names of the transportation modes: the label-file vocabulary and the
// display names used by the panel and the command-line tools.
#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "model/Datapoint.h"

// The eleven label-file names ("taxi" shares CAR); UNKNOWN has no name here.
std::unordered_map<std::string, TransportationMode> makeModeNameTable();

// Display names in TransportationMode order, as the panel shows them.
inline constexpr const char* kModeDisplayNames[kModeCount] = {
    "Unknown", "Walk", "Bike", "Bus", "Car", "Subway", "Train", "Airplane", "Boat", "Run", "Motorcycle"};

// The position of a mode value that is one of the eleven flags, in
// TransportationMode order, or -1 for any other value. (m & (m - 1)) == 0
// tests for a single bit without a population count, which the baseline
// instruction set lacks.
inline int modeIndex(std::int32_t mode) {
    const auto m = static_cast<std::uint32_t>(mode);
    return mode > 0 && mode <= mode::MOTORCYCLE && (m & (m - 1)) == 0 ? std::countr_zero(m) : -1;
}

// Display name of a single flag ("Walk"), or "" for a value that is none.
std::string_view modeDisplayName(TransportationMode mode);

// One mode named as in label files or "unknown", any letter case; empty for
// anything else.
std::optional<TransportationMode> parseModeName(std::string_view name);

// Parses a mode mask for tools: "all", a number 0..2047, or comma-separated
// names (label names, "unknown", any letter case). Empty on a bad word.
std::optional<std::int32_t> parseModeMask(std::string_view text);
