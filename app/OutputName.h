#pragma once
// The default names of saved results.
#include <array>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>


namespace analysis {

// --- Saving --------------------------------------------------------------

// A file name for a result: "trackora-map-2026-12-09-081500.png" for prefix
// "trackora-map" and extension ".png", in local time.
std::string defaultOutputName(const std::string& prefix, const std::string& extension, std::time_t when);

}  // namespace analysis
